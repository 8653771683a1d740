// Each thread's own layer in front of the segmentation caches: a direct-mapped
// table from (cache generation, flag, piece) to what the thread took from a
// cache, the piece's ids kept in the slot beside the key. A hit takes no lock,
// writes nothing that another thread reads and changes no reference count, so
// the pieces every text is full of (a space, a full stop, a comma) cost the
// same on eight threads as on one; an id encode reads the ids from the cache
// line it compared the key in. A slot holds a reference to the segmentation
// only when a caller needed it (token texts, spans) or the ids do not fit.
//
// An entry is served only while the cache it came from still has the
// generation it had when the entry was taken (see SegCache::generation), so a
// clear, an emptying, poisoning or a vocabulary change makes every thread ask
// the cache again. Generations are unique in the process, so one table serves
// every cache the thread uses, and entries of a destroyed cache never match.
//
// Memory per thread is bounded: kSlots slots of 64 bytes plus one reference
// each (2.5 MiB; the key text is kept in the slot, so only pieces of at most
// kMaxKeyBytes enter), plus the segmentations those references hold.
//
// Thread safety: `of_this_thread` gives the calling thread's table; a table is
// used by its thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/seg_cache.h"

namespace brindlore {

// A cached decode as the calling thread holds it, valid until the thread's
// next cached decode: the ids when `ids->present`, and the segmentation when
// the caller asked for it or the ids are not inline (`segmentation` is never
// null then).
struct CachedPiece {
  const SegmentationRef* segmentation = nullptr;
  const InlineIds* ids = nullptr;
};

class FrontCache {
 public:
  static constexpr size_t kSlots = size_t{1} << 15;
  static constexpr size_t kMaxKeyBytes = 25;

  // The calling thread's table, its slots allocated on first use.
  static FrontCache& of_this_thread();

  // The piece kept for `key` under `generation`, with its segmentation when
  // `need_segmentation`; `ids` is null on a miss. What it points to stays
  // valid until this thread's next call of `keep` or `hold`.
  CachedPiece find(uint64_t generation, const SegCache::Probe& key,
                   bool need_segmentation) const noexcept {
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
  void prefetch(size_t hash) const noexcept { __builtin_prefetch(&slots_[hash & (kSlots - 1)]); }

  // Keeps what a cache lookup (or a decode) found for `key` under
  // `generation`, replacing whatever shared the slot, when the key is short
  // enough; else only holds it. Returns it as `find` would.
  CachedPiece keep(uint64_t generation, const SegCache::Probe& key, SegCache::Found found);

  // Holds `found` until this thread's next call of `keep` or `hold`.
  CachedPiece hold(SegCache::Found found);

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

  FrontCache();

  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<SegmentationRef[]> segs_;
  SegCache::Found held_;
};

}  // namespace brindlore
