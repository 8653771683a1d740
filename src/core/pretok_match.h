// The matchers of the two pre-tokenizer patterns: hand-written leftmost-first
// matchers over decoded code points that find exactly the matches a
// backtracking engine finds for the pattern texts (see pretokenizer.h), in
// time linear in the text for every input.
//
// A backtracking engine is quadratic on some texts: the e-mail alternative, for
// instance, scans the run of its local-part characters to its end at every
// position of a long run such as "1.1.1." and then fails. Here each alternative
// is reduced to the runs it really depends on, and the only alternative whose
// failed attempts could rescan text (the e-mail one) remembers the outcome for
// the whole run; see pretok_match.cc for the argument per alternative.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace brindlore {

// A half-open byte range [start, end) of a UTF-8 text.
struct ByteRange {
  size_t start = 0;
  size_t end = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

namespace pretok {

// Appends to `out` the matches of the full pattern (thirteen alternatives)
// over valid UTF-8 `text`, left to right. They tile the text. Returns whether
// the text holds a character that can join a grapheme cluster across a match
// boundary (`unicode::joins_cluster`), found on the way since every
// character is read. Pure and thread-safe; allocates only when `out` grows.
bool match_full(std::string_view text, std::vector<ByteRange>& out);

// The same for the plain pattern (six alternatives).
bool match_plain(std::string_view text, std::vector<ByteRange>& out);

}  // namespace pretok
}  // namespace brindlore
