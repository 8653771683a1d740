// How often each id occurs in the ids one worker thread laid out, so that the
// result lists can take all the references to one int object at once instead
// of one per occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace brindlore::py {

// Counts the ids below `kLimit` in pages made on first need, so that the
// memory follows the distinct ids seen, never the largest one. A count cannot
// overflow: it never exceeds the number of ids laid out.
class IdCounts {
 public:
  static constexpr uint32_t kLimit = uint32_t{1} << 17;
  static constexpr unsigned kPageBits = 6;
  static constexpr size_t kPageSize = size_t{1} << kPageBits;

  void add(std::span<const uint32_t> ids) {
    for (const uint32_t id : ids) {
      if (id < kLimit) page(id >> kPageBits)[id & (kPageSize - 1)] += 1;
    }
  }

  // Adds the counts of `other` to these.
  void merge(const IdCounts& other) {
    for (size_t p = 0; p < other.pages_.size(); ++p) {
      const uint64_t* from = other.pages_[p].get();
      if (!from) continue;
      uint64_t* to = page(p);
      for (size_t i = 0; i < kPageSize; ++i) to[i] += from[i];
    }
  }

  // Calls `visit(id, count)` for every id counted, in increasing order; stops
  // at the first call that returns false and returns false then.
  template <typename Visit>
  bool each(Visit&& visit) const {
    for (size_t p = 0; p < pages_.size(); ++p) {
      const uint64_t* counts = pages_[p].get();
      if (!counts) continue;
      for (size_t i = 0; i < kPageSize; ++i) {
        if (counts[i] && !visit(static_cast<uint32_t>((p << kPageBits) | i), counts[i])) {
          return false;
        }
      }
    }
    return true;
  }

 private:
  uint64_t* page(size_t index) {
    if (index >= pages_.size()) pages_.resize(index + 1);
    std::unique_ptr<uint64_t[]>& made = pages_[index];
    if (!made) made = std::make_unique<uint64_t[]>(kPageSize);
    return made.get();
  }

  std::vector<std::unique_ptr<uint64_t[]>> pages_;
};

}  // namespace brindlore::py
