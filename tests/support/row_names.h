// Names and printed values for parametrized tests whose rows hold texts.
// CTest lists each row under its GoogleTest name, and GoogleTest prints a
// row's value in its test list and in failure messages: both are kept plain
// ASCII on one line and the same from run to run, so that a maintainer can
// read them and pass them to `ctest -R` or `--gtest_filter`.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/utf8.h"

namespace brindlore {

// `text` (valid UTF-8) between double quotes: printable ASCII as it is, with
// '"' and '\' escaped, and every other character as \u{hex}.
inline std::string ascii_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char* p = text.data(); p < text.data() + text.size();) {
    const char32_t cp = utf8::decode(p);
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u{%X}", static_cast<unsigned>(cp));
      out += hex;
    }
  }
  return out + "\"";
}

// The name of row `index` whose text is `text`: `prefix`, the index (two
// digits at least, which keeps rows with the same text apart), then a sketch
// of the text of at most 20 characters: ASCII letters and digits as they are,
// each other character as U and its code point in hex, and "_" wherever
// anything else stood. A GoogleTest name holds only letters, digits and "_".
inline std::string row_name(std::string_view prefix, size_t index, std::string_view text) {
  constexpr size_t kSketch = 20;
  char number[24];
  std::snprintf(number, sizeof number, "%02zu", index);
  std::string name = std::string(prefix) + number;
  const size_t limit = name.size() + 1 + kSketch;
  bool apart = true;  // the next letter or digit starts a new part
  for (const char* p = text.data(); p < text.data() + text.size();) {
    const char32_t cp = utf8::decode(p);
    const bool alnum = cp < 0x80 && std::isalnum(static_cast<int>(cp));
    if (!alnum && cp < 0x80) {
      apart = true;
      continue;
    }
    std::string part;
    if (alnum) {
      part = static_cast<char>(cp);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "U%04X", static_cast<unsigned>(cp));
      part = hex;
    }
    const std::string joint = apart || !alnum ? "_" : "";
    if (name.size() + joint.size() + part.size() > limit) break;
    name += joint + part;
    apart = !alnum;
  }
  return name;
}

}  // namespace brindlore
