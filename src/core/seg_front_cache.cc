#include "core/seg_front_cache.h"

#include <cstring>

namespace brindlore {

FrontCache::FrontCache() : slots_(std::make_unique<Slot[]>(kSlots)) {}

FrontCache& FrontCache::of_this_thread() {
  thread_local FrontCache table;
  return table;
}

const SegmentationRef* FrontCache::keep(uint64_t generation, const SegCache::Probe& key,
                                        SegmentationRef seg) {
  if (key.text.size() > kMaxKeyBytes) return hold(std::move(seg));
  Slot& slot = slots_[key.hash & (kSlots - 1)];
  slot.seg = std::move(seg);
  slot.hash = key.hash;
  slot.generation = generation;
  slot.byte_fallback = key.byte_fallback;
  slot.size = static_cast<uint8_t>(key.text.size());
  std::memcpy(slot.key, key.text.data(), key.text.size());
  return &slot.seg;
}

const SegmentationRef* FrontCache::hold(SegmentationRef seg) {
  held_ = std::move(seg);
  return &held_;
}

}  // namespace brindlore
