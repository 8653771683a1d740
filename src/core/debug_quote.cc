#include "core/debug_quote.h"

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

bool needs_code_point_escape(char32_t cp) {
  using unicode::GeneralCategory;
  if (cp == U' ') return false;
  switch (unicode::general_category(cp)) {
    case GeneralCategory::Cc:
    case GeneralCategory::Cf:
    case GeneralCategory::Cs:
    case GeneralCategory::Co:
    case GeneralCategory::Cn:
    case GeneralCategory::Zl:
    case GeneralCategory::Zp:
    case GeneralCategory::Zs:
      return true;
    default:
      return unicode::is_grapheme_extend(cp);
  }
}

void append_code_point_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* at = p;
    const char32_t cp = utf8::decode(p);
    switch (cp) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\0': out += "\\0"; continue;
      default: break;
    }
    if (needs_code_point_escape(cp)) {
      append_code_point_escape(out, cp);
    } else {
      out.append(at, static_cast<size_t>(p - at));
    }
  }
  out += '"';
  return out;
}

CoreError missing_id_error(std::string_view prefix, std::string_view token) {
  std::string message(prefix);
  message += "decoded token ";
  message += debug_quote(token);
  message += " has no integer ID";
  return make_error(std::move(message));
}

}  // namespace brindlore
