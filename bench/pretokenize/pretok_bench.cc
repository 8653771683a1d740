// Times the pre-tokenizer matchers from C++ (the plain pattern has no Python
// entry point). Built and run by bench_pretokenize.py.
//
//   pretok_bench corpus FILE    both patterns (with snapping) and PCRE2 running
//                               the same translated texts, on FILE
//   pretok_bench hostile FILE   hostile texts at 100 KB and 1 MB against prose
//                               (FILE's text) of the same size, as ratios
//   pretok_bench reference UNIT BYTES
//                               PCRE2 on one hostile text, for the quadratic
//                               growth that the matchers avoid
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/pretokenizer.h"
#include "support/pretok_reference.h"

namespace {

using brindlore::ByteRange;
using brindlore::PretokPattern;

// Best of `runs` timings of `work`, in seconds.
double best_of(int runs, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

std::string repeat(const std::string& unit, size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += unit;
  out.resize(bytes);
  // Never cut a character in two.
  while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
  if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
  return out;
}

// Each text is pre-tokenized on its own, as a host calls it.
double time_snapped(const std::vector<std::string>& texts, const PretokPattern& pattern) {
  return best_of(3, [&] {
    for (const std::string& text : texts) {
      std::vector<ByteRange> pieces;
      brindlore::snapped_pretoken_ranges(text, pattern, pieces);
    }
  });
}
double time_snapped(const std::string& text, const PretokPattern& pattern) {
  return time_snapped(std::vector<std::string>{text}, pattern);
}

double time_reference(const std::vector<std::string>& texts, const PretokPattern& pattern,
                      int runs = 3) {
  auto compiled = brindlore::Pcre2Pattern::compile(brindlore::translate_for_pcre2(pattern.source()));
  return best_of(runs, [&] {
    for (const std::string& text : texts) {
      std::vector<ByteRange> found;
      (void)(*compiled)->find_all(text, found);
    }
  });
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int corpus(const std::string& text) {
  double mb = text.size() / 1e6;
  std::vector<std::string> lines = lines_of(text);
  for (const PretokPattern* p : {&brindlore::get_full_pretok_regex(), &brindlore::get_pretok_regex()}) {
    const char* name = p->kind() == PretokPattern::Kind::full ? "full" : "plain";
    double ours = time_snapped(lines, *p);
    double pcre2 = time_reference(lines, *p);
    std::printf("%-5s pattern, line by line: ours (with snapping) %7.1f MB/s | PCRE2 JIT (matches only) %7.1f MB/s | ours %.2fx faster\n",
                name, mb / ours, mb / pcre2, pcre2 / ours);
  }
  return 0;
}

int hostile(const std::string& prose_source) {
  const char* units[] = {"1.",  "a.", "a@", "a.a@", "http://a", "https://a.b", "<|a", "#",
                         "\u0301", "7", "\u2581", "a'", "\U0001F44D\u200D", "\U0001F1E6", "0x", "_"};
  for (size_t size : {size_t{100} * 1024, size_t{1} << 20}) {
    std::string prose = repeat(prose_source, size);
    for (const PretokPattern* p : {&brindlore::get_full_pretok_regex(), &brindlore::get_pretok_regex()}) {
      const char* name = p->kind() == PretokPattern::Kind::full ? "full" : "plain";
      double base = time_snapped(prose, *p);
      std::printf("%s pattern, %zu KB: prose %.2f ms\n", name, size / 1024, base * 1e3);
      for (const char* unit : units) {
        double t = time_snapped(repeat(unit, size), *p);
        std::printf("  %-20s %6.2f x prose\n", unit, t / base);
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "reference") == 0) {
    std::string text = repeat(argv[2], std::stoul(argv[3]));
    std::printf("%.3f\n", time_reference({text}, brindlore::get_full_pretok_regex(), 1));
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: pretok_bench corpus|hostile FILE | reference UNIT BYTES\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  if (std::strcmp(argv[1], "corpus") == 0) return corpus(text);
  return hostile(text);
}
