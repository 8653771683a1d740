// Per-code-point properties: one table lookup returns a packed record that
// holds the category, the combining class and every boolean property.
#include "core/unicode/tables.h"
#include "core/unicode/unicode.h"

namespace brindlore::unicode {

using namespace tables;

GeneralCategory general_category(char32_t cp) noexcept {
  return static_cast<GeneralCategory>(field(record(cp), kGcShift, kGcMask));
}

bool is_white_space(char32_t cp) noexcept { return flag(record(cp), kWhiteSpaceShift); }
bool is_cased(char32_t cp) noexcept { return flag(record(cp), kCasedShift); }
bool is_case_ignorable(char32_t cp) noexcept { return flag(record(cp), kCaseIgnorableShift); }
bool is_grapheme_extend(char32_t cp) noexcept { return flag(record(cp), kGraphemeExtendShift); }
bool is_alphabetic(char32_t cp) noexcept { return flag(record(cp), kAlphabeticShift); }
bool is_extended_pictographic(char32_t cp) noexcept { return flag(record(cp), kExtPictShift); }
bool joins_cluster(char32_t cp) noexcept { return flag(record(cp), kJoinsClusterShift); }
uint8_t canonical_combining_class(char32_t cp) noexcept { return ccc_of(record(cp)); }

CharProperties properties(char32_t cp) noexcept {
  const uint32_t rec = record(cp);
  return {static_cast<GeneralCategory>(field(rec, kGcShift, kGcMask)), flag(rec, kWhiteSpaceShift),
          flag(rec, kJoinsClusterShift)};
}

}  // namespace brindlore::unicode
