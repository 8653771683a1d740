// The plain C interface over the engine. Every entry catches everything: no
// C++ exception may cross into a C caller, so an internal fault (including a
// failed allocation) aborts right here. Everything handed out comes from the
// C allocator, which the release functions give it back to.
#include "brindlore.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "core/c_tokenizer.h"
#include "core/gguf.h"
#include "core/utf8.h"

struct TokenizerHandle {
  brindlore::CTokenizer tokenizer;
};

namespace {

// Runs `body`; any exception that escapes it is an internal fault.
template <typename F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    std::abort();
  }
}

// A block of `bytes` from the C allocator; running out of memory is fatal.
void* c_alloc(size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) std::abort();
  return block;
}

}  // namespace

extern "C" {

TokenizerHandle* brindlore_create(const char* vocab_json) {
  return guarded([&]() -> TokenizerHandle* {
    if (vocab_json == nullptr) return nullptr;
    std::string_view text(vocab_json);
    if (!brindlore::utf8::valid(text)) return nullptr;
    brindlore::Result<brindlore::CTokenizer> tokenizer = brindlore::make_c_tokenizer(text);
    if (!tokenizer) return nullptr;
    void* block = c_alloc(sizeof(TokenizerHandle));
    return new (block) TokenizerHandle{std::move(*tokenizer)};
  });
}

void brindlore_destroy(TokenizerHandle* handle) {
  guarded([&] {
    if (handle == nullptr) return;
    handle->~TokenizerHandle();
    std::free(handle);
  });
}

int32_t brindlore_encode(const TokenizerHandle* handle, const uint8_t* text, size_t text_len,
                         uint32_t** out_ids, size_t* out_len) {
  return guarded([&]() -> int32_t {
    if (out_ids == nullptr || out_len == nullptr) return BRINDLORE_ERR_NULL_ARGUMENT;
    *out_ids = nullptr;
    *out_len = 0;
    if (handle == nullptr || text == nullptr) return BRINDLORE_ERR_NULL_ARGUMENT;
    std::string_view view(reinterpret_cast<const char*>(text), text_len);
    if (!brindlore::utf8::valid(view)) return BRINDLORE_ERR_TEXT_NOT_UTF8;
    std::vector<uint32_t> ids;
    if (!brindlore::encode_ids(handle->tokenizer, view, ids)) return BRINDLORE_ERR_ENCODE;
    if (ids.empty()) return BRINDLORE_OK;
    auto* array = static_cast<uint32_t*>(c_alloc(ids.size() * sizeof(uint32_t)));
    std::memcpy(array, ids.data(), ids.size() * sizeof(uint32_t));
    *out_ids = array;
    *out_len = ids.size();
    return BRINDLORE_OK;
  });
}

void brindlore_free_tokens(uint32_t* ptr, size_t len) {
  if (ptr != nullptr && len != 0) std::free(ptr);
}

void brindlore_free_buffer(uint8_t* ptr, size_t len) {
  if (ptr != nullptr && len != 0) std::free(ptr);
}

int32_t brindlore_export_gguf_vocab(const char* path, uint8_t** out_buf, size_t* out_len) {
  return guarded([&]() -> int32_t {
    if (path == nullptr || out_buf == nullptr || out_len == nullptr) {
      return BRINDLORE_ERR_NULL_ARGUMENT;
    }
    if (!brindlore::utf8::valid(path)) return BRINDLORE_ERR_PATH_NOT_UTF8;
    brindlore::Result<std::string> content = brindlore::read_file(path);
    if (!content || !brindlore::utf8::valid(*content)) return BRINDLORE_ERR_FILE_UNREADABLE;
    auto entries = brindlore::parse_vocab_json(*content);
    if (!entries) return BRINDLORE_ERR_INVALID_VOCAB;
    // The size is known before writing, so the image takes one exact block.
    size_t size = brindlore::gguf_image_size(*entries);
    auto* image = static_cast<uint8_t*>(c_alloc(size));
    brindlore::write_gguf_image(*entries, image);
    *out_buf = image;
    *out_len = size;
    return BRINDLORE_OK;
  });
}

}  // extern "C"
