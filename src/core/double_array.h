// A double-array automaton over bytes: the compact, read-only search form of
// a byte trie. Each state is one 4-byte unit, so a walk touches a few small,
// mostly neighbouring words, and the search form of a vocabulary of tens of
// thousands of tokens stays in a core's L2 cache.
//
// A unit packs the byte that leads to it (its label), whether it is a state
// reached by a transition, whether a token ends there, and either the base
// of its children or, for a terminal state without children, the token index
// itself. The transition from state s on byte b leads to t = base(s) + 1 + b
// when unit t is a child unit labelled b. Bases are unique (no two states
// share one), so the label alone proves that t is a child of s. A terminal
// state with children keeps its token index in a leaf unit at base(s), which
// is never taken for a child. State 0 is the root; free units are 0.
//
// Values (token indexes) and bases are 21-bit: `build` gives up (returns an
// empty automaton) when a trie needs more, and the caller keeps its own walk.
//
// Thread safety: immutable once built; any number of threads may walk it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace brindlore {

class DoubleArray {
 public:
  static constexpr uint32_t kNoValue = 0xFFFFFFFFu;
  // Largest token index and base a unit can hold.
  static constexpr uint32_t kMaxField = (uint32_t{1} << 21) - 1;

  // One child of a tree node: the byte that leads to it and its node id.
  using Child = std::pair<unsigned char, uint32_t>;

  // Builds the automaton of a tree whose root is node 0.
  // `children(node, out)` replaces `out` with the node's children in
  // ascending byte order; `value(node)` gives the token index that ends at
  // the node (kNoValue for none; the root has none). Returns an empty
  // automaton (`empty()`) when an index or a base does not fit in a unit.
  template <typename Children, typename Value>
  static DoubleArray build(Children&& children, Value&& value);

  bool empty() const noexcept { return units_.empty(); }

  // The state reached from `state` on `byte`, or -1.
  int32_t next(int32_t state, unsigned char byte) const noexcept {
    const uint32_t from = units_[static_cast<size_t>(state)];
    if (from & kInline) return -1;  // a terminal state without children
    const size_t t = size_t{from >> kFieldShift} + 1 + byte;
    return (units_[t] & kLabelMask) == (kChild | byte) ? static_cast<int32_t>(t) : -1;
  }

  // The token index that ends at `state`, or kNoValue.
  uint32_t value(int32_t state) const noexcept {
    const uint32_t unit = units_[static_cast<size_t>(state)];
    if (!(unit & kTerminal)) return kNoValue;
    if (unit & kInline) return unit >> kFieldShift;
    return units_[unit >> kFieldShift] >> kFieldShift;
  }

  // Number of units, and the bytes they take.
  size_t size() const noexcept { return units_.size(); }
  size_t bytes() const noexcept { return units_.size() * sizeof(uint32_t); }

 private:
  static constexpr uint32_t kChild = 1u << 8;     // reached by a transition
  static constexpr uint32_t kTerminal = 1u << 9;  // a token ends here
  static constexpr uint32_t kInline = 1u << 10;   // no children; the field is the value
  static constexpr uint32_t kLabelMask = 0x1FF;   // label and kChild
  static constexpr unsigned kFieldShift = 11;

  // Builder state: which units are taken and which bases are used, plus a
  // doubly linked list of free units to try as places for a first child.
  struct Builder;

  std::vector<uint32_t> units_;
};

struct DoubleArray::Builder {
  std::vector<uint32_t> units;
  std::vector<bool> taken, base_used;
  std::vector<int32_t> next_free, prev_free;
  std::vector<uint8_t> failures;
  int32_t head = -1, tail = -1;
  size_t end = 0;  // one past the highest taken unit

  static constexpr int32_t kOut = -2;

  void ensure_size(size_t size);
  void unlink(size_t t);
  void take(size_t t, uint32_t unit);
  // A base whose slots at each of `offsets` (ascending) are free.
  size_t find_base(const std::vector<size_t>& offsets);
};

template <typename Children, typename Value>
DoubleArray DoubleArray::build(Children&& children, Value&& value) {
  Builder b;
  b.ensure_size(1024);
  b.take(0, 0);  // the root is nobody's child
  b.base_used[0] = true;  // a state without a base reads 0; nobody owns it
  std::vector<std::pair<uint32_t, size_t>> queue{{0, 0}};  // (node, unit)
  std::vector<Child> kids;
  std::vector<size_t> offsets;
  for (size_t head = 0; head < queue.size(); ++head) {
    const auto [node, state] = queue[head];
    children(node, kids);
    const uint32_t token = node == 0 ? kNoValue : value(node);
    uint32_t& unit = b.units[state];
    if (token != kNoValue) {
      if (token > kMaxField) return DoubleArray{};
      unit |= kTerminal;
      if (kids.empty()) {
        unit |= kInline | (token << kFieldShift);
        continue;
      }
    }
    if (kids.empty()) continue;
    offsets.clear();
    if (token != kNoValue) offsets.push_back(0);
    for (const auto& kid : kids) offsets.push_back(size_t{kid.first} + 1);
    const size_t base = b.find_base(offsets);
    if (base > kMaxField) return DoubleArray{};
    b.base_used[base] = true;
    b.units[state] |= static_cast<uint32_t>(base) << kFieldShift;
    if (token != kNoValue) b.take(base, token << kFieldShift);
    for (const auto& [byte, child] : kids) {
      const size_t t = base + 1 + byte;
      b.take(t, kChild | byte);
      queue.emplace_back(child, t);
    }
  }
  DoubleArray da;
  // Every base + 1 + byte of a state with children stays in range.
  b.units.resize(b.end + 257);
  da.units_ = std::move(b.units);
  da.units_.shrink_to_fit();
  return da;
}

}  // namespace brindlore
