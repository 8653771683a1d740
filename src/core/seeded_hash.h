// Randomly seeded hashing for the engine's hash maps. Every map owns its own
// seed, so no two maps (and no two processes) share an iteration order or a
// collision pattern that input could be crafted against.
#pragma once

#include <cstdint>
#include <random>
#include <string_view>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace brindlore {

// A fresh 64-bit seed from the system's random source.
inline uint64_t random_seed() {
  std::random_device rd;
  return (uint64_t{rd()} << 32) ^ rd();
}

// Derives a stream of well-mixed seeds from one random draw (splitmix64), so
// that structures with many small maps pay for one system call, not one per map.
class SeedStream {
 public:
  SeedStream() : state_(random_seed()) {}
  uint64_t next() noexcept {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

// Keyed hash of a code point.
struct SeededCharHash {
  uint64_t seed = 0;
  size_t operator()(char32_t c) const noexcept {
    uint64_t h = (uint64_t{c} ^ seed) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

// Keyed hash of a byte string.
struct SeededTextHash {
  using is_transparent = void;
  using is_avalanching = void;  // XXH3 output needs no further mixing by the map
  uint64_t seed = 0;
  size_t operator()(std::string_view text) const noexcept {
    return static_cast<size_t>(XXH3_64bits_withSeed(text.data(), text.size(), seed));
  }
};

}  // namespace brindlore
