// Why these matchers are linear, alternative by alternative (p is the position
// the search is at; both patterns match at every position, so the leftmost
// match always starts at p and each match is the first alternative, in order,
// that matches there, with the extent a backtracking engine would give it):
//
//  - Runs that end the match ("+" and "*" with nothing after them, the tails
//    of words, hashtags, whitespace, CJK, U+2581, the URL path, emoji units)
//    are scanned once and consumed by the match.
//  - Bounded pieces (digit groups, hex prefixes, one-character pieces) cost
//    O(1).
//  - Control token: "[^\s|]+" stops at the next "|", and every attempt starts
//    with its own "|", so the runs scanned by failed attempts are disjoint.
//  - URL: "{1,256}" and "{1,6}" bound the backtracking to 256 * 6 steps, and
//    the host run stops at the "/" of the next "://", so failed attempts scan
//    disjoint runs.
//  - E-mail: a backtracking engine rescans the local-part run from every
//    position inside it. The outcome depends only on where that run ends (the
//    "@", the domain label, the "." and the tail after it), so it is computed
//    once per run and reused at every later position inside the same run.
//    Domain and tail runs stop at the next "@", so runs scanned for different
//    "@" are disjoint.
#include "core/pretok_match.h"

#include <array>
#include <cstdint>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore::pretok {
namespace {

using unicode::GeneralCategory;

constexpr char32_t kSpaceChar = 0x2581;  // fixed in both pattern texts
constexpr char32_t kEnd = 0xFFFFFFFF;    // "character" past the end of the text
constexpr size_t kFail = 0;              // no match can end at byte 0

// Character sets of the patterns, as bits.
enum : uint32_t {
  kLetter = 1u << 0,  // \p{L}
  kNd = 1u << 1,
  kNl = 1u << 2,
  kNo = 1u << 3,
  kWhite = 1u << 4,  // \s: White_Space
  kSep = 1u << 5,    // U+001C-U+001F
  kMark = 1u << 6,   // \p{M}, for the word boundary
  kPc = 1u << 7,     // \p{Pc}, for the word boundary
  // Not a set of the patterns: the character can join a grapheme cluster
  // across a match boundary (`unicode::joins_cluster`).
  kJoins = 1u << 8,
  // ASCII-only classes of the URL, e-mail and literal alternatives
  kEmailLocal = 1u << 9,    // [a-zA-Z0-9_.+-]
  kEmailDomain = 1u << 10,  // [a-zA-Z0-9-]
  kEmailTail = 1u << 11,    // [a-zA-Z0-9-.]
  kUrlFirst = 1u << 12,     // [a-zA-Z0-9]
  kUrlHost = 1u << 13,      // [-a-zA-Z0-9@:%._\+~#=]
  kUrlTld = 1u << 14,       // [a-zA-Z0-9()]
  kUrlPath = 1u << 15,      // [-a-zA-Z0-9()@:%_\+.~#?&/=]
  kHex = 1u << 16,          // [0-9a-fA-F]
  kBinary = 1u << 17,       // [01]
};
constexpr uint32_t kNumber = kNd | kNl | kNo;         // \p{N}
constexpr uint32_t kWordPiece = kLetter | kNl | kNo;  // [\p{L}\p{Nl}\p{No}]

constexpr bool one_of(int c, std::string_view set) { return set.find(char(c)) != set.npos; }

constexpr std::array<uint32_t, 128> make_ascii_sets() {
  std::array<uint32_t, 128> sets{};
  for (int c = 0; c < 128; ++c) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    bool alnum = alpha || digit;
    uint32_t f = 0;
    if (alpha) f |= kLetter;
    if (digit) f |= kNd;
    if ((c >= 0x09 && c <= 0x0D) || c == ' ') f |= kWhite;
    if (c >= 0x1C && c <= 0x1F) f |= kSep;
    if (c == '_') f |= kPc;
    if (alnum || one_of(c, "_.+-")) f |= kEmailLocal;
    if (alnum || c == '-') f |= kEmailDomain;
    if (alnum || one_of(c, "-.")) f |= kEmailTail;
    if (alnum) f |= kUrlFirst;
    if (alnum || one_of(c, "-@:%._+~#=")) f |= kUrlHost;
    if (alnum || one_of(c, "()")) f |= kUrlTld;
    if (alnum || one_of(c, "-()@:%_+.~#?&/=")) f |= kUrlPath;
    if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) f |= kHex;
    if (c == '0' || c == '1') f |= kBinary;
    sets[c] = f;
  }
  return sets;
}
constexpr std::array<uint32_t, 128> kAscii = make_ascii_sets();

uint32_t sets_of_category(const unicode::CharProperties& props) noexcept {
  switch (props.category) {
    case GeneralCategory::Lu:
    case GeneralCategory::Ll:
    case GeneralCategory::Lt:
    case GeneralCategory::Lm:
    case GeneralCategory::Lo:
      return kLetter;
    case GeneralCategory::Nd:
      return kNd;
    case GeneralCategory::Nl:
      return kNl;
    case GeneralCategory::No:
      return kNo;
    case GeneralCategory::Mn:
    case GeneralCategory::Mc:
    case GeneralCategory::Me:
      return kMark;
    case GeneralCategory::Pc:
      return kPc;
    // Every White_Space character is one of these four categories.
    case GeneralCategory::Zs:
    case GeneralCategory::Zl:
    case GeneralCategory::Zp:
    case GeneralCategory::Cc:
      return props.white_space ? uint32_t{kWhite} : 0u;
    default:
      return 0;
  }
}

uint32_t classify_by_lookup(char32_t cp) noexcept {
  const unicode::CharProperties props = unicode::properties(cp);
  return sets_of_category(props) | (props.joins_cluster ? uint32_t{kJoins} : 0u);
}

// The sets of every two-byte character (U+0080..U+07FF: Latin, Greek,
// Cyrillic, Hebrew, Arabic...), taken once from the Unicode layer so that
// the commonest non-ASCII characters cost one read.
constexpr char32_t kTwoByteEnd = 0x800;
static_assert(kJoins < (1u << 16), "the sets of non-ASCII characters fit in 16 bits");

const std::array<uint16_t, kTwoByteEnd> kTwoByte = [] {
  std::array<uint16_t, kTwoByteEnd> sets{};
  for (char32_t cp = 0x80; cp < kTwoByteEnd; ++cp) {
    sets[cp] = static_cast<uint16_t>(classify_by_lookup(cp));
  }
  return sets;
}();

// U+2581 stands for every space of a normalized text.
const uint32_t kSpaceCharSets = classify_by_lookup(kSpaceChar);

uint32_t classify_non_ascii(char32_t cp) noexcept {
  if (cp < kTwoByteEnd) return kTwoByte[cp];
  return cp == kSpaceChar ? kSpaceCharSets : classify_by_lookup(cp);
}

bool is_emoji_base(char32_t cp) noexcept {
  return (cp >= 0x1F300 && cp <= 0x1FAFF) || (cp >= 0x2600 && cp <= 0x27BF);
}
bool is_skin_tone(char32_t cp) noexcept { return cp >= 0x1F3FB && cp <= 0x1F3FF; }
bool is_cjk(char32_t cp) noexcept {
  return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
         (cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0xAC00 && cp <= 0xD7AF);
}

struct Char {
  char32_t cp;
  uint32_t sets;
  size_t next;  // byte offset after the character
};

// Read access to the text by byte offset; past the end reads kEnd.
class Text {
 public:
  explicit Text(std::string_view text) noexcept : s_(text) {}

  size_t size() const noexcept { return s_.size(); }

  Char at(size_t p) const noexcept {
    if (p >= s_.size()) return {kEnd, 0, p};
    auto b = static_cast<unsigned char>(s_[p]);
    if (b < 0x80) return {b, kAscii[b], p + 1};
    // The character that ends one run is read again by the next test and
    // by the next match: the last non-ASCII one is kept.
    if (p == last_at_) return last_;
    const char* q = s_.data() + p;
    char32_t cp = utf8::decode(q);
    const uint32_t sets = classify_non_ascii(cp);
    seen_ |= sets;
    last_ = {cp, sets, static_cast<size_t>(q - s_.data())};
    last_at_ = p;
    return last_;
  }

  // True when a character read so far can join a grapheme cluster. Every
  // match reads each of its non-ASCII characters (the ASCII ones never join),
  // so once the matches tile the text this is `has_joining_character`.
  bool joins_seen() const noexcept { return (seen_ & kJoins) != 0; }

  bool is(size_t p, char c) const noexcept { return p < s_.size() && s_[p] == c; }
  // The first c at or after p, or the text's size.
  size_t find(char c, size_t p) const noexcept { return std::min(s_.find(c, p), s_.size()); }
  bool starts_with(size_t p, std::string_view lit) const noexcept {
    return s_.substr(std::min(p, s_.size())).starts_with(lit);
  }
  bool ascii_in(size_t p, uint32_t set) const noexcept {
    if (p >= s_.size()) return false;
    auto b = static_cast<unsigned char>(s_[p]);
    return b < 0x80 && (kAscii[b] & set) != 0;
  }

  // End of the run of characters from p that satisfy `pred`.
  template <typename Pred>
  size_t run(size_t p, Pred pred) const noexcept {
    for (Char c = at(p); c.cp != kEnd && pred(c); c = at(p)) p = c.next;
    return p;
  }
  size_t run_of(size_t p, uint32_t sets) const noexcept {
    for (;;) {
      p = ascii_run(p, sets);  // the common case, without decoding
      Char c = at(p);
      if (c.cp < 0x80 || c.cp == kEnd || !(c.sets & sets)) return p;
      p = c.next;
    }
  }
  // End of the run of ASCII characters of `set` from p, at most `limit` long.
  size_t ascii_run(size_t p, uint32_t set, size_t limit = SIZE_MAX) const noexcept {
    size_t start = p;
    while (p - start < limit && ascii_in(p, set)) ++p;
    return p;
  }

 private:
  std::string_view s_;
  mutable uint32_t seen_ = 0;  // the union of the sets of the characters read
  mutable size_t last_at_ = SIZE_MAX;  // where the last non-ASCII character read starts
  mutable Char last_{};                // and what it is
};

// \w of the word boundary: Alphabetic, marks, Nd, Pc, U+200C and U+200D.
bool is_word_char(const Char& c) noexcept {
  if (c.cp == kEnd) return false;
  if (c.sets & (kMark | kNd | kPc)) return true;
  if (c.cp < 0x80) return (c.sets & kLetter) != 0;
  return c.cp == 0x200C || c.cp == 0x200D || unicode::is_alphabetic(c.cp);
}

// ---- Alternatives shared by both patterns ----

// "<\|[^\s|]+\|>" at p.
size_t control_token(const Text& t, size_t p) noexcept {
  if (!t.starts_with(p, "<|")) return kFail;
  size_t body = p + 2;
  size_t end = t.run(body, [](const Char& c) { return !(c.sets & kWhite) && c.cp != '|'; });
  if (end == body || !t.starts_with(end, "|>")) return kFail;
  return end + 2;
}

// "X+(?:['’]X+)*" from p, X being the characters of `sets`.
size_t apostrophe_word(const Text& t, size_t p, uint32_t sets) noexcept {
  size_t end = t.run_of(p, sets);
  if (end == p) return kFail;
  for (Char c = t.at(end); c.cp == '\'' || c.cp == 0x2019; c = t.at(end)) {
    size_t more = t.run_of(c.next, sets);
    if (more == c.next) break;
    end = more;
  }
  return end;
}

// "X{1,limit}" from p.
size_t bounded_run(const Text& t, size_t p, uint32_t sets, int limit) noexcept {
  size_t end = p;
  for (int n = 0; n < limit; ++n) {
    Char c = t.at(end);
    if (!(c.sets & sets)) break;
    end = c.next;
  }
  return end == p ? kFail : end;
}

size_t space_char_run(const Text& t, size_t p) noexcept {
  return t.run(p, [](const Char& c) { return c.cp == kSpaceChar; });
}

// ---- The full pattern ----

class FullMatcher {
 public:
  explicit FullMatcher(std::string_view text) noexcept : t_(text), next_at_(t_.find('@', 0)) {}

  bool joins_seen() const noexcept { return t_.joins_seen(); }

  // The end of the match that starts at p (p < size).
  size_t match_at(size_t p) noexcept {
    Char c = t_.at(p);
    size_t end = kFail;
    if (c.cp == '<' && (end = control_token(t_, p))) return end;
    if (c.cp == 'h' && (end = url(p))) return end;
    if ((c.sets & kEmailLocal) && (end = email(p))) return end;
    // Pieces 4, 5 and 7 to 10 may begin with one U+2581; none of them can
    // take it otherwise, so each is tested on the character after it.
    bool lead = c.cp == kSpaceChar;
    size_t q = lead ? c.next : p;
    Char d = lead ? t_.at(q) : c;
    if ((d.cp == '#' || d.cp == '@') && (end = tag(d.next))) return end;
    if (!lead && is_emoji_base(c.cp)) return emoji(p);
    if (is_cjk(d.cp)) return t_.run(q, [](const Char& x) { return is_cjk(x.cp); });
    if (d.sets & kWordPiece) return apostrophe_word(t_, q, kWordPiece);
    if (d.cp == '0' && (end = literal(d.next))) return end;
    if (d.sets & kNd) return bounded_run(t_, q, kNd, 3);
    if (lead) return space_char_run(t_, p);
    if (c.sets & (kWhite | kSep)) return t_.run_of(p, kWhite | kSep);
    // Piece 13. Its optional leading U+2581 never takes part: a U+2581 here
    // was already taken by "▁+".
    return c.next;
  }

 private:
  // "https?://[a-zA-Z0-9][host]{1,256}\.[tld]{1,6}\b(?:[path]*)" at p, with
  // the backtracking order of the greedy bounded repeats.
  size_t url(size_t p) const noexcept {
    if (!t_.starts_with(p, "http")) return kFail;
    size_t q = p + 4;
    if (t_.is(q, 's')) ++q;
    if (!t_.starts_with(q, "://")) return kFail;
    q += 3;
    if (!t_.ascii_in(q, kUrlFirst)) return kFail;
    size_t host = q + 1;
    size_t host_end = t_.ascii_run(host, kUrlHost, 256);
    for (size_t dot = host_end; dot > host; --dot) {
      if (!t_.is(dot, '.')) continue;
      size_t tld = dot + 1;
      for (size_t end = t_.ascii_run(tld, kUrlTld, 6); end > tld; --end) {
        if (word_boundary(end)) return t_.ascii_run(end, kUrlPath);
      }
    }
    return kFail;
  }

  // \b at p, where the character before p is ASCII.
  bool word_boundary(size_t p) const noexcept {
    return is_word_char(t_.at(p - 1)) != is_word_char(t_.at(p));
  }

  // "[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+" at p. The local-part run
  // holds neither "@" nor anything after it, so every position inside it
  // has the same outcome: it is computed once per run. Past the last "@" of
  // the text nothing matches, which spares most words a second scan.
  size_t email(size_t p) noexcept {
    if (p >= email_run_end_) {
      if (next_at_ < p) next_at_ = t_.find('@', p);
      if (next_at_ == t_.size()) {
        email_run_end_ = t_.size();
        email_end_ = kFail;
      } else {
        email_run_end_ = t_.ascii_run(p, kEmailLocal);
        email_end_ = email_suffix(email_run_end_);
      }
    }
    return email_end_;
  }

  size_t email_suffix(size_t at) const noexcept {
    if (!t_.is(at, '@')) return kFail;
    size_t label = at + 1;
    size_t dot = t_.ascii_run(label, kEmailDomain);
    if (dot == label || !t_.is(dot, '.')) return kFail;
    size_t end = t_.ascii_run(dot + 1, kEmailTail);
    return end == dot + 1 ? kFail : end;
  }

  // "[\p{L}\p{N}_]+" from p (after "#" or "@").
  size_t tag(size_t p) const noexcept {
    size_t end =
        t_.run(p, [](const Char& c) { return (c.sets & (kLetter | kNumber)) || c.cp == '_'; });
    return end == p ? kFail : end;
  }

  // The emoji sequence from p, whose first character is a base.
  size_t emoji(size_t p) const noexcept {
    size_t end = modifiers(t_.at(p).next);
    for (Char j = t_.at(end); j.cp == 0x200D; j = t_.at(end)) {
      Char base = t_.at(j.next);
      if (!is_emoji_base(base.cp)) break;
      end = modifiers(base.next);
    }
    return end;
  }

  // "(?:[\uFE0E\uFE0F])?(?:[\U0001F3FB-\U0001F3FF])?" from p.
  size_t modifiers(size_t p) const noexcept {
    Char c = t_.at(p);
    if (c.cp == 0xFE0E || c.cp == 0xFE0F) {
      p = c.next;
      c = t_.at(p);
    }
    return is_skin_tone(c.cp) ? c.next : p;
  }

  // "[xX][0-9a-fA-F]+|[bB][01]+" from p (after "0").
  size_t literal(size_t p) const noexcept {
    uint32_t digits = 0;
    if (t_.is(p, 'x') || t_.is(p, 'X')) digits = kHex;
    if (t_.is(p, 'b') || t_.is(p, 'B')) digits = kBinary;
    if (!digits) return kFail;
    size_t end = t_.ascii_run(p + 1, digits);
    return end == p + 1 ? kFail : end;
  }

  Text t_;
  size_t email_run_end_ = 0;  // end of the last local-part run examined
  size_t email_end_ = kFail;  // outcome for every position before it
  size_t next_at_;            // the first "@" from where it was last looked for
};

// ---- The plain pattern ----

size_t plain_match_at(const Text& t, size_t p) noexcept {
  Char c = t.at(p);
  size_t end = kFail;
  if (c.cp == '<' && (end = control_token(t, p))) return end;
  if (c.sets & kLetter) return apostrophe_word(t, p, kLetter);
  if (c.sets & kNumber) return bounded_run(t, p, kNumber, 3);
  auto other = [](const Char& x) {
    return !(x.sets & (kWhite | kLetter | kNumber)) && x.cp != kSpaceChar;
  };
  if (other(c)) return t.run(p, other);
  if (c.cp == kSpaceChar) return space_char_run(t, p);
  return t.run_of(p, kWhite);
}

}  // namespace

bool match_full(std::string_view text, std::vector<ByteRange>& out) {
  FullMatcher matcher(text);
  for (size_t p = 0; p < text.size();) {
    size_t end = matcher.match_at(p);
    out.push_back({p, end});
    p = end;
  }
  return matcher.joins_seen();
}

bool match_plain(std::string_view text, std::vector<ByteRange>& out) {
  Text t(text);
  for (size_t p = 0; p < text.size();) {
    size_t end = plain_match_at(t, p);
    out.push_back({p, end});
    p = end;
  }
  return t.joins_seen();
}

}  // namespace brindlore::pretok
