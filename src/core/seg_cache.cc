#include "core/seg_cache.h"

namespace brindlore {

SegCache::SegCache(size_t reserve_entries)
    : map_(0, KeyHash{SeededTextHash{random_seed()}}, KeyEq{}) {
  if (reserve_entries > 0) map_.reserve(reserve_entries);
}

template <typename F>
auto SegCache::locked(F&& body) const {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    return body();
  } catch (...) {
    poisoned_ = true;
    throw;
  }
}

SegmentationRef SegCache::lookup(bool byte_fallback, std::string_view piece) const {
  return locked([&]() -> SegmentationRef {
    if (poisoned_) return nullptr;
    auto it = map_.find(KeyView{piece, byte_fallback});
    return it == map_.end() ? nullptr : it->second;
  });
}

void SegCache::store(bool byte_fallback, std::string_view piece, SegmentationRef seg) {
  // The key is copied before the lock is taken, so the critical section holds
  // no allocation of the piece text.
  Key key{std::string(piece), byte_fallback};
  locked([&] {
    if (poisoned_) return;
    auto it = map_.find(KeyView{piece, byte_fallback});
    if (it != map_.end()) {
      it->second = std::move(seg);
      return;
    }
    if (map_.size() >= kMaxEntries) map_.clear();
    map_.emplace(std::move(key), std::move(seg));
  });
}

size_t SegCache::size() const {
  return locked([&] { return poisoned_ ? size_t{0} : map_.size(); });
}

void SegCache::clear() {
  locked([&] {
    if (!poisoned_) map_.clear();
  });
}

size_t SegCache::capacity() const {
  return locked([&] { return static_cast<size_t>(map_.max_load()); });
}

bool SegCache::poisoned() const {
  return locked([&] { return poisoned_; });
}

}  // namespace brindlore
