#include "core/json.h"

#include <cstring>

namespace brindlore::json {
namespace {

constexpr std::string_view kMaxU64 = "18446744073709551615";
constexpr std::string_view kMaxNegI64 = "9223372036854775808";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool is_number_char(char c) noexcept {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// True when `digits` (decimal, no sign) is a larger number than `limit`,
// both without leading zeros.
bool exceeds(std::string_view digits, std::string_view limit) noexcept {
  if (digits.size() != limit.size()) return digits.size() > limit.size();
  return digits > limit;
}

// True for an integer literal that simdjson would either refuse (outside the
// i64 and u64 ranges) or read as a plain 0 although it carries a minus sign.
bool needs_widening(std::string_view token) noexcept {
  bool negative = !token.empty() && token[0] == '-';
  std::string_view digits = token.substr(negative ? 1 : 0);
  if (digits.empty()) return false;
  for (char c : digits) {
    if (!is_digit(c)) return false;  // fraction or exponent: already a double
  }
  if (digits.size() > 1 && digits[0] == '0') return false;  // invalid anyway
  if (negative) return digits == "0" || exceeds(digits, kMaxNegI64);
  return exceeds(digits, kMaxU64);
}

}  // namespace

std::optional<std::string> widen_special_integers(std::string_view text) {
  std::optional<std::string> out;
  size_t copied = 0;  // bytes of `text` already in `out`
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == '"') {
      // Skip the string; a backslash always escapes the byte after it.
      for (++i; i < n && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      ++i;
      continue;
    }
    if (!is_digit(c) && c != '-') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && is_number_char(text[end])) ++end;
    if (needs_widening(text.substr(i, end - i))) {
      if (!out) out.emplace().reserve(n + 16);
      out->append(text.substr(copied, end - copied));
      out->append(".0");
      copied = end;
    }
    i = end;
  }
  if (out) out->append(text.substr(copied));
  return out;
}

Result<Document> Document::parse(std::string_view text) {
  std::optional<std::string> widened = widen_special_integers(text);
  simdjson::padded_string padded(widened ? std::string_view(*widened) : text);
  auto parser = std::make_unique<simdjson::dom::parser>();
  simdjson::dom::element root;
  if (auto error = parser->parse(padded).get(root)) {
    return make_error(simdjson::error_message(error));
  }
  return Document(std::move(parser), root);
}

std::optional<double> number_as_f64(simdjson::dom::element value) noexcept {
  switch (value.type()) {
    case simdjson::dom::element_type::INT64:
      return static_cast<double>(value.get_int64().value_unsafe());
    case simdjson::dom::element_type::UINT64:
      return static_cast<double>(value.get_uint64().value_unsafe());
    case simdjson::dom::element_type::DOUBLE:
      return value.get_double().value_unsafe();
    default:
      return std::nullopt;
  }
}

std::optional<uint32_t> plain_u32(simdjson::dom::element value) noexcept {
  // simdjson stores every integer that fits i64 as INT64 and only larger ones
  // as UINT64, which are all beyond the u32 range.
  if (value.type() != simdjson::dom::element_type::INT64) return std::nullopt;
  int64_t v = value.get_int64().value_unsafe();
  if (v < 0 || v > int64_t{UINT32_MAX}) return std::nullopt;
  return static_cast<uint32_t>(v);
}

}  // namespace brindlore::json
