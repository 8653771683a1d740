// JSON reading shared by the two vocabulary formats (the strict one of the C
// handle and the lenient vocabulary file of the GGUF export), over simdjson's
// DOM, which validates the whole text and tells integers from fractional
// numbers.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace brindlore::json {

// One parsed JSON text. Owns the parser whose memory the elements point into,
// so elements stay valid as long as the document lives. Move-only; one thread
// at a time.
class Document {
 public:
  // Parses `text` as exactly one JSON value with only JSON whitespace (space,
  // tab, line feed, carriage return) around it. A minus-signed zero and an
  // integer literal outside the 64-bit ranges are read as fractional numbers,
  // so that they are never taken for a plain integer (a "-0" id is refused)
  // and a huge integer score is still a number.
  static Result<Document> parse(std::string_view text);

  simdjson::dom::element root() const noexcept { return root_; }

 private:
  Document(std::unique_ptr<simdjson::dom::parser> parser, simdjson::dom::element root)
      : parser_(std::move(parser)), root_(root) {}

  std::unique_ptr<simdjson::dom::parser> parser_;
  simdjson::dom::element root_;
};

// The value of any JSON number as f64 (integers converted); absent for
// anything that is not a number.
std::optional<double> number_as_f64(simdjson::dom::element value) noexcept;

// The value of a plain integer literal (no minus sign, fraction or exponent)
// from 0 to 4294967295; absent for anything else.
std::optional<uint32_t> plain_u32(simdjson::dom::element value) noexcept;

// `text` with every integer literal that `Document::parse` must read as
// fractional rewritten with ".0" appended; absent when nothing needs it (the
// usual case, which costs one scan and no copy). Exposed for tests.
std::optional<std::string> widen_special_integers(std::string_view text);

}  // namespace brindlore::json
