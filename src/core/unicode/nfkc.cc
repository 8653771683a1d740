// NFKC: a quick-check scan over the text, and full normalization only of the
// segments where the scan fails. A segment runs from the last position where
// normalization cannot reach back (a starter with NFKC_QC=Yes) to the next
// one, so the text outside failing segments is copied as it is -- or, when no
// segment changes, not copied at all.
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "core/unicode/tables.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore::unicode {

using namespace tables;

namespace {

constexpr char32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28;
constexpr char32_t kNCount = kVCount * kTCount, kSCount = kLCount * kNCount;

// A character of a segment being normalized: code point, "may combine with a
// preceding starter" and combining class packed as the generated pool packs
// them, so that `element >> kDecompCccShift` is the sort key.
using Element = uint32_t;
constexpr uint32_t kCodePointMask = (1u << kDecompMaybeShift) - 1;

Element pack(char32_t cp, uint32_t rec) noexcept {
  return cp | uint32_t{quick_check_of(rec) == QuickCheck::Maybe} << kDecompMaybeShift |
         uint32_t{ccc_of(rec)} << kDecompCccShift;
}
char32_t code_point(Element e) noexcept { return e & kCodePointMask; }
uint8_t combining_class(Element e) noexcept { return static_cast<uint8_t>(e >> kDecompCccShift); }
bool may_combine_back(Element e) noexcept { return (e >> kDecompMaybeShift) & 1; }

bool is_boundary(uint32_t rec) noexcept {
  return ccc_of(rec) == 0 && quick_check_of(rec) == QuickCheck::Yes;
}

// Scratch space of one normalization call, reused by all its segments.
struct Scratch {
  std::vector<Element> chars;
  std::vector<Element> sorted;  // counting-sort target for long mark runs
  std::string text;
};

void decompose(char32_t cp, std::vector<Element>& out) {
  if (cp - kSBase < kSCount) {
    char32_t s = cp - kSBase;
    out.push_back(pack(kLBase + s / kNCount, record(kLBase)));
    out.push_back(pack(kVBase + (s % kNCount) / kTCount, record(kVBase)));
    if (s % kTCount != 0) out.push_back(pack(kTBase + s % kTCount, record(kTBase + 1)));
    return;
  }
  uint16_t ref = decomposition_ref(cp);
  if (ref == 0) {
    out.push_back(pack(cp, record(cp)));
    return;
  }
  uint32_t entry = kDecompEntries[ref];
  const uint32_t* first = kDecompPool + (entry >> 5);
  out.insert(out.end(), first, first + (entry & 31));
}

// Stable sort of one run of non-starters by combining class. Long runs use a
// counting sort so that a hostile run of marks costs linear time.
void sort_run(Element* first, Element* last, std::vector<Element>& tmp) {
  size_t n = static_cast<size_t>(last - first);
  if (n <= 32) {
    for (Element* i = first + 1; i < last; ++i) {
      Element e = *i;
      Element* j = i;
      for (; j > first && combining_class(j[-1]) > combining_class(e); --j) *j = j[-1];
      *j = e;
    }
    return;
  }
  std::array<size_t, 257> start{};
  for (Element* i = first; i < last; ++i) ++start[combining_class(*i) + 1];
  for (size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
  tmp.resize(n);
  for (Element* i = first; i < last; ++i) tmp[start[combining_class(*i)]++] = *i;
  std::copy(tmp.begin(), tmp.end(), first);
}

void canonical_order(std::vector<Element>& chars, std::vector<Element>& tmp) {
  Element* p = chars.data();
  Element* end = p + chars.size();
  while (p < end) {
    if (combining_class(*p) == 0) {
      ++p;
      continue;
    }
    Element* run = p;
    while (p < end && combining_class(*p) != 0) ++p;
    if (p - run > 1) sort_run(run, p, tmp);
  }
}

// The primary composite of a starter and a following character, or 0.
char32_t compose_pair(char32_t a, char32_t b) noexcept {
  if (a - kLBase < kLCount && b - kVBase < kVCount)
    return kSBase + ((a - kLBase) * kVCount + (b - kVBase)) * kTCount;
  if (a - kSBase < kSCount && (a - kSBase) % kTCount == 0 && b - (kTBase + 1) < kTCount - 1)
    return a + (b - kTBase);
  uint64_t key = uint64_t{a} << 21 | b;
  const uint64_t* end = kComposeKeys + kComposeCount;
  const uint64_t* it = std::lower_bound(kComposeKeys, end, key);
  if (it == end || *it != key) return 0;
  return kComposeValues[it - kComposeKeys];
}

// Canonical composition in place. A character combines with the last starter
// unless something between them blocks it: a starter, or a mark whose class
// is not lower than its own.
void compose(std::vector<Element>& chars) {
  size_t starter = SIZE_MAX;
  uint8_t last_ccc = 0;
  size_t w = 0;
  for (size_t r = 0; r < chars.size(); ++r) {
    Element e = chars[r];
    uint8_t ccc = combining_class(e);
    if (starter != SIZE_MAX && may_combine_back(e) &&
        (w == starter + 1 || (last_ccc != 0 && last_ccc < ccc))) {
      char32_t composite = compose_pair(code_point(chars[starter]), code_point(e));
      if (composite != 0) {
        // Composites are starters that never combine backwards themselves.
        chars[starter] = composite;
        continue;
      }
    }
    if (ccc == 0) starter = w;
    last_ccc = ccc;
    chars[w++] = e;
  }
  chars.resize(w);
}

void normalize_segment(std::string_view segment, Scratch& s) {
  s.chars.clear();
  const char* p = segment.data();
  const char* end = p + segment.size();
  while (p < end) decompose(utf8::decode(p), s.chars);
  canonical_order(s.chars, s.sorted);
  compose(s.chars);
  s.text.clear();
  for (Element e : s.chars) utf8::append(s.text, code_point(e));
}

// Walks `text` from `p` with the quick check. Returns the first position
// where it fails (or the text's end), and sets `segment_start` to the start of
// the segment that holds that position.
const char* quick_scan(std::string_view text, const char* p,
                       const char*& segment_start) noexcept {
  const char* end = text.data() + text.size();
  uint8_t last_ccc = 0;
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      const char* q = text.data() + utf8::ascii_run_end(text, p - text.data());
      segment_start = q - 1;
      last_ccc = 0;
      p = q;
      continue;
    }
    const char* q = p;
    char32_t cp = utf8::decode(q);
    if (is_bmp_quick_starter(cp)) {
      segment_start = p;
      last_ccc = 0;
      p = q;
      continue;
    }
    uint32_t rec = record(cp);
    uint8_t ccc = ccc_of(rec);
    if (quick_check_of(rec) != QuickCheck::Yes || (ccc != 0 && ccc < last_ccc)) return p;
    if (ccc == 0) segment_start = p;
    last_ccc = ccc;
    p = q;
  }
  return end;
}

// The first boundary after the failing character at `p`.
const char* segment_end(const char* p, const char* end) noexcept {
  p += utf8::sequence_length(static_cast<unsigned char>(*p));
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) return p;
    const char* q = p;
    if (is_boundary(record(utf8::decode(q)))) return p;
    p = q;
  }
  return end;
}

}  // namespace

bool nfkc_quick_check(std::string_view text) noexcept {
  const char* segment_start = text.data();
  return quick_scan(text, text.data(), segment_start) ==
         text.data() + text.size();
}

bool nfkc_boundary_before(char32_t cp) noexcept { return is_boundary(record(cp)); }

const uint64_t* const NfkcQuickCheck::kQuickStarterBits = tables::kQuickStarterBits;

bool NfkcQuickCheck::accept_other(char32_t cp) noexcept {
  const uint32_t rec = record(cp);
  const uint8_t ccc = ccc_of(rec);
  if (quick_check_of(rec) != QuickCheck::Yes || (ccc != 0 && ccc < last_ccc_)) return false;
  last_ccc_ = ccc;
  return true;
}

bool nfkc_into(std::string_view text, std::string& out) {
  if (aliases(text, out)) {
    std::string separate;
    if (!nfkc_into(text, separate)) return false;
    out = std::move(separate);
    return true;
  }
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* seg_start = begin;
  const char* fail = quick_scan(text, begin, seg_start);
  if (fail == end) return false;  // the common case: no scratch, no copy

  const char* flushed = begin;  // `out` holds the normalization of [begin, flushed)
  bool changed = false;
  Scratch scratch;
  while (fail != end) {
    const char* seg_end = segment_end(fail, end);
    std::string_view segment(seg_start, static_cast<size_t>(seg_end - seg_start));
    normalize_segment(segment, scratch);
    if (scratch.text != segment) {
      if (!changed) {
        out.clear();
        out.reserve(text.size() + text.size() / 8 + 16);
        changed = true;
      }
      out.append(flushed, seg_start);
      out.append(scratch.text);
      flushed = seg_end;
    }
    seg_start = seg_end;
    fail = quick_scan(text, seg_end, seg_start);
  }
  if (changed) out.append(flushed, end);
  return changed;
}

std::string nfkc(std::string_view text) {
  std::string out;
  if (!nfkc_into(text, out)) return std::string(text);
  return out;
}

}  // namespace brindlore::unicode
