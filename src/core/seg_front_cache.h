// Each thread's own layer in front of the segmentation caches: a small,
// direct-mapped table from (cache generation, flag, piece) to a segmentation
// the thread took from a cache. A hit takes no lock, writes nothing that
// another thread reads and changes no reference count, so the pieces every
// text is full of (a space, a full stop, a comma) cost the same on eight
// threads as on one.
//
// An entry is served only while the cache it came from still has the
// generation it had when the entry was taken (see SegCache::generation), so a
// clear, an emptying, poisoning or a vocabulary change makes every thread ask
// the cache again. Generations are unique in the process, so one table serves
// every cache the thread uses, and entries of a destroyed cache never match.
//
// Memory per thread is bounded: kSlots slots of fixed size (the key text is
// kept in the slot, so only pieces of at most kMaxKeyBytes enter), plus the
// segmentations the slots hold a reference to.
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

class FrontCache {
 public:
  static constexpr size_t kSlots = size_t{1} << 14;
  static constexpr size_t kMaxKeyBytes = 30;

  // The calling thread's table, its slots allocated on first use.
  static FrontCache& of_this_thread();

  // The segmentation kept for `key` under `generation`, or null. The pointer
  // (and what it points to) stays valid until this thread's next call of
  // `keep` or `hold`.
  const SegmentationRef* find(uint64_t generation, const SegCache::Probe& key) const noexcept {
    const Slot& slot = slots_[key.hash & (kSlots - 1)];
    if (slot.generation != generation || slot.hash != key.hash ||
        slot.byte_fallback != key.byte_fallback || slot.size != key.text.size() ||
        std::string_view(slot.key, slot.size) != key.text) {
      return nullptr;
    }
    return &slot.seg;
  }

  // Keeps `seg` for `key` under `generation` (replacing whatever shared the
  // slot) when the key is short enough, else only holds it; returns where it
  // is kept, valid like a result of `find`.
  const SegmentationRef* keep(uint64_t generation, const SegCache::Probe& key,
                              SegmentationRef seg);

  // Holds `seg` until this thread's next call of `keep` or `hold`.
  const SegmentationRef* hold(SegmentationRef seg);

 private:
  // One cache line per slot.
  struct alignas(64) Slot {
    uint64_t hash = 0;
    uint64_t generation = 0;  // 0 is never a cache's generation
    SegmentationRef seg;
    uint8_t size = 0;
    bool byte_fallback = false;
    char key[kMaxKeyBytes];
  };
  static_assert(sizeof(Slot) == 64);

  FrontCache();

  std::unique_ptr<Slot[]> slots_;
  SegmentationRef held_;
};

}  // namespace brindlore
