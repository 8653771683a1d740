#include "core/double_array.h"

namespace brindlore {

void DoubleArray::ensure_size(size_t size) {
  if (units_.size() >= size) return;
  const size_t old = units_.size();
  const size_t grown = std::max(size, old * 2);
  units_.resize(grown);
  next_free_.resize(grown);
  prev_free_.resize(grown);
  failures_.resize(grown);
  // The new units join the end of the candidate list, in order.
  for (size_t i = old; i < grown; ++i) {
    const auto unit = static_cast<int32_t>(i);
    prev_free_[i] = tail_;
    next_free_[i] = -1;
    if (tail_ >= 0) {
      next_free_[static_cast<size_t>(tail_)] = unit;
    } else {
      head_ = unit;
    }
    tail_ = unit;
  }
}

void DoubleArray::unlink(size_t t) {
  if (prev_free_[t] == kOut) return;
  const int32_t prev = prev_free_[t], next = next_free_[t];
  if (prev >= 0) {
    next_free_[static_cast<size_t>(prev)] = next;
  } else {
    head_ = next;
  }
  if (next >= 0) {
    prev_free_[static_cast<size_t>(next)] = prev;
  } else {
    tail_ = prev;
  }
  prev_free_[t] = next_free_[t] = kOut;
}

void DoubleArray::occupy(size_t t, int32_t parent) {
  units_[t].check = parent;
  end_ = std::max(end_, t + 1);
  unlink(t);
}

int32_t DoubleArray::find_base(const std::vector<Child>& kids) {
  // A free unit that failed this often as the place of a node's first child
  // leaves the candidates; it can still be taken by a later child byte.
  constexpr uint8_t kMaxFailures = 16;
  constexpr size_t kMaxCandidates = 256;
  const size_t lowest = kids.front().first;
  size_t tried = 0;
  for (int32_t pos = head_; pos >= 0 && tried < kMaxCandidates; ++tried) {
    const auto unit = static_cast<size_t>(pos);
    const int32_t next = next_free_[unit];
    if (unit > lowest) {
      const size_t base = unit - lowest;
      ensure_size(base + 256);
      bool fits = true;
      for (const auto& kid : kids) {
        if (units_[base + kid.first].check != -1) {
          fits = false;
          break;
        }
      }
      if (fits) return static_cast<int32_t>(base);
    }
    if (++failures_[unit] >= kMaxFailures) unlink(unit);
    pos = next;
  }
  // Past the last used unit every unit is free.
  const size_t base = end_;
  ensure_size(base + 256);
  return static_cast<int32_t>(base);
}

}  // namespace brindlore
