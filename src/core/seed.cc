#include "core/seed.h"

#include <algorithm>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstddef>
#include <vector>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

enum class Script : uint8_t { PassedOver, NotCjk, Cjk };

constexpr bool in(char32_t cp, char32_t first, char32_t last) noexcept {
  return cp >= first && cp <= last;
}

constexpr Script ascii_script(unsigned char c) noexcept {
  const unsigned char folded = c | 0x20;
  if ((folded >= 'a' && folded <= 'z') || (c >= '0' && c <= '9')) return Script::NotCjk;
  return Script::PassedOver;
}

Script script(char32_t cp) noexcept {
  if (cp < 0x80) return ascii_script(static_cast<unsigned char>(cp));
  if (in(cp, 0x4E00, 0x9FFF) || in(cp, 0x3400, 0x4DBF) || in(cp, 0x3040, 0x30FF) ||
      in(cp, 0xAC00, 0xD7AF)) {
    return Script::Cjk;
  }
  // Latin, Indic, Arabic, Cyrillic and Thai blocks decide by range, whatever
  // the category of the character inside them.
  if (in(cp, 0x00C0, 0x024F) || in(cp, 0x0900, 0x0D7F) || in(cp, 0x0600, 0x06FF) ||
      in(cp, 0x0750, 0x077F) || in(cp, 0x0400, 0x052F) || in(cp, 0x0E00, 0x0E7F)) {
    return Script::NotCjk;
  }
  return unicode::is_number(unicode::general_category(cp)) ? Script::NotCjk : Script::PassedOver;
}

bool is_control_token_shaped(std::string_view chunk) noexcept {
  // Checked on bytes: the 3-byte "<|>" has both pairs, sharing the '|'.
  return chunk.size() >= 2 && chunk.starts_with("<|") && chunk.ends_with("|>");
}

bool starts_with_mark(std::string_view text, size_t at) noexcept {
  if (static_cast<unsigned char>(text[at]) < 0x80) return false;
  return unicode::is_mark(unicode::general_category(utf8::decode_at(text, at)));
}

// Cluster starts of `text` followed by its size. ASCII needs no tables: every
// byte is a cluster except that CR LF is one.
void cluster_bounds(std::string_view text, std::vector<size_t>& out) {
  if (!utf8::is_ascii(text)) {
    unicode::grapheme_boundaries(text, out);
    return;
  }
  out.resize(text.size() + 1);
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && text[i] == '\n' && text[i - 1] == '\r') continue;
    out[n++] = i;
  }
  out[n++] = text.size();
  out.resize(n);
}

void add_saturating(uint64_t& total, uint64_t count) noexcept {
  if (__builtin_add_overflow(total, count, &total)) total = UINT64_MAX;
}

class Miner {
 public:
  Miner(size_t chunk_count, uint64_t max_ngram_length,
        std::span<const std::string_view> special_tokens)
      : max_ngram_length_(max_ngram_length),
        special_(special_tokens.begin(), special_tokens.end(), special_tokens.size(),
                 SeededTextHash{random_seed()}),
        // Room for 8 n-grams per chunk; a span of 24-byte chunks cannot hold
        // enough of them for 8x to wrap.
        counts_(max_ngram_length == 0 ? 0 : 8 * chunk_count, SeededTextHash{random_seed()}) {}

  void add(const WeightedChunk& chunk) {
    if (max_ngram_length_ == 0 || chunk.text.empty()) return;
    if (is_control_token_shaped(chunk.text)) return;
    if (!special_.empty() && special_.contains(chunk.text)) return;
    const uint64_t limit = is_cjk_chunk(chunk.text)
                               ? std::min(max_ngram_length_, kCjkMaxNgramLength)
                               : max_ngram_length_;
    cluster_bounds(chunk.text, bounds_);
    count_runs(chunk.text, chunk.count, limit);
  }

  NgramCounts take() && { return std::move(counts_); }

 private:
  void count_runs(std::string_view text, uint64_t count, uint64_t limit) {
    const size_t clusters = bounds_.size() - 1;
    for (size_t i = 0; i < clusters; ++i) {
      const size_t start = bounds_[i];
      if (starts_with_mark(text, start)) continue;
      const size_t last = i + static_cast<size_t>(std::min<uint64_t>(limit, clusters - i));
      for (size_t j = i + 1; j <= last; ++j) {
        auto [it, inserted] = counts_.try_emplace(text.substr(start, bounds_[j] - start), count);
        if (!inserted) add_saturating(it->second, count);
      }
    }
  }

  uint64_t max_ngram_length_;
  boost::unordered_flat_set<std::string_view, SeededTextHash, std::equal_to<>> special_;
  NgramCounts counts_;
  std::vector<size_t> bounds_;  // reused by every chunk
};

}  // namespace

bool is_cjk_chunk(std::string_view chunk) noexcept {
  const char* p = chunk.data();
  const char* end = p + chunk.size();
  while (p < end) {
    const auto lead = static_cast<unsigned char>(*p);
    Script s;
    if (lead < 0x80) {
      s = ascii_script(lead);
      ++p;
    } else {
      s = script(utf8::decode(p));
    }
    if (s != Script::PassedOver) return s == Script::Cjk;
  }
  return false;
}

NgramCounts mine_ngrams(std::span<const WeightedChunk> chunks, uint64_t max_ngram_length,
                        std::span<const std::string_view> special_tokens) {
  Miner miner(chunks.size(), max_ngram_length, special_tokens);
  for (const WeightedChunk& chunk : chunks) miner.add(chunk);
  return std::move(miner).take();
}

}  // namespace brindlore
