// sentencepiece's C++ library measured the way c_encode measures ours: one
// processor loaded from a model file, every line of a text file encoded to
// ids with one call per line, the lines shared among THREADS threads over
// that one processor.
//
//   spm_encode MODEL LINES_FILE THREADS PASSES [DUMP_FILE]
//
// Prints the same JSON object as c_encode ("create" is the model load).
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sentencepiece_processor.h>

namespace {

constexpr size_t kChunk = 64;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "spm_encode: %s\n", what.c_str());
  std::exit(1);
}

double now() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

std::vector<std::string_view> split_lines(const std::string& text) {
  std::vector<std::string_view> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    lines.emplace_back(text.data() + begin, end - begin);
    begin = end + 1;
  }
  return lines;
}

struct Pass {
  const sentencepiece::SentencePieceProcessor& sp;
  const std::vector<std::string_view>& lines;
  std::vector<std::vector<int>>* keep;  // per line ids, only when dumping
  std::atomic<size_t> next{0};

  size_t work() {
    size_t tokens = 0;
    std::vector<int> ids;
    for (;;) {
      size_t first = next.fetch_add(kChunk);
      if (first >= lines.size()) return tokens;
      size_t last = std::min(first + kChunk, lines.size());
      for (size_t i = first; i < last; ++i) {
        std::vector<int>& out = keep ? (*keep)[i] : ids;
        if (!sp.Encode(lines[i], &out).ok()) die("Encode failed");
        tokens += out.size();
      }
    }
  }
};

size_t run_pass(Pass& pass, int threads) {
  std::vector<size_t> tokens(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) workers.emplace_back([&, t] { tokens[t] = pass.work(); });
  tokens[0] = pass.work();
  for (auto& worker : workers) worker.join();
  size_t total = 0;
  for (size_t n : tokens) total += n;
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 6) die("usage: spm_encode MODEL LINES_FILE THREADS PASSES [DUMP_FILE]");
  int threads = std::atoi(argv[3]), passes = std::atoi(argv[4]);
  if (threads < 1 || passes < 1) die("bad THREADS or PASSES");
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) die("cannot open input");
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  const std::vector<std::string_view> lines = split_lines(text);

  {  // a throwaway processor first, as c_encode does with a throwaway handle
    sentencepiece::SentencePieceProcessor warm;
    if (!warm.Load(argv[1]).ok()) die("cannot load model");
    std::vector<std::string_view> first(lines.begin(),
                                        lines.begin() + std::min<size_t>(lines.size(), 64));
    Pass pass{warm, first, nullptr};
    run_pass(pass, threads);
  }

  double start = now();
  sentencepiece::SentencePieceProcessor sp;
  if (!sp.Load(argv[1]).ok()) die("cannot load model");
  double load = now() - start;

  const char* dump_path = argc == 6 ? argv[5] : nullptr;
  std::vector<std::vector<int>> kept;
  std::vector<double> seconds;
  size_t tokens = 0;
  for (int p = 0; p < passes; ++p) {
    bool keep = dump_path && p == passes - 1;
    if (keep) kept.resize(lines.size());
    Pass pass{sp, lines, keep ? &kept : nullptr};
    start = now();
    tokens = run_pass(pass, threads);
    seconds.push_back(now() - start);
  }
  if (dump_path) {
    std::FILE* file = std::fopen(dump_path, "wb");
    if (!file) die("cannot open dump file");
    for (const auto& ids : kept) {
      uint32_t n = static_cast<uint32_t>(ids.size());
      std::fwrite(&n, sizeof n, 1, file);
      std::fwrite(ids.data(), sizeof(int), ids.size(), file);
    }
    std::fclose(file);
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"create\": %.6f, \"passes\": [", load);
  for (size_t p = 0; p < seconds.size(); ++p) std::printf("%s%.6f", p ? ", " : "", seconds[p]);
  std::printf("], \"tokens\": %zu, \"lines\": %zu, \"bytes\": %zu, \"maxrss_kb\": %ld}\n", tokens,
              lines.size(), text.size(), usage.ru_maxrss);
  return 0;
}
