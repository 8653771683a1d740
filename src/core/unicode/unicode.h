// Unicode 16.0 data and algorithms, from tables generated at build time out of
// the Unicode Character Database (third_party/ucd/16.0.0).
//
// Everything here is pure and thread-safe. Functions over text take valid
// UTF-8 (see core/utf8.h for validation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brindlore::unicode {

// ---- Properties of one code point ----------------------------------------------

enum class GeneralCategory : uint8_t {
  Lu, Ll, Lt, Lm, Lo,
  Mn, Mc, Me,
  Nd, Nl, No,
  Pc, Pd, Ps, Pe, Pi, Pf, Po,
  Sm, Sc, Sk, So,
  Zs, Zl, Zp,
  Cc, Cf, Cs, Co, Cn,
};

// The general category of Unicode 16.0; unassigned code points (and anything
// above U+10FFFF) are Cn.
GeneralCategory general_category(char32_t cp) noexcept;

inline bool is_letter(GeneralCategory gc) noexcept { return gc <= GeneralCategory::Lo; }
inline bool is_mark(GeneralCategory gc) noexcept {
  return gc >= GeneralCategory::Mn && gc <= GeneralCategory::Me;
}
inline bool is_number(GeneralCategory gc) noexcept {
  return gc >= GeneralCategory::Nd && gc <= GeneralCategory::No;
}

bool is_white_space(char32_t cp) noexcept;           // White_Space
bool is_cased(char32_t cp) noexcept;                 // Cased
bool is_case_ignorable(char32_t cp) noexcept;        // Case_Ignorable
bool is_grapheme_extend(char32_t cp) noexcept;       // Grapheme_Extend
bool is_alphabetic(char32_t cp) noexcept;            // Alphabetic
bool is_extended_pictographic(char32_t cp) noexcept; // Extended_Pictographic
// True when a grapheme cluster boundary can be missing next to `cp`: its
// Grapheme_Cluster_Break is Extend, ZWJ, Regional_Indicator, Prepend,
// SpacingMark, L, V or T, or its category is Mn, Mc, Me, Cf or Cn.
bool joins_cluster(char32_t cp) noexcept;
uint8_t canonical_combining_class(char32_t cp) noexcept;

// The properties a pre-tokenizer asks of one character, from one lookup.
struct CharProperties {
  GeneralCategory category;
  bool white_space;    // White_Space
  bool joins_cluster;  // as `joins_cluster`
};
CharProperties properties(char32_t cp) noexcept;

// ---- NFKC ------------------------------------------------------------------------

// True when the text is certainly its own NFKC form by the quick check
// (NFKC_QC=Yes and canonical order for every character); a false answer means
// "maybe not", not "changed".
bool nfkc_quick_check(std::string_view text) noexcept;

// The same quick check one character at a time, for a pass over the text
// that does other work as it goes. Feed it the non-ASCII characters in order
// and call `after_ascii` whenever ASCII came between two of them (and before
// the first); the text is certainly in NFKC when every call to `accept`
// returned true.
class NfkcQuickCheck {
 public:
  void after_ascii() noexcept { last_ccc_ = 0; }
  bool accept(char32_t cp) noexcept {
    // Most characters are BMP starters that pass: one bit, inline.
    if (cp < 0x10000 && ((kQuickStarterBits[cp >> 6] >> (cp & 63)) & 1)) {
      last_ccc_ = 0;
      return true;
    }
    return accept_other(cp);
  }
  // True when the last character accepted is one that NFKC cannot reach
  // back across (see `nfkc_boundary_before`).
  bool at_boundary() const noexcept { return last_ccc_ == 0; }

 private:
  bool accept_other(char32_t cp) noexcept;

  // One bit per BMP code point: a starter with NFKC_QC=Yes (generated table).
  static const uint64_t* const kQuickStarterBits;
  uint8_t last_ccc_ = 0;
};

// Writes NFKC(text) to `out` (replacing its contents) and returns true when it
// differs from `text`; returns false, leaving `out` untouched, when the text is
// already in NFKC. Linear in the text's length for any input.
bool nfkc_into(std::string_view text, std::string& out);

// NFKC(text) as a new string.
std::string nfkc(std::string_view text);

// True when NFKC cannot reach across the position just before `cp`: `cp` is a
// starter (combining class 0) with NFKC_QC=Yes. Normalizing the text before
// such a position and the text from it separately gives the same result as
// normalizing the whole.
bool nfkc_boundary_before(char32_t cp) noexcept;

// ---- Extended grapheme clusters (UAX #29) -----------------------------------------

// The byte offset at which each extended grapheme cluster of `text` starts, in
// order, followed by text.size(); an empty text gives {0}. Replaces `out`.
void grapheme_boundaries(std::string_view text, std::vector<size_t>& out);

// ---- Lower-casing ------------------------------------------------------------------

// Full lower-casing of a whole text: simple mappings, the unconditional
// one-to-many mappings of SpecialCasing (U+0130 becomes U+0069 U+0307), and
// the final-sigma context for U+03A3. Appends to `out`.
void to_lower_full(std::string_view text, std::string& out);

// The full lower-case mapping of one character without context (U+03A3 always
// becomes U+03C3). Writes 1 to 3 code points to `out` and returns the count.
int lower_mapping(char32_t cp, char32_t out[3]) noexcept;

}  // namespace brindlore::unicode
