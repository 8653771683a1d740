// The two pre-tokenizer patterns of the module `pipeline` and the snapping of
// their matches to extended grapheme cluster boundaries.
//
// A pattern is known by its text (every character of which is part of the
// system's contract) and is matched by a hand-written leftmost-first matcher
// (pretok_match.h) that gives exactly the matches of a backtracking engine
// running that text, in linear time on every input. Tests hold it equal to
// PCRE2 running the text translated by the reference matcher of the tests
// (tests/support/pretok_reference.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/pretok_match.h"

namespace brindlore {

// One compiled pre-tokenizer pattern. Immutable; any number of threads may
// search it at once.
class PretokPattern {
 public:
  enum class Kind { plain, full };

  PretokPattern(Kind kind, std::string source) : kind_(kind), source_(std::move(source)) {}
  PretokPattern(const PretokPattern&) = delete;
  PretokPattern& operator=(const PretokPattern&) = delete;

  Kind kind() const noexcept { return kind_; }

  // The pattern text this object matches.
  std::string_view source() const noexcept { return source_; }

  // Appends to `out` every match over valid UTF-8 `text`, left to right, as
  // byte ranges. The matches tile the text. Returns
  // `has_joining_character(text)`, which the matching finds out on the way.
  // Never fails; linear time.
  bool find_all(std::string_view text, std::vector<ByteRange>& out) const;

 private:
  Kind kind_;
  std::string source_;
};

// The full pattern (thirteen alternatives), built on the first call; the
// reference stays valid for the rest of the process. Thread-safe.
const PretokPattern& get_full_pretok_regex();

// The plain pattern (six alternatives), built on the first call. Thread-safe.
const PretokPattern& get_pretok_regex();

// The text of the full pattern, byte for byte.
std::string full_pretok_pattern_text();

// The matches of `pattern` over valid UTF-8 `text`, snapped to extended
// grapheme cluster boundaries, as byte ranges appended to `out`. Pure and
// thread-safe; never fails.
void snapped_pretoken_ranges(std::string_view text, const PretokPattern& pattern,
                             std::vector<ByteRange>& out);

// The same pieces as new strings, in order.
std::vector<std::string> snapped_pretokens(std::string_view text, const PretokPattern& pattern);

// True when `text` holds a character that can join a grapheme cluster across
// a match boundary (`unicode::joins_cluster`: the characters that the
// cluster rules keep together with a neighbour, marks, format characters and
// unassigned code points), taken from the same tables as the cluster rules so
// that the two cannot disagree.
bool has_joining_character(std::string_view text) noexcept;

}  // namespace brindlore
