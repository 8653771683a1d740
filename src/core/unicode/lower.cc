// Full lower-casing. ASCII is mapped inline; everything else takes one lookup
// in the generated mapping table, and U+03A3 looks at its context.
#include "core/unicode/tables.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore::unicode {

using namespace tables;

namespace {

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// The ASCII Case_Ignorable characters: ' . : ^ `
bool ascii_case_ignorable(unsigned char c) noexcept {
  return c == '\'' || c == '.' || c == ':' || c == '^' || c == '`';
}
bool ascii_cased(unsigned char c) noexcept { return static_cast<unsigned>((c | 0x20) - 'a') < 26u; }

// True when the first character from `p` that is not Case_Ignorable exists and
// is Cased. Stops at the first such character, so that a text's sigmas
// together scan each character at most once.
bool cased_follows(const char* p, const char* end) noexcept {
  while (p < end) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      ++p;
      if (!ascii_case_ignorable(c)) return ascii_cased(c);
      continue;
    }
    uint32_t rec = record(utf8::decode(p));
    if (!flag(rec, kCaseIgnorableShift)) return flag(rec, kCasedShift);
  }
  return false;
}

}  // namespace

int lower_mapping(char32_t cp, char32_t out[3]) noexcept {
  uint16_t ref = lower_ref(cp);
  if (ref == 0) {
    out[0] = cp;
    return 1;
  }
  const LowerMapping& m = kLowerMappings[ref];
  for (int i = 0; i < m.count; ++i) out[i] = m.cps[i];
  return m.count;
}

void to_lower_full(std::string_view text, std::string& out) {
  if (aliases(text, out)) {
    std::string copy(text);
    to_lower_full(copy, out);
    return;
  }
  out.reserve(out.size() + text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  // Whether the last character before `p` that is not Case_Ignorable is Cased
  // (false at the start): the backward half of the final-sigma context.
  bool cased_before = false;
  while (p < end) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      const char* run_end = text.data() + utf8::ascii_run_end(text, p - text.data());
      size_t at = out.size();
      out.resize(at + (run_end - p));
      for (char* w = out.data() + at; p < run_end; ++p, ++w) {
        auto b = static_cast<unsigned char>(*p);
        *w = static_cast<char>(static_cast<unsigned>(b - 'A') < 26u ? b | 0x20 : b);
        if (!ascii_case_ignorable(b)) cased_before = ascii_cased(b);
      }
      continue;
    }
    char32_t cp = utf8::decode(p);
    uint32_t rec = record(cp);
    if (cp == kCapitalSigma) {
      utf8::append(out, cased_before && !cased_follows(p, end) ? kFinalSigma : kSmallSigma);
    } else {
      char32_t mapped[3];
      int n = lower_mapping(cp, mapped);
      for (int i = 0; i < n; ++i) utf8::append(out, mapped[i]);
    }
    if (!flag(rec, kCaseIgnorableShift)) cased_before = flag(rec, kCasedShift);
  }
}

}  // namespace brindlore::unicode
