#include "core/seg_front_cache.h"

#include <cstring>

namespace brindlore {

FrontCache::FrontCache()
    : slots_(std::make_unique<Slot[]>(kSlots)),
      segs_(std::make_unique<SegmentationRef[]>(kSlots)) {}

FrontCache& FrontCache::of_this_thread() {
  thread_local FrontCache table;
  return table;
}

CachedPiece FrontCache::keep(uint64_t generation, const SegCache::Probe& key,
                             SegCache::Found found) {
  if (key.text.size() > kMaxKeyBytes) return hold(std::move(found));
  const size_t i = key.hash & (kSlots - 1);
  Slot& slot = slots_[i];
  slot.hash = key.hash;
  slot.generation = generation;
  slot.ids = found.ids;
  slot.size = static_cast<uint8_t>(key.text.size());
  slot.byte_fallback = key.byte_fallback;
  slot.has_seg = found.seg != nullptr;
  std::memcpy(slot.key, key.text.data(), key.text.size());
  // Releasing the slot's previous segmentation is the one reference count
  // change a miss makes here; a slot without one keeps it null.
  if (slot.has_seg || segs_[i]) segs_[i] = std::move(found.seg);
  return {slot.has_seg ? &segs_[i] : nullptr, &slot.ids};
}

CachedPiece FrontCache::hold(SegCache::Found found) {
  held_ = std::move(found);
  return {held_.seg ? &held_.seg : nullptr, &held_.ids};
}

}  // namespace brindlore
