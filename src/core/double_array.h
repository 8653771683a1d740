// A double-array automaton over bytes: the compact, read-only search form of
// a byte trie. Each state is one 12-byte unit (base, check, value), so a walk
// touches a few small, mostly neighbouring units instead of whole tree nodes,
// and a vocabulary of tens of thousands of tokens fits in a core's cache.
//
// The transition from state s on byte b leads to t = base[s] + b when
// check[t] == s. State 0 is the root; free units have check -1.
//
// Thread safety: immutable once built; any number of threads may walk it.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace brindlore {

class DoubleArray {
 public:
  static constexpr uint32_t kNoValue = 0xFFFFFFFFu;

  // One child of a tree node: the byte that leads to it and its node id.
  using Child = std::pair<unsigned char, uint32_t>;

  // Builds the automaton of a tree whose root is node 0.
  // `children(node, out)` replaces `out` with the node's children in
  // ascending byte order; `value(node)` gives the payload kept in the node's
  // state (kNoValue for none). Building takes time linear in the tree's size
  // times a bounded search per node.
  template <typename Children, typename Value>
  static DoubleArray build(Children&& children, Value&& value);

  // The state reached from `state` on `byte`, or -1.
  int32_t next(int32_t state, unsigned char byte) const noexcept {
    const auto t = static_cast<size_t>(units_[static_cast<size_t>(state)].base) + byte;
    return t < units_.size() && units_[t].check == state ? static_cast<int32_t>(t) : -1;
  }

  uint32_t value(int32_t state) const noexcept {
    return units_[static_cast<size_t>(state)].value;
  }

  size_t size() const noexcept { return units_.size(); }

 private:
  struct Unit {
    int32_t base = 0;
    int32_t check = -1;
    uint32_t value = kNoValue;
  };

  // A base at which every child byte lands on a free unit. Candidates are the
  // free units in a linked list, tried a bounded number of times each, so
  // that a hole nothing fits into stops being tried.
  int32_t find_base(const std::vector<Child>& kids);
  void ensure_size(size_t size);
  // Marks unit `t` used and takes it out of the candidate list.
  void occupy(size_t t, int32_t parent);
  void unlink(size_t t);

  std::vector<Unit> units_;
  // Doubly linked list of candidate free units (-1 ends it; kOut marks a
  // unit that is not in the list), and how often each failed as a start.
  static constexpr int32_t kOut = -2;
  std::vector<int32_t> next_free_, prev_free_;
  std::vector<uint8_t> failures_;
  int32_t head_ = -1, tail_ = -1;
  size_t end_ = 0;  // one past the highest used unit
};

template <typename Children, typename Value>
DoubleArray DoubleArray::build(Children&& children, Value&& value) {
  DoubleArray da;
  da.ensure_size(1024);
  da.occupy(0, -2);  // the root is nobody's child
  da.units_[0].value = value(0);
  std::vector<std::pair<uint32_t, int32_t>> queue{{0, 0}};  // (node, state)
  std::vector<Child> kids;
  for (size_t head = 0; head < queue.size(); ++head) {
    const auto [node, state] = queue[head];
    children(node, kids);
    if (kids.empty()) continue;
    const int32_t base = da.find_base(kids);
    da.units_[static_cast<size_t>(state)].base = base;
    for (const auto& [byte, child] : kids) {
      const size_t t = static_cast<size_t>(base) + byte;
      da.occupy(t, state);
      da.units_[t].value = value(child);
      queue.emplace_back(child, static_cast<int32_t>(t));
    }
  }
  da.units_.resize(da.end_ + 256);  // every base + byte of a used state stays in range
  da.units_.shrink_to_fit();
  da.next_free_ = {};
  da.prev_free_ = {};
  da.failures_ = {};
  return da;
}

}  // namespace brindlore
