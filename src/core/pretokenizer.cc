#include "core/pretokenizer.h"

#include <algorithm>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

using unicode::GeneralCategory;

// ---- The pattern texts ----

// U+2581, inserted unescaped wherever a piece template says "{sp}".
constexpr std::string_view kSpaceText = "\u2581";
constexpr std::string_view kSpacePlaceholder = "{sp}";

// The thirteen pieces of the full pattern, in order.
constexpr std::string_view kFullPieces[] = {
    R"(<\|[^\s|]+\|>)",
    R"(https?://[a-zA-Z0-9][-a-zA-Z0-9@:%._\+~#=]{1,256}\.[a-zA-Z0-9()]{1,6}\b(?:[-a-zA-Z0-9()@:%_\+.~#?&/=]*))",
    R"([a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+)",
    R"({sp}?#[\p{L}\p{N}_]+)",
    R"({sp}?@[\p{L}\p{N}_]+)",
    R"((?:[\U0001F300-\U0001FAFF]|[\u2600-\u26FF]|[\u2700-\u27BF])(?:[\uFE0E\uFE0F])?(?:[\U0001F3FB-\U0001F3FF])?(?:\u200D(?:[\U0001F300-\U0001FAFF]|[\u2600-\u26FF]|[\u2700-\u27BF])(?:[\uFE0E\uFE0F])?(?:[\U0001F3FB-\U0001F3FF])?)*)",
    R"({sp}?[\u4e00-\u9fff\u3400-\u4dbf\u3040-\u30ff\uac00-\ud7af]+)",
    "{sp}?[\\p{L}\\p{Nl}\\p{No}]+(?:['\u2019][\\p{L}\\p{Nl}\\p{No}]+)*",
    R"({sp}?0[xX][0-9a-fA-F]+|{sp}?0[bB][01]+)",
    R"({sp}?\d{1,3})",
    R"({sp}+)",
    R"([\s\x1c-\x1f]+)",
    R"({sp}?[^\p{L}\p{N}_\s\x1c-\x1f{sp}]|{sp}?_)",
};

constexpr std::string_view kPlainText =
    "<\\|[^\\s|]+\\|>|\\p{L}+(?:['\u2019]\\p{L}+)*|\\p{N}{1,3}|[^\\s\\p{L}\\p{N}\\u{2581}]+|"
    "\\u{2581}+|\\s+";

std::string fill_space(std::string_view piece) {
  std::string out;
  for (size_t at; (at = piece.find(kSpacePlaceholder)) != piece.npos;) {
    out.append(piece.substr(0, at)).append(kSpaceText);
    piece.remove_prefix(at + kSpacePlaceholder.size());
  }
  return out.append(piece);
}

// ---- Snapping ----

// True when some match boundary falls between U+000D and U+000A.
bool splits_crlf(std::string_view text, std::vector<ByteRange>::const_iterator begin,
                 std::vector<ByteRange>::const_iterator end) noexcept {
  auto split_at = [text](size_t x) {
    return x > 0 && x < text.size() && text[x - 1] == '\r' && text[x] == '\n';
  };
  return std::any_of(begin, end,
                     [&](const ByteRange& m) { return split_at(m.start) || split_at(m.end); });
}

// The cluster starts of a text plus its length, queried in (almost always)
// increasing order through a cursor.
class Boundaries {
 public:
  explicit Boundaries(std::string_view text) { unicode::grapheme_boundaries(text, starts_); }

  // The first boundary at or after x (x <= the text's length).
  size_t snap(size_t x) { return starts_[seek(x)]; }
  bool contains(size_t x) { return starts_[seek(x)] == x; }

 private:
  size_t seek(size_t x) {
    if (cursor_ > 0 && starts_[cursor_ - 1] >= x) {
      cursor_ = std::lower_bound(starts_.begin(), starts_.begin() + cursor_, x) - starts_.begin();
    }
    while (starts_[cursor_] < x) ++cursor_;
    return cursor_;
  }

  std::vector<size_t> starts_;
  size_t cursor_ = 0;
};

bool starts_with_mark(std::string_view text, size_t at) {
  GeneralCategory gc = unicode::general_category(utf8::decode_at(text, at));
  return unicode::is_mark(gc);
}

// Merges matches so that every piece ends on a cluster boundary.
void snap_to_clusters(std::string_view text, const std::vector<ByteRange>& matches,
                      std::vector<ByteRange>& out) {
  Boundaries clusters(text);
  const size_t first = out.size();
  size_t i = 0;
  // Takes every following match that starts inside the piece.
  auto absorb = [&](ByteRange& piece) {
    for (; i < matches.size() && matches[i].start < piece.end; ++i) {
      if (matches[i].end > piece.end) piece.end = clusters.snap(matches[i].end);
    }
  };
  while (i < matches.size()) {
    const ByteRange match = matches[i++];
    if (out.size() > first && !clusters.contains(match.start)) {
      ByteRange& last = out.back();
      last.end = clusters.snap(std::max(last.end, match.end));
      absorb(last);
      continue;
    }
    ByteRange piece{match.start, clusters.snap(match.end)};
    absorb(piece);
    // A text that opens with a mark keeps it with the piece after it.
    if (out.size() == first && piece.end > piece.start && starts_with_mark(text, piece.start) &&
        i < matches.size()) {
      piece.end = clusters.snap(matches[i++].end);
      absorb(piece);
    }
    out.push_back(piece);
  }
}

}  // namespace

bool PretokPattern::find_all(std::string_view text, std::vector<ByteRange>& out) const {
  return kind_ == Kind::full ? pretok::match_full(text, out) : pretok::match_plain(text, out);
}

std::string full_pretok_pattern_text() {
  std::string text;
  for (std::string_view piece : kFullPieces) {
    if (!text.empty()) text += '|';
    text.append("(?:").append(fill_space(piece)).append(")");
  }
  return text;
}

const PretokPattern& get_full_pretok_regex() {
  static const PretokPattern pattern(PretokPattern::Kind::full, full_pretok_pattern_text());
  return pattern;
}

const PretokPattern& get_pretok_regex() {
  static const PretokPattern pattern(PretokPattern::Kind::plain, std::string(kPlainText));
  return pattern;
}

bool has_joining_character(std::string_view text) noexcept {
  // No ASCII character joins, so only the non-ASCII ones are decoded.
  for (size_t at = utf8::ascii_run_end(text, 0); at < text.size();
       at = utf8::ascii_run_end(text, at)) {
    const char* p = text.data() + at;
    if (unicode::joins_cluster(utf8::decode(p))) return true;
    at = static_cast<size_t>(p - text.data());
  }
  return false;
}

void snapped_pretoken_ranges(std::string_view text, const PretokPattern& pattern,
                             std::vector<ByteRange>& out) {
  // The matches go straight to `out`: on the fast path each is its own piece,
  // since matches never overlap.
  const size_t first = out.size();
  const bool joins = pattern.find_all(text, out);
  auto found = out.begin() + static_cast<std::ptrdiff_t>(first);
  if (found == out.end()) return;
  std::vector<ByteRange> matches;
  const bool has_cr = text.find('\r') != std::string_view::npos;
  if (joins || (has_cr && splits_crlf(text, found, out.end()))) {
    matches.assign(found, out.end());
    out.resize(first);
    snap_to_clusters(text, matches, out);
  }
}

std::vector<std::string> snapped_pretokens(std::string_view text, const PretokPattern& pattern) {
  std::vector<ByteRange> ranges;
  snapped_pretoken_ranges(text, pattern, ranges);
  std::vector<std::string> pieces;
  pieces.reserve(ranges.size());
  for (const ByteRange& r : ranges) pieces.emplace_back(text.substr(r.start, r.end - r.start));
  return pieces;
}

}  // namespace brindlore
