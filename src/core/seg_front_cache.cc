#include "core/seg_front_cache.h"

#include <sys/mman.h>

#include <cstring>

#include "core/thread_locals.h"

namespace brindlore {

SharedIdFront* SharedIdFront::instance() noexcept {
  // Pages the kernel gives zeroed and maps only when first written.
  static SharedIdFront* table = []() -> SharedIdFront* {
    void* slots = mmap(nullptr, kSlots * sizeof(Slot), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (slots == MAP_FAILED) return nullptr;
    static SharedIdFront table(static_cast<Slot*>(slots));
    return &table;
  }();
  return table;
}

void SharedIdFront::keep(uint64_t generation, const SegCache::Probe& key,
                         const InlineIds& ids) noexcept {
  if (key.text.size() > kMaxKeyBytes || !ids.present) return;
  Slot* set = set_of(key.hash);
  // The first access to a page nobody has written is this write (see
  // `page_written`): way 0, whose sequence is still 0.
  const bool fresh_page = !page_written(set);
  Slot* slot = fresh_page ? &set[0] : choose_way(set, generation);
  std::atomic_ref<uint64_t> slot_sequence(slot->sequence);
  uint64_t sequence = fresh_page ? 0 : slot_sequence.load(std::memory_order_relaxed);
  if ((sequence & 1) != 0) return;
  if (!slot_sequence.compare_exchange_strong(sequence, (sequence + 1) & 0xFFFFFFFF,
                                             std::memory_order_relaxed)) {
    return;
  }
  fence(std::memory_order_release);
  uint64_t words[kKeyWords];
  key_words(key.text, words);
  store(slot->generation, generation, kWordStore);
  store(slot->hash, key.hash, kWordStore);
  store(slot->ids[0], ids.ids[0] | (uint64_t{ids.ids[1]} << 32), kWordStore);
  store(slot->ids[1], ids.ids[2] | (uint64_t{ids.ids[3]} << 32), kWordStore);
  for (size_t i = 0; i < kKeyWords; ++i) store(slot->key[i], words[i], kWordStore);
  slot_sequence.store(
      ((sequence + 2) & 0xFFFFFFFF) | meta_of(key) | (uint64_t{ids.count} << kCountShift),
      std::memory_order_release);
  if (fresh_page) {
    const size_t page = page_of(set);
    written_[page / 64].fetch_or(uint64_t{1} << (page % 64), std::memory_order_release);
  }
}

SharedIdFront::Slot* SharedIdFront::choose_way(Slot* set, uint64_t generation) noexcept {
  // A way that holds nothing of this generation goes first; else the way
  // written less often, so that the ways of a set take turns, which serves a
  // skewed mix of pieces nearly as well as remembering which was read last,
  // without writing on a hit.
  for (size_t way = 0; way < kWays; ++way) {
    if (load(set[way].generation, std::memory_order_relaxed) != generation) return &set[way];
  }
  static_assert(kWays == 2);
  const auto writes = [](const Slot& s) {
    return static_cast<uint32_t>(load(s.sequence, std::memory_order_relaxed));
  };
  return static_cast<int32_t>(writes(set[0]) - writes(set[1])) <= 0 ? &set[0] : &set[1];
}

FrontCache& FrontCache::of_this_thread() {
  return ThreadLocal<FrontCache>::get();
}

namespace {
const ThreadLocalMaker kMakesFrontCache([] { FrontCache::of_this_thread(); });
}  // namespace

CachedPiece FrontCache::keep(uint64_t generation, const SegCache::Probe& key, const InlineIds& ids,
                             bool with_spans) {
  if (key.text.size() > kMaxKeyBytes) return hold_scratch(ids, with_spans);
  if (!slots_) {
    slots_ = std::make_unique<Slot[]>(kSlots);
    segs_ = std::make_unique<SegmentationRef[]>(kSlots);
  }
  const size_t i = key.hash & (kSlots - 1);
  Slot& slot = slots_[i];
  slot.hash = key.hash;
  slot.generation = generation;
  slot.ids = ids;
  slot.size = static_cast<uint8_t>(key.text.size());
  slot.byte_fallback = key.byte_fallback;
  slot.has_seg = with_spans;
  std::memcpy(slot.key, key.text.data(), key.text.size());
  SegmentationRef& seg = segs_[i];
  if (with_spans) {
    // The slot's segmentation is written again when nobody else holds it:
    // what this thread handed out of it is valid only until this call.
    if (!seg || seg.use_count() != 1) seg = std::make_shared<CachedSegmentation>();
    std::const_pointer_cast<CachedSegmentation>(seg)->spans.assign(scratch_.view());
  }
  return {with_spans ? &seg : nullptr, &slot.ids};
}

}  // namespace brindlore
