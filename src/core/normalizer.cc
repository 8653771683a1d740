#include "core/normalizer.h"

#include <array>
#include <cstdint>

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

class Escaper {
 public:
  explicit Escaper(char32_t space_char) noexcept : space_char_(space_char) {
    space_len_ = utf8::encode(space_char, space_bytes_);
    leads_[' '] = true;
    leads_[0xEE] = true;  // U+E000
    leads_[static_cast<unsigned char>(space_bytes_[0])] = true;
  }

  // Appends the escaped form of `in` to `out`.
  void run(std::string_view in, std::string& out) const {
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    size_t copied = 0;
    for (size_t i = 0; i < n;) {
      if (!leads_[s[i]]) {
        ++i;
        continue;
      }
      const size_t len = utf8::sequence_length(s[i]);
      const std::string_view replacement = escape(utf8::decode_at(in, i));
      if (!replacement.empty()) {
        out.append(in.data() + copied, i - copied);
        out.append(replacement);
        copied = i + len;
      }
      i += len;
    }
    out.append(in.data() + copied, n - copied);
  }

  // True when escaping leaves `in` as it is.
  bool unchanged(std::string_view in) const noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    for (size_t i = 0; i < in.size(); ++i) {
      if (leads_[s[i]] && !escape(utf8::decode_at(in, i)).empty()) return false;
    }
    return true;
  }

 private:
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
  LeadSet leads_{};
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

  // The final text, moving a buffer out when it is exactly the text.
  std::string take() {
    std::string& last = buffers_[next_ ^ 1];
    if (view_.data() == last.data() && view_.size() == last.size()) return std::move(last);
    return std::string(view_);
  }

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

}  // namespace

Result<std::string> normalize_inner(std::string_view text, char32_t space_char,
                                    const NormalizeSwitches& switches) {
  if (is_reserved_space_char(space_char)) return make_error(std::string(kReservedSpaceCharMessage));
  StepText t(text);
  run_steps(t, switches);
  const Escaper escaper(space_char);
  if (escaper.unchanged(t.view())) return t.take();
  std::string out;
  out.reserve(t.view().size() + 4);
  escaper.run(t.view(), out);
  return out;
}

Status normalize_into(std::string_view text, char32_t space_char, const NormalizeSwitches& switches,
                      std::string& out) {
  if (is_reserved_space_char(space_char)) return make_error(std::string(kReservedSpaceCharMessage));
  StepText t(text);
  run_steps(t, switches);
  out.clear();
  // Escaping copies the text when it changes nothing, so `out` is written in
  // one pass either way and keeps its capacity from call to call.
  Escaper(space_char).run(t.view(), out);
  return Ok{};
}

}  // namespace brindlore
