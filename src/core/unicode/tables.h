// Lookups over the generated tables (build tree: unicode_tables.h), shared by
// the Unicode layer's sources only. Every lookup is two array reads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "unicode_tables.h"

namespace brindlore::unicode::tables {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// The packed property record of a code point (see the k*Shift/k*Mask pairs).
inline uint32_t record(char32_t cp) noexcept {
  if (cp > kMaxCodePoint) return kRecords[kCnRecord];
  return kRecords[kPropStage2[(uint32_t{kPropStage1[cp >> 8]} << 8) | (cp & 0xFF)]];
}

// True for a BMP code point that is a starter with NFKC_QC=Yes; false for
// everything else (including such starters above the BMP).
inline bool is_bmp_quick_starter(char32_t cp) noexcept {
  return cp < 0x10000 && ((kQuickStarterBits[cp >> 6] >> (cp & 63)) & 1);
}

inline uint32_t field(uint32_t rec, uint32_t shift, uint32_t mask) noexcept {
  return (rec >> shift) & mask;
}

inline uint8_t ccc_of(uint32_t rec) noexcept {
  return static_cast<uint8_t>(field(rec, kCccShift, kCccMask));
}
inline QuickCheck quick_check_of(uint32_t rec) noexcept {
  return static_cast<QuickCheck>(field(rec, kQcShift, kQcMask));
}
inline GraphemeBreak grapheme_break_of(uint32_t rec) noexcept {
  return static_cast<GraphemeBreak>(field(rec, kGcbShift, kGcbMask));
}
inline IndicConjunctBreak incb_of(uint32_t rec) noexcept {
  return static_cast<IndicConjunctBreak>(field(rec, kIncbShift, kIncbMask));
}
inline bool flag(uint32_t rec, uint32_t shift) noexcept { return (rec >> shift) & 1; }

// Index into kDecompEntries (0: the code point decomposes to itself).
// Hangul syllables are decomposed arithmetically and are not in the table.
inline uint16_t decomposition_ref(char32_t cp) noexcept {
  if (cp > kMaxCodePoint) return 0;
  return kDecompStage2[(uint32_t{kDecompStage1[cp >> 8]} << 8) | (cp & 0xFF)];
}

// Index into kLowerMappings (0: no mapping, the character lower-cases to itself).
inline uint16_t lower_ref(char32_t cp) noexcept {
  if (cp > kMaxCodePoint) return 0;
  return kLowerStage2[(uint32_t{kLowerStage1[cp >> 8]} << 8) | (cp & 0xFF)];
}

// True when `text` points into the buffer of `out`: writing to `out` would
// then change or free the text being read.
inline bool aliases(std::string_view text, const std::string& out) noexcept {
  std::less_equal<const char*> le;
  return !text.empty() && le(out.data(), text.data()) &&
         le(text.data(), out.data() + out.capacity());
}

}  // namespace brindlore::unicode::tables
