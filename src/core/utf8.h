// UTF-8 helpers shared by every module: validation, decoding and encoding of
// code points, and an all-ASCII test that looks at eight bytes at a time.
// Functions taking "valid" text assume well-formed UTF-8 (every str that comes
// from Python is); `valid` checks untrusted bytes first.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace brindlore::utf8 {

// True when every byte is below 0x80 (the empty text included).
inline bool is_ascii(std::string_view text) noexcept {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t acc = 0;
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    acc |= word;
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    acc |= static_cast<unsigned char>(*p++);
    --n;
  }
  return (acc & 0x8080808080808080ULL) == 0;
}

// The end of the run of ASCII bytes that starts at byte `pos` of `text`: the
// offset of the first byte >= 0x80 at or after `pos`, or text.size(). Reads
// 32 and then 8 bytes at a time; a short tail is read as the last 8 bytes of
// the text when it has that many, so short runs cost no byte loop.
inline size_t ascii_run_end(std::string_view text, size_t pos) noexcept {
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* p = begin + pos;
  auto load = [](const char* at) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  };
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 32) {
      if ((load(p) | load(p + 8) | load(p + 16) | load(p + 24)) & kHigh) break;
      p += 32;
    }
    while (end - p >= 8) {
      if (uint64_t high = load(p) & kHigh) return (p - begin) + std::countr_zero(high) / 8;
      p += 8;
    }
    if (p < end && end - begin >= 8) {
      uint64_t high = (load(end - 8) & kHigh) >> (8 * (8 - (end - p)));
      return high ? (p - begin) + std::countr_zero(high) / 8 : text.size();
    }
  }
  while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return p - begin;
}

// Number of bytes of the sequence that starts with `lead` (1 for a stray
// continuation byte, so that loops always advance).
inline size_t sequence_length(unsigned char lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return lead < 0xC0 ? 1 : 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the code point at `p` in valid UTF-8 and advances `p` past it.
inline char32_t decode(const char*& p) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  unsigned char b0 = s[0];
  if (b0 < 0x80) {
    p += 1;
    return b0;
  }
  if (b0 < 0xE0) {
    p += 2;
    return (char32_t(b0 & 0x1F) << 6) | (s[1] & 0x3F);
  }
  if (b0 < 0xF0) {
    p += 3;
    return (char32_t(b0 & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
  }
  p += 4;
  return (char32_t(b0 & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) |
         (char32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
}

// Decodes the code point that starts at byte `pos` of valid text.
inline char32_t decode_at(std::string_view text, size_t pos) noexcept {
  const char* p = text.data() + pos;
  return decode(p);
}

// Length in bytes of the UTF-8 form of a scalar value.
inline size_t encoded_length(char32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of a scalar value to `out` (room for 4 bytes) and
// returns its length.
inline size_t encode(char32_t cp, char* out) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline void append(std::string& out, char32_t cp) {
  char buf[4];
  out.append(buf, encode(cp, buf));
}

// Number of code points of valid text.
inline size_t count_chars(std::string_view text) noexcept {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// Replaces `out` with the code points of valid text.
inline void to_code_points(std::string_view text, std::vector<char32_t>& out) {
  out.clear();
  out.reserve(text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) out.push_back(decode(p));
}

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid(std::string_view text) noexcept;

}  // namespace brindlore::utf8
