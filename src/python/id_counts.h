// How often each id occurs in the ids one worker thread laid out, so that the
// result lists can take all the references to one int object at once instead
// of one per occurrence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python/paged_table.h"

namespace brindlore::py {

// Counts the ids below `kLimit`; the memory follows the distinct ids seen,
// never the largest one (see PagedTable). A count cannot overflow: it never
// exceeds the number of ids laid out.
class IdCounts {
 public:
  static constexpr uint32_t kLimit = uint32_t{1} << 17;

  void add(std::span<const uint32_t> ids) {
    for (const uint32_t id : ids) {
      if (id < kLimit) counts_.at(id) += 1;
    }
  }

  // Adds the counts of `other` to these.
  void merge(const IdCounts& other) {
    other.counts_.each([&](uint32_t id, uint64_t count) {
      if (count) counts_.at(id) += count;
      return true;
    });
  }

  // Calls `visit(id, count)` for every id counted, in increasing order; stops
  // at the first call that returns false and returns false then.
  template <typename Visit>
  bool each(Visit&& visit) const {
    return counts_.each([&](uint32_t id, uint64_t count) { return !count || visit(id, count); });
  }

 private:
  PagedTable<uint64_t> counts_;
};

}  // namespace brindlore::py
