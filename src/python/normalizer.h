// The shell of the module `normalizer`: the two normalization functions.
#pragma once

#include <array>
#include <cstddef>

#include "core/normalizer.h"
#include "python/binding.h"

namespace brindlore::py {

// The space character and the six switches, as every function that
// normalizes takes them, with their defaults.
inline constexpr std::array<Param, 7> kNormalizationParams{{
    {"space_char", "'\\u{2581}'"},
    {"normalize_unicode", "True"},
    {"normalize_unicode_spaces", "True"},
    {"normalize_punctuation", "False"},
    {"lowercase", "False"},
    {"collapse_whitespaces", "False"},
    {"strip_whitespace", "False"},
}};

// `leading` followed by the normalization parameters.
template <size_t N>
constexpr std::array<Param, N + kNormalizationParams.size()> with_normalization_params(
    const std::array<Param, N>& leading) {
  std::array<Param, N + kNormalizationParams.size()> all{};
  for (size_t i = 0; i < N; ++i) all[i] = leading[i];
  for (size_t i = 0; i < kNormalizationParams.size(); ++i) all[N + i] = kNormalizationParams[i];
  return all;
}

// Converts the normalization parameters, which start at parameter `first`,
// in parameter order; false with an exception set.
inline bool convert_normalization(const Args& a, size_t first, char32_t& space_char,
                                  NormalizeSwitches& s) {
  return a.one_char(first, space_char) && a.boolean(first + 1, s.normalize_unicode) &&
         a.boolean(first + 2, s.normalize_unicode_spaces) &&
         a.boolean(first + 3, s.normalize_punctuation) && a.boolean(first + 4, s.lowercase) &&
         a.boolean(first + 5, s.collapse_whitespaces) && a.boolean(first + 6, s.strip_whitespace);
}

// Method records of rust_normalize and rust_normalize_with_alignment, kept for
// the process.
PyMethodDef* rust_normalize_function();
PyMethodDef* rust_normalize_with_alignment_function();

}  // namespace brindlore::py
