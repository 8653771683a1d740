// The engine's shared structures used from plain std::threads at once,
// outside any map, with every thread starting and stopping on its own, so
// that a ThreadSanitizer build (BRINDLORE_SANITIZE=thread) checks them apart
// from the pool's own synchronization.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/c_tokenizer.h"
#include "core/trie.h"
#include "core/viterbi.h"

namespace brindlore {
namespace {

constexpr int kThreads = 4;

template <typename Work>
void run_threads(Work work) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread& thread : threads) thread.join();
}

std::string word(size_t i) {
  std::string out;
  for (size_t k = i + 1; k > 0; k /= 5) out += static_cast<char>('a' + k % 5);
  return out;
}

// Searches start on the node walk and switch to the compact form once the
// trie has been searched enough: several threads cross that point together.
TEST(Threads, SearchesAgreeWhileTheCompactFormIsBuilt) {
  RustPrefixTrie trie;
  RustPrefixTrie reference;
  for (size_t i = 0; i < 3000; ++i) {
    ASSERT_TRUE(trie.insert_token(word(i), static_cast<uint32_t>(i), -1.0).ok());
    ASSERT_TRUE(reference.insert_token(word(i), static_cast<uint32_t>(i), -1.0).ok());
  }
  std::vector<std::string> texts;
  std::vector<std::vector<uint32_t>> expected;
  for (size_t i = 0; i < 500; ++i) {
    texts.push_back(word(i * 7) + word(i));
    std::vector<PrefixMatch> matches;
    reference.common_prefix_search_utf8(texts.back(), 0, matches);
    expected.emplace_back();
    for (const PrefixMatch& m : matches) expected.back().push_back(*reference.token_id(m.token));
  }
  std::atomic<size_t> mismatches{0};
  run_threads([&](int) {
    std::vector<PrefixMatch> matches;
    for (size_t round = 0; round < 8; ++round) {
      for (size_t i = 0; i < texts.size(); ++i) {
        trie.common_prefix_search_utf8(texts[i], 0, matches);
        std::vector<uint32_t> ids;
        for (const PrefixMatch& m : matches) ids.push_back(*trie.token_id(m.token));
        if (ids != expected[i]) mismatches.fetch_add(1);
      }
    }
  });
  EXPECT_EQ(mismatches.load(), 0u);
}

// Cached decodes of more distinct pieces than the cache holds (so it empties
// itself while others look up), with another thread clearing it meanwhile.
TEST(Threads, CachedDecodesWhileTheCacheEmpties) {
  RustPrefixTrie trie;
  for (size_t i = 0; i < 200; ++i) {
    ASSERT_TRUE(trie.insert_token(word(i), static_cast<uint32_t>(i), -1.0 - i % 3).ok());
  }
  constexpr size_t kPerThread = 30000;  // kThreads * kPerThread > 100,000 entries
  std::atomic<bool> done{false};
  std::thread clearer([&] {
    while (!done.load()) {
      trie.seg_cache().clear();
      std::this_thread::yield();
    }
  });
  std::atomic<size_t> mismatches{0};
  run_threads([&](int t) {
    for (size_t i = 0; i < kPerThread; ++i) {
      std::string text = word(i * kThreads + t) + "\xE2\x96\x81" + word(i % 40);
      Result<SegmentationRef> cached = decode_cached(text, trie, true);
      Result<std::vector<ViterbiSpan>> direct = viterbi_decode(text, trie, true, std::nullopt);
      if (!cached.ok() || !direct.ok()) {
        mismatches.fetch_add(1);
        continue;
      }
      std::vector<ViterbiSpan> spans = spans_from_cached(**cached, trie);
      bool same = spans.size() == direct->size();
      for (size_t k = 0; same && k < spans.size(); ++k) {
        same = spans[k].token == (*direct)[k].token && spans[k].start == (*direct)[k].start;
      }
      if (!same) mismatches.fetch_add(1);
    }
  });
  done = true;
  clearer.join();
  EXPECT_EQ(mismatches.load(), 0u);
}

// Id decodes on several threads of the same pieces, a few more than the
// shared front table has slots, so that threads overwrite slots that others
// are reading, while the cache is cleared now and then: every id read must be
// one of the piece's own.
TEST(Threads, IdDecodesThroughTheSharedFrontWhileItIsOverwritten) {
  RustPrefixTrie trie;
  for (size_t i = 0; i < 200; ++i) {
    ASSERT_TRUE(trie.insert_token(word(i), static_cast<uint32_t>(i), -1.0 - i % 3).ok());
  }
  ASSERT_TRUE(trie.insert_token("a", 1000u, -9.0).ok());  // every text has ids
  constexpr size_t kPieces = SharedIdFront::kSlots + SharedIdFront::kSlots / 4;
  std::atomic<bool> done{false};
  std::thread clearer([&] {
    while (!done.load()) {
      trie.seg_cache().clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::atomic<size_t> mismatches{0};
  run_threads([&](int t) {
    for (size_t n = 0; n < 3 * kPieces; ++n) {
      const size_t i = (n + t * kPieces / kThreads) % kPieces;
      const std::string text = word(i) + word(i % 199);
      Result<CachedPiece> cached = decode_cached_here(text, trie, true, false);
      Result<std::vector<ViterbiSpan>> direct = viterbi_decode(text, trie, true, std::nullopt);
      std::vector<uint32_t> ids;
      if (!cached.ok() || !direct.ok() || !append_ids(*cached, trie, "", ids).ok()) {
        mismatches.fetch_add(1);
        continue;
      }
      bool same = ids.size() == direct->size();
      for (size_t k = 0; same && k < ids.size(); ++k) same = (*direct)[k].token_id == ids[k];
      if (!same) mismatches.fetch_add(1);
    }
  });
  done = true;
  clearer.join();
  EXPECT_EQ(mismatches.load(), 0u);
}

// One C handle encoding on several threads at once, as the C interface allows.
TEST(Threads, OneCTokenizerEncodesOnManyThreads) {
  Result<CTokenizer> tokenizer = make_c_tokenizer(
      R"([["<|unk|>", 0.0, 0], ["\u2581hi", -1.0, 1], ["\u2581there", -2.0, 2], ["!", -1.5, 3]])");
  ASSERT_TRUE(tokenizer.ok());
  std::atomic<size_t> mismatches{0};
  run_threads([&](int t) {
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < 2000; ++i) {
      ids.clear();
      std::string text = (i + t) % 2 ? " hi there!" : " there hi";
      std::vector<uint32_t> expected =
          (i + t) % 2 ? std::vector<uint32_t>{1, 2, 3} : std::vector<uint32_t>{2, 1};
      if (!encode_ids(*tokenizer, text, ids).ok() || ids != expected) mismatches.fetch_add(1);
    }
  });
  EXPECT_EQ(mismatches.load(), 0u);
}

}  // namespace
}  // namespace brindlore
