#include "support/pretok_reference.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "core/utf8.h"

namespace brindlore {
namespace {

// White_Space, which neither holds U+001C-U+001F nor U+180E.
constexpr std::string_view kWhiteMembers =
    R"(\x{9}-\x{D}\x{20}\x{85}\x{A0}\x{1680}\x{2000}-\x{200A}\x{2028}\x{2029}\x{202F}\x{205F}\x{3000})";
constexpr std::string_view kWordClass = R"([\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\x{200C}\x{200D}])";

std::string word_boundary() {
  std::string w(kWordClass);
  return "(?:(?<=" + w + ")(?!" + w + ")|(?<!" + w + ")(?=" + w + "))";
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Length of the hexadecimal digits at the start of `s`, at most `limit`.
size_t hex_prefix(std::string_view s, size_t limit) {
  size_t n = 0;
  while (n < s.size() && n < limit && is_hex(s[n])) ++n;
  return n;
}

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  pcre2_get_error_message(code, buffer, sizeof buffer);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

std::string translate_for_pcre2(std::string_view pattern) {
  std::string out;
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '\\' || i + 1 == pattern.size()) {
      if (c == '[') in_class = true;
      if (c == ']') in_class = false;
      out += c;
      continue;
    }
    char e = pattern[++i];
    std::string_view rest = pattern.substr(i + 1);
    if (e == 's') {
      out.append(in_class ? "" : "[").append(kWhiteMembers).append(in_class ? "" : "]");
    } else if (e == 'd') {
      out += R"(\p{Nd})";
    } else if (e == 'b' && !in_class) {
      out += word_boundary();
    } else if (e == 'u' && rest.starts_with('{')) {
      size_t close = rest.find('}');
      out.append(R"(\x)").append(rest.substr(0, close + 1));
      i += close + 1;
    } else if ((e == 'u' || e == 'U') && hex_prefix(rest, 8) >= (e == 'u' ? 4u : 8u)) {
      size_t digits = e == 'u' ? 4 : 8;  // \uXXXX or \UXXXXXXXX
      out.append(R"(\x{)").append(rest.substr(0, digits)).append("}");
      i += digits;
    } else {
      out += '\\';
      out += e;
    }
  }
  return out;
}

Result<std::unique_ptr<const Pcre2Pattern>> Pcre2Pattern::compile(std::string_view pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  if (!code) {
    return make_error("PCRE2: " + pcre2_message(error) + " at offset " + std::to_string(offset));
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // the interpreter serves where JIT is missing
  return std::unique_ptr<const Pcre2Pattern>(new Pcre2Pattern(code));
}

Pcre2Pattern::~Pcre2Pattern() { pcre2_code_free(static_cast<pcre2_code*>(code_)); }

namespace {

// Per-thread search state, shared by every pattern searched on the thread.
struct Scratch {
  Scratch()
      // Long repeats of groups (apostrophe words, joined emoji) need a deep stack.
      : stack(pcre2_jit_stack_create(32 * 1024, 256 * 1024 * 1024, nullptr)),
        context(pcre2_match_context_create(nullptr)),
        data(pcre2_match_data_create(1, nullptr)) {
    if (!stack || !context || !data) return;
    pcre2_jit_stack_assign(context, nullptr, stack);
    pcre2_set_heap_limit(context, 4u * 1024 * 1024);  // KiB
    pcre2_set_match_limit(context, UINT32_MAX);
  }
  ~Scratch() {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
  }
  bool ok() const { return stack && context && data; }

  pcre2_jit_stack* stack;
  pcre2_match_context* context;
  pcre2_match_data* data;
};

}  // namespace

Status Pcre2Pattern::find_all(std::string_view text, std::vector<ByteRange>& out) const {
  auto* code = static_cast<pcre2_code*>(code_);
  thread_local Scratch scratch;
  if (!scratch.ok()) return make_error("PCRE2: out of memory");
  auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
  size_t at = 0;
  while (at <= text.size()) {
    int rc = pcre2_match(code, subject, text.size(), at, PCRE2_NO_UTF_CHECK, scratch.data,
                         scratch.context);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) return make_error("PCRE2: " + pcre2_message(rc));
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(scratch.data);
    out.push_back({ovector[0], ovector[1]});
    at = ovector[1];
    if (ovector[1] == ovector[0]) {
      if (at == text.size()) break;
      at += utf8::sequence_length(static_cast<unsigned char>(text[at]));
    }
  }
  return Ok{};
}

}  // namespace brindlore
