// The layers in front of the segmentation caches, which a thread reads
// without any lock and without writing memory that another thread reads:
//
// - `SharedIdFront`, one table for the whole process, from (cache generation,
//   flag, piece) to the piece's ids, for id encodes of short pieces whose ids
//   are inline (nearly all of them). Every thread reads the same table, so
//   eight threads need no more memory than one, and a hit writes nothing: each
//   slot is a sequence lock that readers only read. A miss is stored by the
//   thread that looked the piece up in the cache; it claims the slot with one
//   compare-and-swap and gives up when another thread is writing it. Pieces
//   the cache turned away are not kept either.
// - `FrontCache`, each thread's own direct-mapped table from (generation,
//   flag, piece) to what the thread took from a cache, for callers that need
//   the segmentation (token texts, spans). A slot holds a segmentation of its
//   own, so that a hit changes no reference count. Its slots are allocated
//   when the thread first keeps a piece in it, so threads that only encode ids
//   never pay for them. It also holds the thread's span buffer, which every
//   lookup that copies spans and every decode write into.
//
// An entry is served only while the cache it came from still has the
// generation it had when the entry was taken (see SegCache::generation), so a
// clear, an emptying, poisoning or a vocabulary change makes every thread ask
// the cache again. Generations are unique in the process, so one table serves
// every cache, and entries of a destroyed cache never match.
//
// Memory is bounded: the shared table takes SharedIdFront::kSlots slots of 64
// bytes (6 MiB, its pages taken as they are first written) once any thread
// encodes ids; a thread's own table, once used, kSlots slots of 64 bytes plus
// one reference each (2.5 MiB; the key text is kept in the slot, so only
// pieces of at most kMaxKeyBytes enter), plus the segmentations those
// references hold; a thread's span buffer, 8 bytes a token of the longest
// piece it decoded last, given back above 4,096 tokens.
//
// Thread safety: `SharedIdFront` is thread-safe; `FrontCache::of_this_thread`
// gives the calling thread's table, used by its thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/seg_cache.h"
#include "core/thread_locals.h"

// ThreadSanitizer does not model fences (GCC warns of each one it meets), so
// under it the shared table's sequence locks are ordered without them.
#if defined(__SANITIZE_THREAD__)
#define BRINDLORE_SEQLOCK_FENCES 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRINDLORE_SEQLOCK_FENCES 0
#endif
#endif
#ifndef BRINDLORE_SEQLOCK_FENCES
#define BRINDLORE_SEQLOCK_FENCES 1
#endif

namespace brindlore {

// A cached decode as the calling thread holds it, valid until the thread's
// next cached decode: the ids when `ids->present`, and the spans when the
// caller asked for them or the ids are not inline: in `spans` when the thread
// holds them in its own buffer, else in `segmentation` (never both null then).
struct CachedPiece {
  const SegmentationRef* segmentation = nullptr;
  const InlineIds* ids = nullptr;
  const SpanList* spans = nullptr;

  const SpanList& span_list() const noexcept { return spans ? *spans : (*segmentation)->spans; }
};

class SharedIdFront {
 public:
  static constexpr size_t kSlots = 3 * (size_t{1} << 15);
  static constexpr size_t kMaxKeyBytes = 24;

  // The process's table, allocated on first use; null when its memory could
  // not be had (the caches then serve every lookup).
  static SharedIdFront* instance() noexcept;

  // Copies the ids kept for `key` under `generation` to `out`; false on a
  // miss (also when the slot is being written meanwhile).
  bool find(uint64_t generation, const SegCache::Probe& key, InlineIds& out) const noexcept {
    if (key.text.size() > kMaxKeyBytes) return false;
    const Slot* set = set_of(key.hash);
    if (!page_written(set)) return false;
    for (size_t way = 0; way < kWays; ++way) {
      if (read(set[way], generation, key, out)) return true;
    }
    return false;
  }

  // Keeps the inline `ids` of `key` under `generation`, unless the key is too
  // long or the slot is being written by another thread.
  void keep(uint64_t generation, const SegCache::Probe& key, const InlineIds& ids) noexcept;

  // Starts loading the slots of a key whose `find` comes soon.
  void prefetch(size_t hash) const noexcept {
    for (size_t way = 0; way < kWays; ++way) __builtin_prefetch(set_of(hash) + way);
  }
  // The same for a `keep` that comes soon (the lines are taken from other
  // threads' caches, so only for keys about to be kept).
  void prefetch_for_keep(size_t hash) const noexcept {
    for (size_t way = 0; way < kWays; ++way) __builtin_prefetch(set_of(hash) + way, 1);
  }

 private:
  static constexpr size_t kWays = 2;
  static constexpr size_t kSets = kSlots / kWays;
  static constexpr size_t kKeyWords = kMaxKeyBytes / 8;
  // Word 0: the sequence in the low half, then the key's size, the flag and
  // the id count.
  static constexpr int kMetaShift = 32;
  static constexpr int kCountShift = 48;
  static constexpr uint64_t kKeyMetaMask = uint64_t{0x1FF} << kMetaShift;

  // One cache line. Word 0 is the sequence (odd while a writer is inside) with
  // the key's size, flag and id count above it; then the generation (0 is
  // never a cache's), the hash, the ids two to a word and the key,
  // zero-padded. Every access is atomic (`load`, `store`), so that a reader
  // may meet a writer; all zero is an empty slot, so the table's pages cost
  // memory only once a piece lands in them.
  struct alignas(64) Slot {
    uint64_t sequence;
    uint64_t generation;
    uint64_t hash;
    uint64_t ids[2];
    uint64_t key[kKeyWords];
  };
  static_assert(sizeof(Slot) == 64);

  explicit SharedIdFront(Slot* slots) noexcept : slots_(slots) {}

  // Whether a slot of the page holding `set` (a set never spans two pages)
  // has been written. Readers leave unwritten pages untouched: a read would
  // map the system's zero page there, and the first write would then have to
  // take that mapping back from every processor the process runs on.
  static constexpr size_t kPageSlots = 4096 / sizeof(Slot);
  static constexpr size_t kPages = kSlots / kPageSlots;
  static_assert(kPageSlots % kWays == 0 && kSlots % kPageSlots == 0);
  size_t page_of(const Slot* set) const noexcept {
    return static_cast<size_t>(set - slots_) / kPageSlots;
  }
  // The way of `set` that a key is kept in.
  static Slot* choose_way(Slot* set, uint64_t generation) noexcept;
  bool page_written(const Slot* set) const noexcept {
    const size_t page = page_of(set);
    return (written_[page / 64].load(std::memory_order_acquire) >> (page % 64) & 1) != 0;
  }

  // How a slot's words besides the sequence are read and written, and the
  // fences that order them against the sequence. Without fences each word
  // carries the ordering itself: a reader whose acquire load finds what a
  // writer stored with release must then find that writer's odd sequence, so
  // it gives up the slot as it would after a fence. With fences the words
  // need no order of their own, which costs less where acquire and release
  // accesses are not plain loads and stores.
#if BRINDLORE_SEQLOCK_FENCES
  static constexpr std::memory_order kWordLoad = std::memory_order_relaxed;
  static constexpr std::memory_order kWordStore = std::memory_order_relaxed;
  static void fence(std::memory_order order) noexcept { std::atomic_thread_fence(order); }
#else
  static constexpr std::memory_order kWordLoad = std::memory_order_acquire;
  static constexpr std::memory_order kWordStore = std::memory_order_release;
  static void fence(std::memory_order) noexcept {}
#endif

  static uint64_t load(const uint64_t& word, std::memory_order order) noexcept {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(word)).load(order);
  }
  static void store(uint64_t& word, uint64_t value, std::memory_order order) noexcept {
    std::atomic_ref<uint64_t>(word).store(value, order);
  }

  // The set of a hash, from its high bits (the count of sets need not be a
  // power of two).
  static size_t set_index(size_t hash) noexcept {
    return kWays * static_cast<size_t>((static_cast<unsigned __int128>(hash) * kSets) >> 64);
  }
  const Slot* set_of(size_t hash) const noexcept { return &slots_[set_index(hash)]; }
  Slot* set_of(size_t hash) noexcept { return &slots_[set_index(hash)]; }

  static uint64_t meta_of(const SegCache::Probe& key) noexcept {
    return (uint64_t{key.text.size()} | (uint64_t{key.byte_fallback} << 8)) << kMetaShift;
  }
  // The key's bytes as the slot keeps them.
  static void key_words(std::string_view text, uint64_t (&out)[kKeyWords]) noexcept {
    char bytes[kMaxKeyBytes] = {};
    std::memcpy(bytes, text.data(), text.size());
    std::memcpy(out, bytes, sizeof bytes);
  }

  static bool read(const Slot& slot, uint64_t generation, const SegCache::Probe& key,
                   InlineIds& out) noexcept {
    const uint64_t before = load(slot.sequence, std::memory_order_acquire);
    if (load(slot.generation, kWordLoad) != generation || load(slot.hash, kWordLoad) != key.hash ||
        (before & kKeyMetaMask) != meta_of(key) || (before & 1) != 0) {
      return false;
    }
    uint64_t kept[kKeyWords];
    for (size_t i = 0; i < kKeyWords; ++i) kept[i] = load(slot.key[i], kWordLoad);
    if (!same_bytes(reinterpret_cast<const char*>(kept), key.text.data(), key.text.size())) {
      return false;
    }
    const uint64_t ids01 = load(slot.ids[0], kWordLoad);
    const uint64_t ids23 = load(slot.ids[1], kWordLoad);
    fence(std::memory_order_acquire);
    if (load(slot.sequence, std::memory_order_relaxed) != before) return false;
    out.ids[0] = static_cast<uint32_t>(ids01);
    out.ids[1] = static_cast<uint32_t>(ids01 >> 32);
    out.ids[2] = static_cast<uint32_t>(ids23);
    out.ids[3] = static_cast<uint32_t>(ids23 >> 32);
    out.count = static_cast<uint8_t>(before >> kCountShift);
    out.present = true;
    return true;
  }

  Slot* slots_;  // kSlots, never freed: threads may still read it at exit
  std::atomic<uint64_t> written_[(kPages + 63) / 64] = {};  // a bit per page
};

class FrontCache {
 public:
  static constexpr size_t kSlots = size_t{1} << 15;
  static constexpr size_t kMaxKeyBytes = 25;

  // The calling thread's table, its slots allocated on first use.
  static FrontCache& of_this_thread();

  // The piece kept for `key` under `generation`, with its segmentation when
  // `need_segmentation`; `ids` is null on a miss. What it points to stays
  // valid until this thread's next call of `keep` or `hold_scratch`.
  CachedPiece find(uint64_t generation, const SegCache::Probe& key,
                   bool need_segmentation) const noexcept {
    if (!slots_) return {};
    const size_t i = key.hash & (kSlots - 1);
    const Slot& slot = slots_[i];
    if (slot.generation != generation || slot.hash != key.hash ||
        slot.byte_fallback != key.byte_fallback || slot.size != key.text.size() ||
        !same_bytes(slot.key, key.text.data(), slot.size)) {
      return {};
    }
    if (!slot.has_seg && (need_segmentation || !slot.ids.present)) return {};
    return {slot.has_seg ? &segs_[i] : nullptr, &slot.ids};
  }

  // Starts loading the slot of a key whose `find` comes soon.
  void prefetch(size_t hash) const noexcept {
    if (slots_) __builtin_prefetch(&slots_[hash & (kSlots - 1)]);
  }

  // The thread's buffer for the spans of the piece it decodes or copies out
  // of a cache, which `keep` and `hold_scratch` hand out.
  SpanList& scratch() noexcept { return scratch_; }

  // Keeps `ids`, and the spans in `scratch()` when `with_spans`, for `key`
  // under `generation`, replacing whatever shared the slot, when the key is
  // short enough (the slot keeps the spans in a segmentation of its own); else
  // only holds them. Returns them as `find` would.
  CachedPiece keep(uint64_t generation, const SegCache::Probe& key, const InlineIds& ids,
                   bool with_spans);

  // Holds `ids`, and the spans in `scratch()` when `with_spans`, until this
  // thread's next call of `keep` or `hold_scratch`.
  CachedPiece hold_scratch(const InlineIds& ids, bool with_spans) noexcept {
    held_ids_ = ids;
    return {nullptr, &held_ids_, with_spans ? &scratch_ : nullptr};
  }

  // Gives back the buffer's room after a piece with many spans, for callers
  // done with their last decode.
  void release_held() noexcept {
    if (scratch_.capacity() > kKeptSpans) scratch_.release();
  }


 private:
  // One cache line: what a hit reads.
  struct alignas(64) Slot {
    uint64_t hash = 0;
    uint64_t generation = 0;  // 0 is never a cache's generation
    InlineIds ids;
    uint8_t size = 0;
    bool byte_fallback = false;
    bool has_seg = false;  // segs_ at the same index holds the segmentation
    char key[kMaxKeyBytes];
  };
  static_assert(sizeof(Slot) == 64);

  // The room the buffer keeps between texts.
  static constexpr size_t kKeptSpans = 4096;

  friend class ThreadLocal<FrontCache>;
  FrontCache() = default;

  std::unique_ptr<Slot[]> slots_;  // allocated by the first `keep`
  std::unique_ptr<SegmentationRef[]> segs_;
  SpanList scratch_;
  InlineIds held_ids_;
};

}  // namespace brindlore
