// Normalization that also tells, for every output character, which input
// characters it came from, so that positions in the normalized text can be
// mapped back to the raw text.
//
// The steps and their order are those of normalize_inner (core/normalizer.h),
// with one difference: lower-casing maps each character on its own, so U+03A3
// always becomes U+03C3 here (no final-sigma context).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/normalizer.h"

namespace brindlore {

// Input characters [start, end) (code point indices, end exclusive).
struct SourceSpan {
  size_t start = 0;
  size_t end = 0;
  bool operator==(const SourceSpan&) const = default;
};

struct AlignedText {
  std::string text;               // as normalize_inner gives it, but for the final sigma
  std::vector<SourceSpan> spans;  // one per code point of `text`
};

// Normalizes `text` (valid UTF-8) as normalize_inner does and aligns every
// output character to the input characters it came from. Spans lie within
// [0, number of input characters]; several output characters may share one
// span and a span may cover several input characters. Fails only when
// `space_char` is U+E000 or U+E001, before any work.
//
// Time is linear in the text's length, also when NFKC changes the text.
// Pure and thread-safe.
Result<AlignedText> normalize_with_alignment(std::string_view text, char32_t space_char,
                                             const NormalizeSwitches& switches);

// P[0..n] for the n characters `chars`: P[k] is the number of characters of
// NFKC of the first k characters. Computed in linear time, piece by piece
// between the positions that NFKC cannot reach across, and inside a piece by
// carrying only the part of the normalized prefix that later characters can
// still change. Pure and thread-safe.
std::vector<size_t> nfkc_prefix_counts(std::span<const char32_t> chars);

// The span of every character of NFKC(chars) (`normalized_length` of them),
// given the prefix counts above: each output character takes the input
// character whose prefix first produced it, and the span grows over the
// following input characters that add no characters of their own.
std::vector<SourceSpan> nfkc_spans(std::span<const size_t> prefix_counts,
                                   size_t normalized_length);

}  // namespace brindlore
