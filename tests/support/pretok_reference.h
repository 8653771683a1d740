// The pre-tokenizer patterns run by PCRE2, as the reference that tests and
// benchmarks hold the hand-written matchers (pretok_match.h) against. Not on
// any encode path: PCRE2 is quadratic on some inputs of the full pattern.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/pretok_match.h"

namespace brindlore {

// Rewrites a pattern text into PCRE2 syntax without changing its meaning:
// "\s" becomes an explicit class of the White_Space code points (PCRE2's own
// also holds U+180E), "\d" becomes "\p{Nd}", "\b" becomes lookarounds over
// Alphabetic, marks, Nd, Pc, U+200C and U+200D, and the "\uXXXX",
// "\UXXXXXXXX" and "\u{X}" escapes become "\x{X}".
std::string translate_for_pcre2(std::string_view pattern);

// A pattern compiled by PCRE2 (UTF, Unicode properties, JIT). Immutable after
// compile; any number of threads may search it at once.
class Pcre2Pattern {
 public:
  // Compiles a pattern in PCRE2 syntax; the message names PCRE2's error.
  static Result<std::unique_ptr<const Pcre2Pattern>> compile(std::string_view pcre2_pattern);
  ~Pcre2Pattern();
  Pcre2Pattern(const Pcre2Pattern&) = delete;
  Pcre2Pattern& operator=(const Pcre2Pattern&) = delete;

  // Appends every leftmost-first match over valid UTF-8 `text`, left to right
  // (an empty match advances the search by one character). Fails only when
  // PCRE2 runs out of its stack or match limits.
  Status find_all(std::string_view text, std::vector<ByteRange>& out) const;

 private:
  explicit Pcre2Pattern(void* code) : code_(code) {}
  void* code_;  // pcre2_code_8
};

}  // namespace brindlore
