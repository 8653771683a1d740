// The GGUF vocabulary export: reading a vocabulary file (JSON), typing every
// token by the GGUF token types, and writing a GGUF version 3 image that holds
// only the tokenizer metadata (eight key/value pairs, no tensors).
//
// Everything here is pure and keeps no state: any number of threads may call
// any function at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace brindlore {

// GGUF token type codes. `unused` (5) is never assigned.
enum class GgufTokenType : uint32_t {
  normal = 1,
  unknown = 2,
  control = 3,
  user_defined = 4,
  unused = 5,
  byte = 6,
};

// One accepted vocabulary entry.
struct TokenEntry {
  std::string token;
  float score = 0.0f;  // the file's f64 score rounded to the nearest f32
  uint32_t id = 0;
  uint32_t token_type = 0;  // a GgufTokenType code
};

// The id written for a special token that no entry supplies.
inline constexpr uint32_t kNoSpecialId = 0xFFFFFFFFu;

// The four special ids of the image, in the order they are written.
struct GgufSpecialIds {
  uint32_t bos = kNoSpecialId;
  uint32_t eos = kNoSpecialId;
  uint32_t unknown = kNoSpecialId;
  uint32_t padding = kNoSpecialId;
};

// The GGUF type of a token, by its bytes (exact, case-sensitive comparisons).
GgufTokenType classify_token_type(std::string_view token) noexcept;

// The entries of a vocabulary file's text (valid UTF-8): either an object whose
// member "vocab" is the entry array, or a bare entry array. Sorted by id, which
// must be exactly 0 to n-1 with n at least 1. Fails on anything else.
Result<std::vector<TokenEntry>> parse_vocab_json(std::string_view text);

// The special ids of entries sorted by id: where several tokens name one
// special id, the highest id wins.
GgufSpecialIds special_token_ids(const std::vector<TokenEntry>& entries) noexcept;

// The exact byte length of the image of `entries`.
size_t gguf_image_size(const std::vector<TokenEntry>& entries) noexcept;

// Writes the image of `entries` (sorted by id) to `out`, which must hold
// exactly `gguf_image_size(entries)` bytes.
void write_gguf_image(const std::vector<TokenEntry>& entries, uint8_t* out) noexcept;

// The whole content of the file at `path`; fails when it cannot be opened or
// read (a directory included).
Result<std::string> read_file(const char* path);

}  // namespace brindlore
