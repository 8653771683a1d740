#include "core/trie.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "core/utf8.h"
#include "support/child_process.h"

namespace brindlore {
namespace {

std::vector<std::pair<std::string, size_t>> search_ascii(const RustPrefixTrie& trie,
                                                         std::string_view text, size_t start = 0) {
  std::vector<PrefixMatch> out;
  trie.common_prefix_search_utf8(text, start, out);
  std::vector<std::pair<std::string, size_t>> result;
  for (const auto& m : out) result.emplace_back(trie.token_text(m.token), m.length);
  return result;
}

TEST(Trie, RefusesEmptyTokenBeforeCheckingScore) {
  RustPrefixTrie trie;
  auto status = trie.insert_token("", std::nullopt, std::nan(""));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "token must not be empty");
  status = trie.insert_token("a", 1, std::numeric_limits<double>::infinity());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "log_p must be finite");
  EXPECT_FALSE(trie.exact_metadata("a").has_value());
}

TEST(Trie, ExactMetadataFindsOnlyInsertedTokens) {
  RustPrefixTrie trie;
  ASSERT_TRUE(trie.insert_token("ab", 7, -2.0).ok());
  auto meta = trie.exact_metadata("ab");
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->token_id, 7u);
  EXPECT_EQ(meta->log_p, -2.0);
  EXPECT_FALSE(trie.exact_metadata("a").has_value());
  EXPECT_FALSE(trie.exact_metadata("").has_value());
}

TEST(Trie, ReinsertionReplacesIdAndScore) {
  RustPrefixTrie trie;
  ASSERT_TRUE(trie.insert_token("x", 5, -1.0).ok());
  ASSERT_TRUE(trie.insert_token("x", std::nullopt, -3.0).ok());
  auto meta = trie.exact_metadata("x");
  ASSERT_TRUE(meta.has_value());
  EXPECT_FALSE(meta->token_id.has_value());
  EXPECT_EQ(meta->log_p, -3.0);
}

TEST(Trie, SearchRespectsLimit) {
  RustPrefixTrie trie;
  for (const char* t : {"a", "ab", "abc"}) ASSERT_TRUE(trie.insert_token(t, 1, -1.0).ok());
  using V = std::vector<std::pair<std::string, size_t>>;
  EXPECT_EQ(search_ascii(trie, "abcd"), (V{{"a", 1}, {"ab", 2}, {"abc", 3}}));
  trie.set_max_subword_len(2);
  EXPECT_EQ(search_ascii(trie, "abcd"), (V{{"a", 1}, {"ab", 2}}));
  trie.set_max_subword_len(0);
  EXPECT_EQ(search_ascii(trie, "abcd"), V{});
  trie.set_max_subword_len(std::nullopt);
  EXPECT_EQ(search_ascii(trie, "abcd", 4), V{});
}

// Many ASCII children move a node from its inline slots to a table; both
// layouts must find the same children.
TEST(Trie, WideAsciiFanoutAndNonAsciiChildren) {
  RustPrefixTrie trie;
  std::string letters = "abcdefghijklmnopqrstuvwxyz";
  for (char c : letters) ASSERT_TRUE(trie.insert_token(std::string("q") + c, c, -1.0).ok());
  ASSERT_TRUE(trie.insert_token("q\xF0\x9F\x98\x80", 999, -1.0).ok());  // q + U+1F600
  for (char c : letters) {
    auto meta = trie.exact_metadata(std::string("q") + c);
    ASSERT_TRUE(meta.has_value()) << c;
    EXPECT_EQ(meta->token_id, static_cast<uint32_t>(c));
  }
  std::vector<PrefixMatch> out;
  std::u32string chars = U"q\U0001F600";
  trie.common_prefix_search_chars(chars.data(), chars.size(), 0, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].length, 2u);
  trie.common_prefix_search_utf8("q\xF0\x9F\x98\x80z", 0, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].length, 2u);
}

std::vector<size_t> utf8_lengths(const RustPrefixTrie& trie, std::string_view text) {
  std::vector<PrefixMatch> out;
  trie.common_prefix_search_utf8(text, 0, out);
  std::vector<size_t> lengths;
  for (const auto& m : out) lengths.push_back(m.length);
  return lengths;
}

// NUL is an ordinary byte: an inline slot holding it must not be confused
// with an unused one, before and after the slots overflow into a table.
TEST(Trie, NulBytesAreOrdinaryKeys) {
  for (int extra : {0, 3, 12}) {
    RustPrefixTrie trie;
    ASSERT_TRUE(trie.insert_token(std::string("x\0", 2), 1, -1.0).ok());
    for (int i = 0; i < extra; ++i) {
      ASSERT_TRUE(trie.insert_token(std::string("x") + char('A' + i), 10 + i, -1.0).ok());
    }
    EXPECT_EQ(trie.exact_metadata(std::string("x\0", 2))->token_id, 1u) << extra;
    EXPECT_FALSE(trie.exact_metadata(std::string("y\0", 2)).has_value());
    EXPECT_FALSE(trie.exact_metadata("xz").has_value()) << extra;
    EXPECT_EQ(utf8_lengths(trie, std::string("x\0q", 3)), (std::vector<size_t>{2})) << extra;
  }
}

// Lengths and the limit count characters, also when the walk goes byte by
// byte through two-, three- and four-byte characters.
TEST(Trie, MultiByteCharactersCountOnce) {
  RustPrefixTrie trie;
  const std::string pieces[] = {"\xD0\xB6", "\xD0\xB6\xE6\x97\xA5",
                                "\xD0\xB6\xE6\x97\xA5\xF0\x9F\x98\x80"};
  for (const auto& p : pieces) ASSERT_TRUE(trie.insert_token(p, 1, -1.0).ok());
  const std::string text = pieces[2] + "z";
  EXPECT_EQ(utf8_lengths(trie, text), (std::vector<size_t>{1, 2, 3}));
  std::u32string chars = U"\u0436\u65E5\U0001F600z";
  std::vector<PrefixMatch> out;
  trie.common_prefix_search_chars(chars.data(), chars.size(), 0, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(trie.token_text(out[2].token), pieces[2]);
  trie.set_max_subword_len(2);
  EXPECT_EQ(utf8_lengths(trie, text), (std::vector<size_t>{1, 2}));
  trie.common_prefix_search_chars(chars.data(), chars.size(), 0, out);
  EXPECT_EQ(out.size(), 2u);
  // Many distinct lead and continuation bytes under one node.
  RustPrefixTrie wide;
  for (char32_t c = 0x400; c < 0x700; ++c) {
    std::string token = "p";
    utf8::append(token, c);
    ASSERT_TRUE(wide.insert_token(token, c, -1.0).ok());
  }
  for (char32_t c = 0x400; c < 0x700; ++c) {
    std::string token = "p";
    utf8::append(token, c);
    ASSERT_EQ(wide.exact_metadata(token)->token_id, uint32_t(c));
    EXPECT_EQ(utf8_lengths(wide, token + "q"), (std::vector<size_t>{2}));
  }
}

TEST(SegCache, PresizedAndEmptyCaches) {
  RustPrefixTrie made = RustPrefixTrie::make_new(std::nullopt);
  EXPECT_GE(made.seg_cache().capacity(), SegCache::kPresizedEntries);
  RustPrefixTrie plain;
  EXPECT_EQ(plain.seg_cache().capacity(), 0u);
}

TEST(SegCache, EmptiesOnlyOnTheWayToANewKey) {
  SegCache cache(0);
  auto seg = std::make_shared<const CachedSegmentation>();
  for (size_t i = 0; i < SegCache::kMaxEntries; ++i) cache.store(true, std::to_string(i), seg);
  EXPECT_EQ(cache.size(), SegCache::kMaxEntries);
  cache.store(true, "0", seg);  // replacing keeps everything
  EXPECT_EQ(cache.size(), SegCache::kMaxEntries);
  cache.store(false, "0", seg);  // a new key (other flag) empties first
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_NE(cache.lookup(false, "0"), nullptr);
  EXPECT_EQ(cache.lookup(true, "0"), nullptr);
  size_t capacity = cache.capacity();
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.capacity(), capacity);
}

// Threads storing distinct keys at once must meet the ceiling exactly as one
// thread would: after n stores the cache holds ((n - 1) % ceiling) + 1 entries.
TEST(SegCache, ParallelStoresKeepTheCeilingExact) {
  constexpr size_t kCeiling = 64, kThreads = 8, kKeysPerThread = 100, kRounds = 8;
  SegCache cache(0, SegCache::Limits{SegCache::Policy::kEmptyWhenFull, kCeiling});
  auto seg = std::make_shared<const CachedSegmentation>();
  std::barrier start(kThreads + 1), done(kThreads + 1);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t round = 0; round < kRounds; ++round) {
        start.arrive_and_wait();
        for (size_t k = 0; k < kKeysPerThread; ++k) {
          cache.store(true, std::to_string(t * kKeysPerThread + k), seg);
        }
        done.arrive_and_wait();
      }
    });
  }
  for (size_t round = 0; round < kRounds; ++round) {
    start.arrive_and_wait();
    done.arrive_and_wait();
    EXPECT_EQ(cache.size(), (kThreads * kKeysPerThread - 1) % kCeiling + 1) << "round " << round;
    cache.clear();
  }
  for (std::thread& thread : threads) thread.join();
}

// Every change that a thread's front cache could disagree with moves the
// cache's generation on.
TEST(SegCache, GenerationMovesOnEveryChange) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  SegCache& cache = trie.seg_cache();
  auto seg = std::make_shared<const CachedSegmentation>();
  const std::function<void()> changes[] = {
      [&] { cache.clear(); },
      [&] { ASSERT_TRUE(trie.insert_token("a", 1u, -1.0).ok()); },
      [&] { trie.set_max_subword_len(3); },
      [&] {
        for (size_t i = 0; i <= SegCache::kMaxEntries; ++i)
          cache.store(true, std::to_string(i), seg);
      },
  };
  for (const auto& change : changes) {
    cache.store(false, "x", seg);
    const uint64_t before = cache.generation();
    change();
    EXPECT_NE(cache.generation(), before);
  }
  const uint64_t before = cache.generation();
  cache.store(false, "y", seg);
  EXPECT_NE(cache.lookup(false, "y"), nullptr);
  EXPECT_EQ(cache.generation(), before);  // stores and hits leave it alone
}

}  // namespace
}  // namespace brindlore

namespace brindlore {
namespace {

// The compact search form must answer every search exactly as the node walk
// does: same matches, same order, same lengths, under every limit, in narrow
// units and in wide ones (reached here by lowering the narrow units' reach).
using Form = RustPrefixTrie::SearchForm;
class CompactForms : public ::testing::TestWithParam<Form> {};

TEST_P(CompactForms, AnswerLikeTheNodeWalk) {
  RustPrefixTrie::CompactLimits limits;
  if (GetParam() == Form::kWide) limits.narrow = 255;
  std::mt19937 rng(7);
  const std::u32string alphabet{U'a',      U'b',      U'\0',     U'z',         U'\u00e9',
                                U'\u0436', U'\u65e5', U'\u2581', U'\U0001F600'};
  // Half the characters come from a few hundred code points, so that some
  // nodes have children on most byte values.
  auto random_text = [&](size_t max_len) {
    std::string out;
    const size_t len = 1 + rng() % max_len;
    for (size_t i = 0; i < len; ++i) {
      utf8::append(out, rng() % 2 ? alphabet[rng() % alphabet.size()]
                                  : static_cast<char32_t>(0x21 + rng() % 400));
    }
    return out;
  };
  // The reference can hold no compact form at all, so it keeps the node walk
  // however often it is searched.
  RustPrefixTrie compact(limits), walked(RustPrefixTrie::CompactLimits{0, 0});
  std::vector<std::string> inserted;
  for (uint32_t id = 0; id < 20000; ++id) {
    // Some tokens come again, with a new score and with or without an id.
    const bool again = !inserted.empty() && rng() % 8 == 0;
    const std::string token = again ? inserted[rng() % inserted.size()] : random_text(6);
    if (!again) inserted.push_back(token);
    const double score = -static_cast<double>(rng() % 1000) / 100.0;
    const std::optional<uint32_t> token_id =
        rng() % 16 ? std::optional<uint32_t>(id) : std::nullopt;
    ASSERT_TRUE(compact.insert_token(token, token_id, score).ok());
    ASSERT_TRUE(walked.insert_token(token, token_id, score).ok());
  }
  compact.prepare_for_search();
  walked.prepare_for_search();
  ASSERT_EQ(compact.search_form().form, GetParam());
  ASSERT_EQ(walked.search_form().form, Form::kNodeWalk);
  auto same = [&](const std::vector<PrefixMatch>& a, const std::vector<PrefixMatch>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (compact.token_text(a[i].token) != walked.token_text(b[i].token) ||
          compact.token_id(a[i].token) != walked.token_id(b[i].token) || a[i].log_p != b[i].log_p ||
          a[i].length != b[i].length) {
        return false;
      }
    }
    return true;
  };
  std::vector<PrefixMatch> x, y;
  std::vector<char32_t> chars;
  for (int q = 0; q < 30000; ++q) {
    const std::optional<uint64_t> limit =
        q % 4 == 0 ? std::nullopt : std::optional<uint64_t>(rng() % 5);
    compact.set_max_subword_len(limit);
    walked.set_max_subword_len(limit);
    // Mostly a prefix of a token followed by any character, so that walks
    // go deep and try bytes that lead nowhere from where they are.
    std::string text;
    if (q % 4) {
      utf8::to_code_points(inserted[rng() % inserted.size()], chars);
      chars.resize(rng() % (chars.size() + 1));
      for (char32_t c : chars) utf8::append(text, c);
    }
    text += random_text(4);
    compact.common_prefix_search_utf8(text, 0, x);
    walked.common_prefix_search_utf8(text, 0, y);
    ASSERT_TRUE(same(x, y)) << q;
    utf8::to_code_points(text, chars);
    compact.common_prefix_search_chars(chars.data(), chars.size(), 0, x);
    ASSERT_TRUE(same(x, y)) << q;
  }
  EXPECT_EQ(walked.search_form().form, Form::kNodeWalk);
  // An insertion drops the compact form: the new token is found at once.
  ASSERT_TRUE(compact.insert_token("\U0001F600\U0001F600\U0001F600zz", 9999, -0.5).ok());
  compact.set_max_subword_len(std::nullopt);
  compact.common_prefix_search_utf8("\U0001F600\U0001F600\U0001F600zzq", 0, x);
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(compact.token_id(x.back().token), 9999u);
  EXPECT_EQ(x.back().length, 5u);
}

INSTANTIATE_TEST_SUITE_P(Trie, CompactForms, ::testing::Values(Form::kNarrow, Form::kWide),
                         [](const auto& info) {
                           return std::string(info.param == Form::kNarrow ? "Narrow" : "Wide");
                         });

// A trie too large for the compact form keeps the node walk, and the failed
// build is not tried again, however often the trie is searched, until the
// trie changes. Here the reach of both unit widths is lowered below the 300
// token indexes of a small trie.
TEST(Trie, AFailedCompactBuildWaitsForTheNextChange) {
  RustPrefixTrie trie(RustPrefixTrie::CompactLimits{100, 200});
  for (uint32_t i = 0; i < 300; ++i) {
    std::string token = "t";
    token += std::to_string(i);
    ASSERT_TRUE(trie.insert_token(token, i, -1.0).ok());
  }
  using V = std::vector<std::pair<std::string, size_t>>;
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 1000; ++i)
      ASSERT_EQ(search_ascii(trie, "t29x"), (V{{"t2", 2}, {"t29", 3}}));
    trie.prepare_for_search();
  }
  RustPrefixTrie::SearchFormInfo info = trie.search_form();
  EXPECT_EQ(info.form, Form::kNodeWalk);
  EXPECT_EQ(info.builds, 1u);
  ASSERT_TRUE(trie.insert_token("t29x", 300, -1.0).ok());
  EXPECT_EQ(trie.search_form().builds, 0u);
  trie.prepare_for_search();
  trie.prepare_for_search();
  info = trie.search_form();
  EXPECT_EQ(info.form, Form::kNodeWalk);
  EXPECT_EQ(info.builds, 1u);
  EXPECT_EQ(search_ascii(trie, "t29x"), (V{{"t2", 2}, {"t29", 3}, {"t29x", 4}}));
}

// A fork while another thread builds the compact form waits for the build,
// so that the child does not inherit the build's lock held by a thread it
// does not have.
TEST(Trie, AChildCanSearchATrieWhoseCompactFormWasBeingBuilt) {
  SKIP_UNDER_THREAD_SANITIZER();
  RustPrefixTrie trie;
  std::mt19937 rng(3);
  for (uint32_t i = 0; i < 100000; ++i) {
    std::string token;
    for (int k = 0; k < 6; ++k) utf8::append(token, static_cast<char32_t>(0x4E00 + rng() % 20000));
    ASSERT_TRUE(trie.insert_token(token, i, -1.0).ok());
  }
  ASSERT_TRUE(trie.insert_token("ab", 7, -1.0).ok());
  std::thread builder([&] { trie.prepare_for_search(); });
  while (trie.search_form().builds == 0) std::this_thread::yield();  // the build has begun
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    trie.prepare_for_search();
    const bool built = trie.search_form().form != Form::kNodeWalk;
    _exit(built && search_ascii(trie, "abc") ==
                       std::vector<std::pair<std::string, size_t>>{{"ab", 2}}
              ? 0
              : 1);
  }
  EXPECT_TRUE(testing::child_succeeded(pid));
  builder.join();
}

}  // namespace
}  // namespace brindlore
