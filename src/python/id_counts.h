// How often each id occurs in the ids one worker thread laid out, so that the
// result lists can take all the references to one int object at once instead
// of one per occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brindlore::py {

// Counts the ids below `kLimit` in pages made on first need, so that the
// memory follows the distinct ids seen, never the largest one. The pages lie
// in one growing array, so that a thread allocates (and the caller frees) a
// handful of times per batch, not once per page. A count cannot overflow: it
// never exceeds the number of ids laid out.
class IdCounts {
 public:
  static constexpr uint32_t kLimit = uint32_t{1} << 17;

  void add(std::span<const uint32_t> ids) {
    for (const uint32_t id : ids) {
      if (id < kLimit) counts_[page(id >> kPageBits) + (id & (kPageSize - 1))] += 1;
    }
  }

  // Adds the counts of `other` to these.
  void merge(const IdCounts& other) {
    for (size_t p = 0; p < other.pages_.size(); ++p) {
      if (other.pages_[p] == kNone) continue;
      const uint64_t* from = &other.counts_[other.pages_[p]];
      uint64_t* to = &counts_[page(p)];
      for (size_t i = 0; i < kPageSize; ++i) to[i] += from[i];
    }
  }

  // Calls `visit(id, count)` for every id counted, in increasing order; stops
  // at the first call that returns false and returns false then.
  template <typename Visit>
  bool each(Visit&& visit) const {
    for (size_t p = 0; p < pages_.size(); ++p) {
      if (pages_[p] == kNone) continue;
      const uint64_t* counts = &counts_[pages_[p]];
      for (size_t i = 0; i < kPageSize; ++i) {
        if (counts[i] && !visit(static_cast<uint32_t>((p << kPageBits) | i), counts[i])) {
          return false;
        }
      }
    }
    return true;
  }

 private:
  static constexpr unsigned kPageBits = 6;
  static constexpr size_t kPageSize = size_t{1} << kPageBits;
  static constexpr uint32_t kNone = UINT32_MAX;

  // The offset of page `index` in counts_, made on first need.
  size_t page(size_t index) {
    if (index >= pages_.size()) pages_.resize(index + 1, kNone);
    if (pages_[index] == kNone) {
      pages_[index] = static_cast<uint32_t>(counts_.size());
      counts_.resize(counts_.size() + kPageSize);
    }
    return pages_[index];
  }

  std::vector<uint32_t> pages_;  // per page of ids: its offset in counts_, or kNone
  std::vector<uint64_t> counts_;
};

}  // namespace brindlore::py
