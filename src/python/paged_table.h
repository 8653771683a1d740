// A table indexed by small ids whose memory follows the ids used, never the
// largest one: the ids are cut into pages of 64, and a page exists once an
// entry of it has been asked for. The pages lie in one growing array, so that
// filling the table allocates a handful of times, not once per page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brindlore::py {

template <typename T>
class PagedTable {
 public:
  static constexpr unsigned kPageBits = 6;
  static constexpr size_t kPageSize = size_t{1} << kPageBits;

  // The entry of `id`, value-initialized when its page is made. The reference
  // is valid until the next page is made.
  T& at(uint32_t id) { return values_[page(id >> kPageBits) + (id & (kPageSize - 1))]; }

  // The entry of `id`, or null when no entry of its page was asked for.
  const T* find(uint32_t id) const noexcept {
    const size_t index = id >> kPageBits;
    if (index >= pages_.size() || pages_[index] == kNone) return nullptr;
    return &values_[pages_[index] + (id & (kPageSize - 1))];
  }

  // Calls `visit(id, entry)` for every entry of every page made, in
  // increasing id order (entries never set included); stops at the first call
  // that returns false and returns false then.
  template <typename Visit>
  bool each(Visit&& visit) const {
    for (size_t p = 0; p < pages_.size(); ++p) {
      if (pages_[p] == kNone) continue;
      const T* entries = &values_[pages_[p]];
      for (size_t i = 0; i < kPageSize; ++i) {
        if (!visit(static_cast<uint32_t>((p << kPageBits) | i), entries[i])) return false;
      }
    }
    return true;
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  // The offset of page `index` in values_, made on first need.
  size_t page(size_t index) {
    if (index >= pages_.size()) pages_.resize(index + 1, kNone);
    if (pages_[index] == kNone) {
      pages_[index] = static_cast<uint32_t>(values_.size());
      values_.resize(values_.size() + kPageSize);
    }
    return pages_[index];
  }

  std::vector<uint32_t> pages_;  // per page of ids: its offset in values_, or kNone
  std::vector<T> values_;
};

}  // namespace brindlore::py
