#include "core/normalizer.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

// Lead bytes worth decoding; every other byte is copied as it is.
using LeadSet = std::array<bool, 256>;

constexpr LeadSet make_leads(std::initializer_list<unsigned char> bytes) {
  LeadSet set{};
  for (unsigned char b : bytes) set[b] = true;
  return set;
}

// U+00A0, U+1680, U+2000..U+200A, U+202F, U+205F and U+3000 start with these.
constexpr LeadSet kSpaceLeads = make_leads({0xC2, 0xE1, 0xE2, 0xE3});
// Every folded punctuation character lies in U+2000..U+2FFF.
constexpr LeadSet kPunctuationLeads = make_leads({0xE2});

// Replaces, one for one, the non-ASCII characters for which `fold` returns a
// non-empty replacement. Returns false, with `out` untouched, when no
// character is replaced, so that an unchanged text is never copied.
template <typename Fold>
bool replace_chars(std::string_view in, std::string& out, const LeadSet& leads, Fold fold) {
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  bool changed = false;
  size_t copied = 0;  // bytes of `in` already accounted for in `out`
  size_t i = 0;
  while ((i = utf8::ascii_run_end(in, i)) < n) {
    const size_t len = utf8::sequence_length(s[i]);
    if (!leads[s[i]]) {
      i += len;
      continue;
    }
    std::string_view replacement = fold(utf8::decode_at(in, i));
    if (!replacement.empty()) {
      if (!changed) {
        out.clear();
        out.reserve(n + 4);
        changed = true;
      }
      out.append(in.data() + copied, i - copied);
      out.append(replacement);
      copied = i + len;
    }
    i += len;
  }
  if (changed) out.append(in.data() + copied, n - copied);
  return changed;
}

bool fold_unicode_spaces(std::string_view in, std::string& out) {
  return replace_chars(in, out, kSpaceLeads, [](char32_t cp) -> std::string_view {
    return is_unicode_space(cp) ? " " : std::string_view{};
  });
}

bool fold_punctuation(std::string_view in, std::string& out) {
  return replace_chars(in, out, kPunctuationLeads, punctuation_fold);
}

// ---- lower-casing ----

// ASCII characters that are neither Cased nor Case_Ignorable. The final-sigma
// context cannot look past one of them, so the text can be lower-cased in
// pieces split at them: all-ASCII pieces by arithmetic, the others by the
// Unicode layer, with the same result as lower-casing the whole text.
constexpr bool ends_case_context(unsigned char b) noexcept {
  const bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
  const bool ignorable = b == '\'' || b == '.' || b == ':' || b == '^' || b == '`';
  return b < 0x80 && !letter && !ignorable;
}

inline char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when some character of `in` changes under full lower-casing.
bool needs_lowering(std::string_view in) noexcept {
  const char* p = in.data();
  const char* end = p + in.size();
  while (p < end) {
    const auto b = static_cast<unsigned char>(*p);
    if (b < 0x80) {
      if (b >= 'A' && b <= 'Z') return true;
      ++p;
      continue;
    }
    const char32_t cp = utf8::decode(p);
    char32_t mapped[3];
    if (unicode::lower_mapping(cp, mapped) != 1 || mapped[0] != cp) return true;
  }
  return false;
}

bool lower_case(std::string_view in, std::string& out) {
  if (!needs_lowering(in)) return false;
  out.clear();
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    size_t piece_end = i;
    bool ascii = true;
    while (piece_end < n && !ends_case_context(s[piece_end])) {
      ascii &= s[piece_end] < 0x80;
      ++piece_end;
    }
    if (ascii) {
      for (size_t k = i; k < piece_end; ++k) out.push_back(ascii_lower(in[k]));
    } else {
      unicode::to_lower_full(in.substr(i, piece_end - i), out);
    }
    // Copy the run of context-ending characters that follows.
    i = piece_end;
    while (i < n && ends_case_context(s[i])) out.push_back(in[i++]);
  }
  return true;
}

// ---- whitespace ----

bool collapse_whitespace(std::string_view in, std::string& out) {
  const size_t n = in.size();
  size_t first = n;  // the first byte where collapsing changes something
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == '\t' || (in[i] == ' ' && i + 1 < n && is_collapse_char(in[i + 1]))) {
      first = i;
      break;
    }
  }
  if (first == n) return false;
  out.clear();
  out.reserve(n);
  out.append(in.data(), first);
  size_t i = first;
  while (i < n) {
    if (is_collapse_char(static_cast<unsigned char>(in[i]))) {
      out.push_back(' ');
      while (i < n && is_collapse_char(static_cast<unsigned char>(in[i]))) ++i;
      continue;
    }
    const size_t start = i;
    while (i < n && !is_collapse_char(static_cast<unsigned char>(in[i]))) ++i;
    out.append(in.data() + start, i - start);
  }
  return true;
}

// Start of the character that ends at byte `end` of valid text.
inline size_t previous_char_start(std::string_view text, size_t end) noexcept {
  size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return i;
}

// The text without its leading and trailing strip characters; never copies.
std::string_view strip(std::string_view in) noexcept {
  size_t begin = 0;
  while (begin < in.size()) {
    const char* p = in.data() + begin;
    if (!is_strip_char(utf8::decode(p))) break;
    begin = static_cast<size_t>(p - in.data());
  }
  size_t end = in.size();
  while (end > begin) {
    const size_t start = previous_char_start(in, end);
    if (!is_strip_char(utf8::decode_at(in, start))) break;
    end = start;
  }
  return in.substr(begin, end - begin);
}

// ---- escaping ----

// Bytes of a little-endian word: the lowest set high bit of `zero_bytes(x)`
// marks the first zero byte of x exactly (bits above it may be false).
constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

inline uint64_t load_word(const char* p) noexcept {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

inline uint64_t zero_bytes(uint64_t x) noexcept { return (x - kOnes) & ~x & kHighBits; }

// The escaping, optionally fused with the two steps that can share its pass
// over a text: the NFKC quick check (which gives up when the text may change)
// and the folding of the Unicode spaces. Copies eight bytes at a time and
// stops only at non-ASCII bytes, U+0020 and an ASCII space character.
class Escaper {
 public:
  explicit Escaper(char32_t space_char) noexcept : space_char_(space_char) {
    space_len_ = utf8::encode(space_char, space_bytes_);
    const unsigned char ascii_stop =
        space_char < 0x80 ? static_cast<unsigned char>(space_char) : ' ';
    space_words_ = kOnes * ' ';
    stop_words_ = kOnes * ascii_stop;
    // Built by shifts, not through memory: a word read right after its bytes
    // were stored one at a time waits for them.
    const std::string_view escaped = escape(U' ');
    for (size_t k = 0; k < escaped.size(); ++k) {
      const size_t shift = kWordAtATime ? 8 * k : 56 - 8 * k;
      space_out_ |= uint64_t{static_cast<unsigned char>(escaped[k])} << shift;
    }
    space_out_len_ = escaped.size();
  }

  // Where a pass that gave up can go on: `in` bytes of its text are in NFKC,
  // and the first `out` bytes of the output are their escaped form.
  struct Resume {
    size_t in = 0;
    size_t out = 0;
  };

  // Writes the escaped form of `in`, after folding its Unicode spaces when
  // `fold_spaces`, to `out` from byte `out_start` on, and makes that the end
  // of `out`. With `check_nfkc`, gives up and returns false unless the quick
  // check shows `in` to be in NFKC; `resume` then says how much is done.
  bool pass(std::string_view in, bool check_nfkc, bool fold_spaces, std::string& out,
            size_t out_start, Resume& resume) const {
    return space_char_ < 0x80
               ? pass_with<true>(in, check_nfkc, fold_spaces, out, out_start, resume)
               : pass_with<false>(in, check_nfkc, fold_spaces, out, out_start, resume);
  }

 private:
  // `pass` when the space character is ASCII or not: if not, U+0020 is the
  // only ASCII stop.
  template <bool kAsciiSpaceChar>
  bool pass_with(std::string_view in, bool check_nfkc, bool fold_spaces, std::string& out,
                 size_t out_start, Resume& resume) const {
    const char* s = in.data();
    const size_t n = in.size();
    out.resize(out_start + n + n / 2 + kSlack);
    char* w = out.data() + out_start;
    char* limit = out.data() + out.size() - kSlack;
    // Locals, since the stores through `w` could otherwise reach the members.
    const uint64_t space_words = space_words_;
    const uint64_t stop_words = stop_words_;
    const uint64_t space_out = space_out_;
    const size_t space_out_len = space_out_len_;
    const auto space_lead = static_cast<unsigned char>(space_bytes_[0]);
    unicode::NfkcQuickCheck quick;
    resume = {0, out_start};
    size_t ascii_from = 0;  // end of the last non-ASCII character seen
    size_t i = 0;
    for (;;) {
      if (w > limit) {
        // By half, not double: growing zero-fills, and the room is touched.
        const size_t used = static_cast<size_t>(w - out.data());
        out.resize(out.size() + out.size() / 2);
        w = out.data() + used;
        limit = out.data() + out.size() - kSlack;
      }
      if (kWordAtATime && i + 8 <= n) {
        const uint64_t word = load_word(s + i);
        uint64_t stops = (word & kHighBits) | zero_bytes(word ^ space_words);
        if constexpr (kAsciiSpaceChar) stops |= zero_bytes(word ^ stop_words);
        std::memcpy(w, &word, 8);
        if (stops == 0) {
          i += 8;
          w += 8;
          continue;
        }
        const size_t skip = static_cast<size_t>(std::countr_zero(stops)) / 8;
        i += skip;
        w += skip;
      } else if (i == n) {
        break;
      } else if (!is_stop(static_cast<unsigned char>(s[i]))) {
        *w++ = s[i++];
        continue;
      }
      const auto lead = static_cast<unsigned char>(s[i]);
      if (lead == ' ') {
        std::memcpy(w, &space_out, 8);
        w += space_out_len;
        ++i;
        continue;
      }
      if (lead < 0x80) {  // an ASCII space character
        w = put(w, kEscapedSpaceText);
        ++i;
        continue;
      }
      // A run of non-ASCII characters, up to the next ASCII byte.
      if (check_nfkc && i != ascii_from) {
        quick.after_ascii();
        // NFKC cannot reach back across the ASCII character before the run.
        const auto before = static_cast<unsigned char>(s[i - 1]);
        const size_t before_len = before == ' '                        ? space_out_len
                                  : kAsciiSpaceChar && is_stop(before) ? kEscapedSpaceText.size()
                                                                       : 1;
        resume = {i - 1, static_cast<size_t>(w - out.data()) - before_len};
      }
      do {
        const auto run_lead = static_cast<unsigned char>(s[i]);
        const size_t len = utf8::sequence_length(run_lead);
        const char32_t cp = utf8::decode_at(in, i);
        if (check_nfkc) {
          if (!quick.accept(cp)) return false;
          if (quick.at_boundary()) resume = {i, static_cast<size_t>(w - out.data())};
        }
        if (fold_spaces && is_unicode_space(cp)) {
          std::memcpy(w, &space_out, 8);
          w += space_out_len;
        } else if ((run_lead == 0xEE || run_lead == space_lead) && !escape(cp).empty()) {
          w = put(w, escape(cp));
        } else if (i + 4 <= n) {
          std::memcpy(w, s + i, 4);
          w += len;
        } else {
          std::memcpy(w, s + i, len);
          w += len;
        }
        i += len;
      } while (i < n && static_cast<unsigned char>(s[i]) >= 0x80 && w <= limit);
      ascii_from = i;
    }
    out.resize(static_cast<size_t>(w - out.data()));
    return true;
  }

  // Room kept past the write position: a word store or one replacement.
  static constexpr size_t kSlack = 16;

  static constexpr bool kWordAtATime = std::endian::native == std::endian::little;

  bool is_stop(unsigned char b) const noexcept {
    return b >= 0x80 || b == ' ' || b == (stop_words_ & 0xFF);
  }

  static char* put(char* w, std::string_view text) noexcept {
    std::memcpy(w, text.data(), text.size());
    return w + text.size();
  }

  // The escape text of a character, empty when it is copied.
  std::string_view escape(char32_t cp) const noexcept {
    if (cp == kEscapePrefix) return kDoublePrefix;
    if (cp == space_char_) return kEscapedSpaceText;
    if (cp == U' ') return {space_bytes_, space_len_};
    return {};
  }

  static constexpr std::string_view kDoublePrefix = "\xEE\x80\x80\xEE\x80\x80";
  static constexpr std::string_view kEscapedSpaceText = "\xEE\x80\x80\xEE\x80\x81";

  char32_t space_char_;
  char space_bytes_[4] = {};
  size_t space_len_ = 0;
  uint64_t space_words_ = 0;
  uint64_t stop_words_ = 0;
  uint64_t space_out_ = 0;  // the escape text of U+0020, as stored
  size_t space_out_len_ = 0;
};

// The text between steps: the caller's text until a step changes it, then
// one of two buffers that the steps write into in turn.
class StepText {
 public:
  explicit StepText(std::string_view text) noexcept : view_(text) {}

  std::string_view view() const noexcept { return view_; }

  // Runs `step(view, out)`; when it reports a change, `out` becomes the text.
  template <typename Step>
  void apply(Step step) {
    std::string& out = buffers_[next_];
    if (step(view_, out)) {
      view_ = out;
      next_ ^= 1;
    }
  }

  void narrow(std::string_view part) noexcept { view_ = part; }

 private:
  std::string_view view_;
  std::string buffers_[2];
  int next_ = 0;
};

// The steps before the escaping, in their order.
void run_steps(StepText& t, const NormalizeSwitches& switches) {
  if (switches.normalize_unicode) t.apply(unicode::nfkc_into);
  if (switches.normalize_unicode_spaces) t.apply(fold_unicode_spaces);
  if (switches.normalize_punctuation) t.apply(fold_punctuation);
  if (switches.lowercase) t.apply(lower_case);
  if (switches.collapse_whitespaces) t.apply(collapse_whitespace);
  if (switches.strip_whitespace) t.narrow(strip(t.view()));
}

// True when only the steps that the escaping pass can fuse are switched on.
bool fusable(const NormalizeSwitches& switches) noexcept {
  return !switches.normalize_punctuation && !switches.lowercase && !switches.collapse_whitespaces &&
         !switches.strip_whitespace;
}

}  // namespace

Status normalize_into(std::string_view text, char32_t space_char, const NormalizeSwitches& switches,
                      std::string& out) {
  if (is_reserved_space_char(space_char)) return make_error(std::string(kReservedSpaceCharMessage));
  const Escaper escaper(space_char);
  Escaper::Resume resume;
  if (fusable(switches)) {
    // Most texts are already in NFKC: then one pass does all the work.
    const bool fold = switches.normalize_unicode_spaces;
    if (escaper.pass(text, switches.normalize_unicode, fold, out, 0, resume)) return Ok{};
    // Otherwise the pass stopped at the first character that may change,
    // and goes on from the last point that NFKC cannot reach back across.
    const std::string_view rest = text.substr(resume.in);
    std::string formed;
    escaper.pass(unicode::nfkc_into(rest, formed) ? std::string_view(formed) : rest, false, fold,
                 out, resume.out, resume);
    return Ok{};
  }
  StepText t(text);
  run_steps(t, switches);
  escaper.pass(t.view(), false, false, out, 0, resume);
  return Ok{};
}

Result<std::string> normalize_inner(std::string_view text, char32_t space_char,
                                    const NormalizeSwitches& switches) {
  std::string out;
  if (Status done = normalize_into(text, space_char, switches, out); !done) {
    return std::move(done).error();
  }
  return out;
}

}  // namespace brindlore
