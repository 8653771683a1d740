// What serves a vocabulary's prefix searches: inserts the entries of a
// vocabulary file (one "token<TAB>score<TAB>id" line each) into a trie in file
// order, as the Python insert does, builds the compact search form and prints
// one JSON line: the trie's states (byte prefixes of the tokens, with the
// root), what serves the searches, the compact form's bytes, the build time
// and the builds tried, and the time of one prefix search of random CJK text
// on one thread before the build (the node walk) and after it. Run by
// bench_large_vocab.py.
//
//   search_form_probe VOCAB.tsv
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/trie.h"
#include "core/utf8.h"

namespace {

using brindlore::RustPrefixTrie;

// Distinct byte prefixes of `tokens` (sorted in place), counting the empty one.
size_t count_states(std::vector<std::string>& tokens) {
  std::sort(tokens.begin(), tokens.end());
  size_t states = 1;
  for (size_t i = 0; i < tokens.size(); ++i) {
    size_t shared = 0;
    if (i > 0) {
      const std::string& a = tokens[i - 1];
      const std::string& b = tokens[i];
      while (shared < a.size() && shared < b.size() && a[shared] == b[shared]) ++shared;
    }
    states += tokens[i].size() - shared;
  }
  return states;
}

// Nanoseconds per prefix search over `texts`, from every character.
double search_ns_once(const RustPrefixTrie& trie, const std::vector<std::string>& texts) {
  std::vector<brindlore::PrefixMatch> out;
  size_t searches = 0, found = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& text : texts) {
    for (size_t at = 0; at < text.size(); at += 3, ++searches) {
      trie.common_prefix_search_utf8(text, at, out);
      found += out.size();
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (found == 0) std::fprintf(stderr, "no match\n");
  return took.count() * 1e9 / static_cast<double>(searches);
}

// The best of five.
double search_ns(const RustPrefixTrie& trie, const std::vector<std::string>& texts) {
  double best = search_ns_once(trie, texts);
  for (int i = 1; i < 5; ++i) best = std::min(best, search_ns_once(trie, texts));
  return best;
}

const char* form_name(RustPrefixTrie::SearchForm form) {
  switch (form) {
    case RustPrefixTrie::SearchForm::kNarrow:
      return "compact (4-byte)";
    case RustPrefixTrie::SearchForm::kWide:
      return "compact (8-byte)";
    case RustPrefixTrie::SearchForm::kNodeWalk:
      break;
  }
  return "node walk";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s VOCAB.tsv\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  RustPrefixTrie trie;
  std::vector<std::string> tokens;
  for (std::string line; std::getline(in, line);) {
    const size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
    if (tab1 == std::string::npos || tab2 == tab1) continue;
    std::string token = line.substr(0, tab1);
    const double score = std::stod(line.substr(tab1 + 1, tab2 - tab1 - 1));
    const auto id = static_cast<uint32_t>(std::stoul(line.substr(tab2 + 1)));
    if (!trie.insert_token(token, id, score).ok()) return 1;
    tokens.push_back(std::move(token));
  }
  // Random texts of 16 characters from U+4E00-U+9FFF, few enough searches
  // (five times 16 a text) that the node walk still serves them.
  std::mt19937 rng(16);
  std::vector<std::string> texts(std::min<size_t>(tokens.size() / 100, 20000));
  for (std::string& text : texts) {
    for (int k = 0; k < 16; ++k) brindlore::utf8::append(text, 0x4E00 + rng() % 0x5200);
  }
  const double walk_ns = search_ns(trie, texts);
  const auto start = std::chrono::steady_clock::now();
  trie.prepare_for_search();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const RustPrefixTrie::SearchFormInfo info = trie.search_form();
  const double compact_ns = search_ns(trie, texts);
  const size_t states = count_states(tokens);
  std::printf(
      "{\"tokens\": %zu, \"states\": %zu, \"form\": \"%s\", \"bytes\": %zu, "
      "\"build_seconds\": %.3f, \"builds\": %u, \"walk_ns\": %.1f, \"compact_ns\": %.1f}\n",
      trie.token_count(), states, form_name(info.form), info.compact_bytes, took.count(),
      info.builds, walk_ns, compact_ns);
  return 0;
}
