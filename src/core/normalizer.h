// Text normalization: the one pure operation every encode path runs before
// pre-tokenization, plus the per-character rules that the aligned variant
// (core/normalizer_alignment.h) applies to the same characters.
//
// The steps run in a fixed order: NFKC, Unicode spaces, punctuation folds,
// lower-casing, whitespace collapsing, stripping, and always the escaping that
// turns U+0020 into the space character while keeping literal U+E000 and
// literal space characters distinguishable:
//   U+E000            -> U+E000 U+E000
//   the space char    -> U+E000 U+E001
//   U+0020            -> the space char
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace brindlore {

// The escape prefix and the escaped space; neither may be the space character.
inline constexpr char32_t kEscapePrefix = 0xE000;
inline constexpr char32_t kEscapedSpace = 0xE001;

// The one failure of normalization, whatever the text.
inline constexpr std::string_view kReservedSpaceCharMessage =
    "space_char conflicts with reserved metaspace escape characters";

// The six switches, in their order on every entry point.
struct NormalizeSwitches {
  bool normalize_unicode = true;
  bool normalize_unicode_spaces = true;
  bool normalize_punctuation = false;
  bool lowercase = false;
  bool collapse_whitespaces = false;
  bool strip_whitespace = false;
};

// Normalizes `text` (valid UTF-8) with the switched-on steps and the final
// escaping, into a new text. Fails only when `space_char` is U+E000 or U+E001,
// before looking at the text. The output never contains U+0020, and an empty
// text gives an empty text.
//
// Pure and thread-safe: callers run it from any thread without locking.
Result<std::string> normalize_inner(std::string_view text, char32_t space_char,
                                    const NormalizeSwitches& switches);

// The same into `out` (replacing its contents, keeping its capacity), for
// callers that normalize many texts with one buffer.
Status normalize_into(std::string_view text, char32_t space_char, const NormalizeSwitches& switches,
                      std::string& out);

// ---- Per-character rules, shared with the aligned variant ----

// True for U+E000 and U+E001, which the escaping needs for itself.
inline bool is_reserved_space_char(char32_t space_char) noexcept {
  return (space_char & ~char32_t{1}) == kEscapePrefix;
}

// One of the 17 Unicode spaces that the spaces step turns into U+0020.
constexpr bool is_unicode_space(char32_t cp) noexcept {
  return cp == 0x00A0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// The ASCII replacement of a typographic punctuation character, or an empty
// view when the character is kept.
constexpr std::string_view punctuation_fold(char32_t cp) noexcept {
  switch (cp) {
    case 0x2018:
    case 0x2019:
    case 0x201A:
      return "'";
    case 0x201C:
    case 0x201D:
    case 0x201E:
      return "\"";
    case 0x2013:
    case 0x2014:
    case 0x2212:
      return "-";
    case 0x2026:
      return "...";
    default:
      return {};
  }
}

// A character that stripping removes at either end of the text.
constexpr bool is_strip_char(char32_t cp) noexcept {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 ||
         is_unicode_space(cp) || cp == 0x2028 || cp == 0x2029;
}

// A character that collapsing folds into runs.
constexpr bool is_collapse_char(char32_t cp) noexcept { return cp == 0x20 || cp == 0x09; }

}  // namespace brindlore
