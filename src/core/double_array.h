// A double-array automaton over bytes: the compact, read-only search form of
// a byte trie. Each state is one unit, so a walk touches a few small, mostly
// neighbouring words, and the search form of a vocabulary of tens of
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
// Units come in two widths with the same layout in their low bits: 4 bytes,
// whose 21-bit field holds about two million states (a vocabulary of a few
// hundred thousand short tokens), and 8 bytes, whose field reaches as far as
// a state index does (2^31 units). `lay_out_double_array` places a trie once,
// in wide units; `DoubleArray<Unit>::pack` narrows the result when every field
// fits, so a vocabulary pays for wide units only when it needs them.
//
// Thread safety: immutable once built; any number of threads may walk it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace brindlore {

// The bits every unit width shares.
struct DoubleArrayBits {
  static constexpr uint32_t kNoValue = 0xFFFFFFFFu;
  static constexpr uint64_t kChild = 1u << 8;     // reached by a transition
  static constexpr uint64_t kTerminal = 1u << 9;  // a token ends here
  static constexpr uint64_t kInline = 1u << 10;   // no children; the field is the value
  static constexpr uint64_t kLabelMask = 0x1FF;   // label and kChild
  static constexpr unsigned kFieldShift = 11;
  // Largest field a state index allows: every base + 1 + byte, and the
  // padding after the last base, stay below 2^31.
  static constexpr uint64_t kMaxAddressableField = uint64_t{INT32_MAX} - 512;
};

// A trie placed in wide units, and the largest base or token index in it.
struct DoubleArrayLayout {
  std::vector<uint64_t> units;
  uint64_t max_field = 0;
};

// One child of a tree node: the byte that leads to it and its node id.
using DoubleArrayChild = std::pair<unsigned char, uint32_t>;

// Places the tree whose root is node 0. `children(node, out)` replaces `out`
// with the node's children in ascending byte order; `value(node)` gives the
// token index that ends at the node (DoubleArrayBits::kNoValue for none; the
// root has none); `prefetch(node)` announces a node that will be asked for
// soon (nodes are visited breadth first, far apart in a large tree's memory).
// Returns nothing when a token index or a base would exceed `max_field` (at
// most kMaxAddressableField).
template <typename Children, typename Value, typename Prefetch>
std::optional<DoubleArrayLayout> lay_out_double_array(Children&& children, Value&& value,
                                                      Prefetch&& prefetch, uint64_t max_field);

template <typename Unit>
class DoubleArray : private DoubleArrayBits {
 public:
  using DoubleArrayBits::kNoValue;
  // Largest token index and base a unit can hold.
  static constexpr uint64_t kMaxField =
      std::min<uint64_t>(std::numeric_limits<Unit>::max() >> kFieldShift, kMaxAddressableField);

  // The automaton of `layout`, whose `max_field` must not exceed kMaxField.
  static DoubleArray pack(DoubleArrayLayout&& layout) {
    DoubleArray da;
    if constexpr (sizeof(Unit) == sizeof(uint64_t)) {
      da.units_ = std::move(layout.units);
    } else {
      da.units_.assign(layout.units.begin(), layout.units.end());
    }
    layout.units = {};
    return da;
  }

  bool empty() const noexcept { return units_.empty(); }

  // The state reached from `state` on `byte`, or -1.
  int32_t next(int32_t state, unsigned char byte) const noexcept {
    const Unit from = units_[static_cast<size_t>(state)];
    if (from & kInline) return -1;  // a terminal state without children
    const size_t t = static_cast<size_t>(from >> kFieldShift) + 1 + byte;
    return (units_[t] & kLabelMask) == (kChild | byte) ? static_cast<int32_t>(t) : -1;
  }

  // The token index that ends at `state`, or kNoValue.
  uint32_t value(int32_t state) const noexcept {
    const Unit unit = units_[static_cast<size_t>(state)];
    if (!(unit & kTerminal)) return kNoValue;
    if (unit & kInline) return static_cast<uint32_t>(unit >> kFieldShift);
    return static_cast<uint32_t>(units_[static_cast<size_t>(unit >> kFieldShift)] >> kFieldShift);
  }

  // Walks the bytes `text[start..end)` from the root and calls
  // `visit(value, depth)` at every state with a value, in walk order; `depth`
  // counts the bytes walked that start a UTF-8 character, and the walk stops
  // before a byte that would start character `limit + 1`. Returns whether it
  // called `visit`. The current unit stays in a register, so a step costs one
  // load, which a decoder that walks every position of a text pays per byte.
  template <typename Visit>
  bool walk(const unsigned char* text, size_t start, size_t end, size_t limit,
            Visit&& visit) const {
    const Unit* units = units_.data();
    Unit unit = units[0];
    size_t depth = 0;
    bool found = false;
    for (size_t pos = start; pos < end; ++pos) {
      const unsigned byte = text[pos];
      depth += (byte & 0xC0) != 0x80;
      if (depth > limit || (unit & kInline)) break;
      const Unit next = units[static_cast<size_t>(unit >> kFieldShift) + 1 + byte];
      if ((next & kLabelMask) != (kChild | byte)) break;
      unit = next;
      if (unit & kTerminal) {
        const Unit holder = unit & kInline ? unit : units[static_cast<size_t>(unit >> kFieldShift)];
        found = true;
        visit(static_cast<uint32_t>(holder >> kFieldShift), depth);
      }
    }
    return found;
  }

  // Number of units, and the bytes they take.
  size_t size() const noexcept { return units_.size(); }
  size_t bytes() const noexcept { return units_.size() * sizeof(Unit); }

 private:
  std::vector<Unit> units_;
};

// Builder state: which units are taken and which bases are used, plus a
// doubly linked list of free units to try as places for a first child.
struct DoubleArrayBuilder : DoubleArrayBits {
  std::vector<uint64_t> units;
  std::vector<bool> taken, base_used;
  std::vector<int32_t> next_free, prev_free;
  std::vector<uint8_t> failures;
  int32_t head = -1, tail = -1;
  size_t end = 0;  // one past the highest taken unit

  static constexpr int32_t kOut = -2;

  void ensure_size(size_t size);
  void unlink(size_t t);
  void take(size_t t, uint64_t unit);
  // A base whose slots at each of `offsets` (ascending) are free.
  size_t find_base(const std::vector<size_t>& offsets);
};

template <typename Children, typename Value, typename Prefetch>
std::optional<DoubleArrayLayout> lay_out_double_array(Children&& children, Value&& value,
                                                      Prefetch&& prefetch, uint64_t max_field) {
  constexpr size_t kAhead = 32;  // queue entries between a prefetch and its use
  using B = DoubleArrayBuilder;
  B b;
  b.ensure_size(1024);
  b.take(0, 0);           // the root is nobody's child
  b.base_used[0] = true;  // a state without a base reads 0; nobody owns it
  uint64_t highest = 0;
  // Breadth first; a deque gives back the visited part of a long queue.
  std::deque<std::pair<uint32_t, uint32_t>> queue{{0, 0}};  // (node, unit)
  std::vector<DoubleArrayChild> kids;
  std::vector<size_t> offsets;
  for (; !queue.empty(); queue.pop_front()) {
    if (queue.size() > kAhead) prefetch(queue[kAhead].first);
    const auto [node, state] = queue.front();
    children(node, kids);
    const uint32_t token = node == 0 ? B::kNoValue : value(node);
    if (token != B::kNoValue) {
      if (token > max_field) return std::nullopt;
      highest = std::max<uint64_t>(highest, token);
      b.units[state] |= B::kTerminal;
      if (kids.empty()) {
        b.units[state] |= B::kInline | (uint64_t{token} << B::kFieldShift);
        continue;
      }
    }
    if (kids.empty()) continue;
    offsets.clear();
    if (token != B::kNoValue) offsets.push_back(0);
    for (const auto& kid : kids) offsets.push_back(size_t{kid.first} + 1);
    const size_t base = b.find_base(offsets);
    if (base > max_field) return std::nullopt;
    highest = std::max<uint64_t>(highest, base);
    b.base_used[base] = true;
    b.units[state] |= uint64_t{base} << B::kFieldShift;
    if (token != B::kNoValue) b.take(base, uint64_t{token} << B::kFieldShift);
    for (const auto& [byte, child] : kids) {
      const size_t t = base + 1 + byte;
      b.take(t, B::kChild | byte);
      queue.emplace_back(child, static_cast<uint32_t>(t));
    }
  }
  // Every base + 1 + byte of a state with children stays in range.
  b.units.resize(b.end + 257);
  b.units.shrink_to_fit();
  return DoubleArrayLayout{std::move(b.units), highest};
}

}  // namespace brindlore
