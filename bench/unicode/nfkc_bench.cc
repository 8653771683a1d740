// NFKC throughput probe run by bench_nfkc.py: normalizes every line of a file
// (or only its all-ASCII lines, or the whole file as one text) and prints the
// best time of several rounds as "seconds bytes changed".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace {

std::vector<std::string> workload(const std::string& text, std::string_view mode) {
  if (mode == "whole") return {text};
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (mode == "ascii" && !brindlore::utf8::is_ascii(line)) continue;
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FILE lines|ascii|whole ROUNDS\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::stringstream buffer;
  buffer << file.rdbuf();
  std::vector<std::string> texts = workload(buffer.str(), argv[2]);
  int rounds = std::max(1, std::atoi(argv[3]));

  size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  double best = 1e300;
  size_t changed = 0;
  std::string out;
  for (int r = 0; r < rounds; ++r) {
    changed = 0;
    auto start = std::chrono::steady_clock::now();
    for (const auto& t : texts) changed += brindlore::unicode::nfkc_into(t, out);
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  std::printf("%.9f %zu %zu\n", best, bytes, changed);
  return 0;
}
