#include "core/normalizer_alignment.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

// ---- NFKC prefix counts ----
//
// Two facts make the counts linear:
//
// 1. Before a character c for which NFKC cannot reach across (a starter with
//    NFKC_QC=Yes, or a character whose own NFKC begins with one: NFKC only
//    sees the compatibility decomposition, and c's is that of NFKC(c)), NFKC
//    of a prefix is NFKC of the text before c followed by NFKC of the rest.
//    So the text splits into pieces that are counted on their own.
//
// 2. Inside a piece, for a normalized text y whose last starter (combining
//    class 0) is at j, NFKC(y + z) = y[0..j) + NFKC(y[j..] + z) for any z:
//    composition only ever joins a character to the last starter, and
//    reordering never crosses a starter. So only the tail y[j..] has to be
//    carried from one character to the next. A tail is a starter and a run
//    of combining marks in canonical order; of the marks of one class only
//    the first kMarksKeptPerClass can ever compose (a composite absorbs at
//    most three marks, and a mark is blocked by an earlier one of its class),
//    so the rest are only counted. The tail therefore stays short on any
//    input, and each character costs at most a normalization of a few
//    characters; a mark arriving behind a full class costs nothing.

constexpr size_t kMarksKeptPerClass = 4;

struct CharFacts {
  char32_t cp = 0xFFFFFFFF;
  bool boundary = false;  // NFKC cannot reach across the position before cp
  uint32_t length = 0;    // characters in NFKC of cp alone
  bool stable = false;    // NFKC of cp alone is cp
};

class PrefixCounter {
 public:
  explicit PrefixCounter(std::span<const char32_t> chars) : chars_(chars) {}

  std::vector<size_t> run() {
    std::vector<size_t> counts(chars_.size() + 1, 0);
    const size_t n = chars_.size();
    for (size_t begin = 0; begin < n;) {
      size_t end = begin + 1;
      while (end < n && !boundary_before(chars_[end])) ++end;
      if (end == begin + 1) {
        counts[end] = counts[begin] + single_length(chars_[begin]);
      } else {
        count_piece(begin, end, counts);
      }
      begin = end;
    }
    return counts;
  }

 private:
  bool boundary_before(char32_t cp) {
    return unicode::nfkc_boundary_before(cp) || facts(cp).boundary;
  }

  size_t single_length(char32_t cp) {
    return unicode::nfkc_boundary_before(cp) ? 1 : facts(cp).length;
  }

  // Facts of characters that are not plain starters, remembered in a small
  // direct-mapped table because texts repeat the same few of them.
  const CharFacts& facts(char32_t cp) {
    CharFacts& slot = facts_[cp % facts_.size()];
    if (slot.cp == cp) return slot;
    work_.clear();
    utf8::append(work_, cp);
    const std::string normalized = unicode::nfkc(work_);
    slot.cp = cp;
    slot.boundary = unicode::nfkc_boundary_before(utf8::decode_at(normalized, 0));
    slot.length = static_cast<uint32_t>(utf8::count_chars(normalized));
    slot.stable = normalized == work_;
    return slot;
  }

  // Counts for chars_[begin..end), a piece that NFKC handles on its own.
  void count_piece(size_t begin, size_t end, std::vector<size_t>& counts) {
    tail_.clear();
    kept_per_class_.fill(0);
    size_t settled = 0;  // characters of the piece's NFKC before the tail
    size_t dropped = 0;  // marks of the tail counted but not carried
    for (size_t k = begin; k < end; ++k) {
      if (is_blocked_mark(chars_[k])) {
        ++dropped;
        counts[k + 1] = counts[k] + 1;
        continue;
      }
      work_ = tail_;
      utf8::append(work_, chars_[k]);
      const std::string& y = unicode::nfkc_into(work_, normalized_) ? normalized_ : work_;
      utf8::to_code_points(y, cps_);
      const size_t cut = last_starter(cps_);
      if (cut > 0) {
        // A new starter follows every mark of the old tail, dropped ones too.
        settled += cut + dropped;
        dropped = 0;
      }
      dropped += carry_tail(cut);
      counts[k + 1] = counts[begin] + settled + utf8::count_chars(tail_) + dropped;
    }
  }

  // A mark that sorts behind kMarksKeptPerClass marks of its own class in
  // the tail: one of them stays uncomposed, blocks it from the starter, and
  // it blocks nothing that follows, so it only adds itself to the count.
  bool is_blocked_mark(char32_t cp) {
    const uint8_t ccc = unicode::canonical_combining_class(cp);
    return ccc != 0 && kept_per_class_[ccc] >= kMarksKeptPerClass && facts(cp).stable;
  }

  static size_t last_starter(const std::vector<char32_t>& cps) {
    for (size_t j = cps.size(); j-- > 0;) {
      if (unicode::canonical_combining_class(cps[j]) == 0) return j;
    }
    return 0;
  }

  // Keeps cps_[cut..] as the tail, without the marks beyond the first few of
  // each class; returns how many marks it left out.
  size_t carry_tail(size_t cut) {
    tail_.clear();
    kept_per_class_.fill(0);
    size_t marks_from = cut;
    if (unicode::canonical_combining_class(cps_[cut]) == 0) {
      utf8::append(tail_, cps_[cut]);
      marks_from = cut + 1;
    }
    size_t left_out = 0;
    size_t run = 0;
    uint8_t run_class = 0;
    for (size_t j = marks_from; j < cps_.size(); ++j) {
      const uint8_t ccc = unicode::canonical_combining_class(cps_[j]);
      run = (j > marks_from && ccc == run_class) ? run + 1 : 1;
      run_class = ccc;
      if (run > kMarksKeptPerClass) {
        ++left_out;
      } else {
        utf8::append(tail_, cps_[j]);
        ++kept_per_class_[ccc];
      }
    }
    return left_out;
  }

  std::span<const char32_t> chars_;
  std::array<CharFacts, 1024> facts_{};
  std::array<uint8_t, 256> kept_per_class_{};
  std::string tail_, work_, normalized_;
  std::vector<char32_t> cps_;
};

// ---- the aligned steps ----

struct AlignedChar {
  char32_t cp;
  SourceSpan span;
};

using AlignedChars = std::vector<AlignedChar>;

// Replaces every character by the 1 to 3 characters `map(cp, out)` writes,
// each taking the span of the character it replaces.
template <typename Map>
void map_chars(AlignedChars& chars, AlignedChars& scratch, Map map) {
  scratch.clear();
  scratch.reserve(chars.size() + 4);
  char32_t out[3];
  for (const AlignedChar& c : chars) {
    const int count = map(c.cp, out);
    for (int i = 0; i < count; ++i) scratch.push_back({out[i], c.span});
  }
  chars.swap(scratch);
}

int map_punctuation(char32_t cp, char32_t out[3]) {
  const std::string_view fold = punctuation_fold(cp);
  if (fold.empty()) {
    out[0] = cp;
    return 1;
  }
  for (size_t i = 0; i < fold.size(); ++i) out[i] = static_cast<unsigned char>(fold[i]);
  return static_cast<int>(fold.size());
}

int map_lower(char32_t cp, char32_t out[3]) {
  if (cp < 0x80) {
    out[0] = (cp >= 'A' && cp <= 'Z') ? cp + ('a' - 'A') : cp;
    return 1;
  }
  return unicode::lower_mapping(cp, out);
}

void collapse(AlignedChars& chars, AlignedChars& scratch) {
  scratch.clear();
  scratch.reserve(chars.size());
  for (size_t i = 0; i < chars.size();) {
    if (!is_collapse_char(chars[i].cp)) {
      scratch.push_back(chars[i++]);
      continue;
    }
    const size_t start = chars[i].span.start;
    size_t last = i;
    while (i < chars.size() && is_collapse_char(chars[i].cp)) last = i++;
    scratch.push_back({U' ', {start, chars[last].span.end}});
  }
  chars.swap(scratch);
}

void strip_ends(AlignedChars& chars) {
  size_t end = chars.size();
  while (end > 0 && is_strip_char(chars[end - 1].cp)) --end;
  size_t begin = 0;
  while (begin < end && is_strip_char(chars[begin].cp)) ++begin;
  chars.erase(chars.begin() + static_cast<std::ptrdiff_t>(end), chars.end());
  chars.erase(chars.begin(), chars.begin() + static_cast<std::ptrdiff_t>(begin));
}

AlignedText escape(const AlignedChars& chars, char32_t space_char) {
  AlignedText result;
  result.text.reserve(chars.size() + 4);
  result.spans.reserve(chars.size() + 4);
  auto put = [&](char32_t cp, SourceSpan span) {
    utf8::append(result.text, cp);
    result.spans.push_back(span);
  };
  for (const AlignedChar& c : chars) {
    if (c.cp == kEscapePrefix) {
      put(kEscapePrefix, c.span);
      put(kEscapePrefix, c.span);
    } else if (c.cp == space_char) {
      put(kEscapePrefix, c.span);
      put(kEscapedSpace, c.span);
    } else {
      put(c.cp == U' ' ? space_char : c.cp, c.span);
    }
  }
  return result;
}

// The input as aligned characters after the NFKC step (or without it).
AlignedChars initial_chars(std::string_view text, bool normalize_unicode) {
  std::vector<char32_t> input;
  utf8::to_code_points(text, input);
  AlignedChars chars;
  std::string normalized;
  if (!normalize_unicode || !unicode::nfkc_into(text, normalized)) {
    chars.reserve(input.size());
    for (size_t i = 0; i < input.size(); ++i) chars.push_back({input[i], {i, i + 1}});
    return chars;
  }
  std::vector<char32_t> output;
  utf8::to_code_points(normalized, output);
  const std::vector<size_t> counts = nfkc_prefix_counts(input);
  const std::vector<SourceSpan> spans = nfkc_spans(counts, output.size());
  chars.reserve(output.size());
  for (size_t k = 0; k < output.size(); ++k) chars.push_back({output[k], spans[k]});
  return chars;
}

}  // namespace

std::vector<size_t> nfkc_prefix_counts(std::span<const char32_t> chars) {
  return PrefixCounter(chars).run();
}

std::vector<SourceSpan> nfkc_spans(std::span<const size_t> prefix_counts,
                                   size_t normalized_length) {
  const size_t m = normalized_length;
  // Should the counts ever fall short of m, the characters they never reach
  // still get a span inside the input.
  const size_t n = prefix_counts.empty() ? 0 : prefix_counts.size() - 1;
  std::vector<SourceSpan> spans(m, SourceSpan{0, n});
  // The output characters whose span currently ends at the input position
  // being looked at: those set or extended by the previous input character.
  size_t group_begin = 0, group_end = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t a = prefix_counts[i], b = prefix_counts[i + 1];
    if (b > a) {
      group_begin = std::min(a, m);
      group_end = std::min(b, m);
      for (size_t k = group_begin; k < group_end; ++k) spans[k] = {i, i + 1};
    } else {
      group_end = std::max(group_begin, std::min({group_end, a, m}));
      for (size_t k = group_begin; k < group_end; ++k) spans[k].end = i + 1;
    }
  }
  return spans;
}

Result<AlignedText> normalize_with_alignment(std::string_view text, char32_t space_char,
                                             const NormalizeSwitches& switches) {
  if (is_reserved_space_char(space_char)) return make_error(std::string(kReservedSpaceCharMessage));
  AlignedChars chars = initial_chars(text, switches.normalize_unicode);
  AlignedChars scratch;
  if (switches.normalize_unicode_spaces) {
    for (AlignedChar& c : chars) {
      if (is_unicode_space(c.cp)) c.cp = U' ';
    }
  }
  if (switches.normalize_punctuation) map_chars(chars, scratch, map_punctuation);
  if (switches.lowercase) map_chars(chars, scratch, map_lower);
  if (switches.collapse_whitespaces) collapse(chars, scratch);
  if (switches.strip_whitespace) strip_ends(chars);
  return escape(chars, space_char);
}

}  // namespace brindlore
