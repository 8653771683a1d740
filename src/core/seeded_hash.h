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
