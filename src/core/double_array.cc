#include "core/double_array.h"

#include <algorithm>

namespace brindlore {

void DoubleArrayBuilder::ensure_size(size_t size) {
  if (units.size() >= size) return;
  const size_t old = units.size();
  const size_t grown = std::max(size, old * 2);
  units.resize(grown, 0);
  taken.resize(grown, false);
  base_used.resize(grown, false);
  next_free.resize(grown);
  prev_free.resize(grown);
  failures.resize(grown);
  // The new units join the end of the candidate list, in order.
  for (size_t i = old; i < grown; ++i) {
    const auto unit = static_cast<int32_t>(i);
    prev_free[i] = tail;
    next_free[i] = -1;
    if (tail >= 0) {
      next_free[static_cast<size_t>(tail)] = unit;
    } else {
      head = unit;
    }
    tail = unit;
  }
}

void DoubleArrayBuilder::unlink(size_t t) {
  if (prev_free[t] == kOut) return;
  const int32_t prev = prev_free[t], next = next_free[t];
  if (prev >= 0) {
    next_free[static_cast<size_t>(prev)] = next;
  } else {
    head = next;
  }
  if (next >= 0) {
    prev_free[static_cast<size_t>(next)] = prev;
  } else {
    tail = prev;
  }
  prev_free[t] = next_free[t] = kOut;
}

void DoubleArrayBuilder::take(size_t t, uint64_t unit) {
  units[t] = unit;
  taken[t] = true;
  end = std::max(end, t + 1);
  unlink(t);
}

size_t DoubleArrayBuilder::find_base(const std::vector<size_t>& offsets) {
  // A free unit that failed this often as the place of a node's first slot
  // leaves the candidates; it can still be taken by a later slot.
  constexpr uint8_t kMaxFailures = 16;
  constexpr size_t kMaxCandidates = 512;
  const size_t lowest = offsets.front();
  auto fits = [&](size_t base) {
    ensure_size(base + 258);
    if (base_used[base]) return false;
    for (size_t offset : offsets) {
      if (taken[base + offset]) return false;
    }
    return true;
  };
  size_t tried = 0;
  for (int32_t pos = head; pos >= 0 && tried < kMaxCandidates; ++tried) {
    const auto unit = static_cast<size_t>(pos);
    const int32_t next = next_free[unit];
    if (unit >= lowest && fits(unit - lowest)) return unit - lowest;
    if (++failures[unit] >= kMaxFailures) unlink(unit);
    pos = next;
  }
  // Past the last taken unit every unit is free, and no base there is used.
  size_t base = end;
  while (!fits(base)) ++base;
  return base;
}

}  // namespace brindlore
