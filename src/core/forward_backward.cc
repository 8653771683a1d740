#include "core/forward_backward.h"

#include <boost/unordered/unordered_flat_map.hpp>
#include <cmath>
#include <limits>

#include "core/utf8.h"

namespace brindlore {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr double kPosInf = std::numeric_limits<double>::infinity();

struct FbEdge {
  size_t start;
  size_t end;
  double log_p;
  const std::string* token;
};

// log(exp(current) + exp(candidate)), with the infinities decided first.
double log_add_exp(double current, double candidate) {
  if (current == kNegInf) return candidate;
  if (candidate == kNegInf) return current;
  if (current == kPosInf || candidate == kPosInf) return kPosInf;
  const double hi = current > candidate ? current : candidate;
  const double lo = current > candidate ? candidate : current;
  return hi + std::log1p(std::exp(lo - hi));
}

std::vector<FbEdge> collect_edges(std::string_view text, const RustPrefixTrie& trie, size_t& n) {
  std::vector<FbEdge> edges;
  std::vector<PrefixMatch> matches;
  matches.reserve(8);
  auto add = [&](size_t i) {
    for (const PrefixMatch& m : matches) {
      edges.push_back(FbEdge{i, i + m.length, m.log_p, &trie.token_text(m.token)});
    }
  };
  if (utf8::is_ascii(text)) {
    n = text.size();
    for (size_t i = 0; i < n; ++i) {
      trie.common_prefix_search_utf8(text, i, matches);
      add(i);
    }
  } else {
    std::vector<char32_t> chars;
    utf8::to_code_points(text, chars);
    n = chars.size();
    for (size_t i = 0; i < n; ++i) {
      trie.common_prefix_search_chars(chars.data(), n, i, matches);
      add(i);
    }
  }
  return edges;
}

}  // namespace

Result<Expectations> forward_backward(std::string_view text, const RustPrefixTrie& trie,
                                      double freq) {
  if (!std::isfinite(freq) || freq < 0.0) {
    return make_error("freq must be finite and non-negative");
  }
  Expectations out;
  if (text.empty() || freq == 0.0) return out;

  size_t n = 0;
  const std::vector<FbEdge> edges = collect_edges(text, trie, n);

  std::vector<double> alpha(n + 1, kNegInf);
  alpha[0] = 0.0;
  for (const FbEdge& e : edges) {
    if (alpha[e.start] == kNegInf) continue;
    alpha[e.end] = log_add_exp(alpha[e.end], alpha[e.start] + e.log_p);
  }
  const double log_z = alpha[n];
  if (log_z == kNegInf) {
    return make_error("lattice is disconnected; forward-backward requires complete trie coverage");
  }

  std::vector<double> beta(n + 1, kNegInf);
  beta[n] = 0.0;
  for (auto it = edges.rbegin(); it != edges.rend(); ++it) {
    if (beta[it->end] == kNegInf) continue;
    beta[it->start] = log_add_exp(beta[it->start], beta[it->end] + it->log_p);
  }

  // One token text has one node in the trie, so its pointer identifies it.
  boost::unordered_flat_map<const std::string*, size_t> slot;
  for (const FbEdge& e : edges) {
    if (alpha[e.start] == kNegInf || beta[e.end] == kNegInf) continue;
    const double p = std::exp((beta[e.end] + (alpha[e.start] + e.log_p)) - log_z);
    auto [it, fresh] = slot.try_emplace(e.token, out.counts.size());
    if (fresh) out.counts.emplace_back(e.token, 0.0);
    double& count = out.counts[it->second].second;
    count = freq * p + count;
  }
  out.weighted_log_z = freq * log_z;
  return out;
}

}  // namespace brindlore
