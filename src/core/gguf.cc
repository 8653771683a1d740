#include "core/gguf.h"

#include "core/gguf_entry.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/json.h"

namespace brindlore {
namespace {

using simdjson::dom::element_type;

// GGUF value types used by the image.
enum : uint32_t { kUint32 = 4, kInt32 = 5, kFloat32 = 6, kString = 8, kArray = 9 };

bool is_hex_digit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool is_byte_token(std::string_view t) noexcept {
  return t.size() == 6 && t.starts_with("<0x") && is_hex_digit(t[3]) && is_hex_digit(t[4]) &&
         t[5] == '>';
}

bool is_one_of(std::string_view t, std::initializer_list<std::string_view> texts) noexcept {
  return std::find(texts.begin(), texts.end(), t) != texts.end();
}

// Walks the image field by field. `Sink` either counts bytes or writes them,
// so the size and the bytes come from the same description of the layout.
template <typename Sink>
void emit_image(const std::vector<TokenEntry>& entries, Sink& out) {
  auto key = [&](std::string_view name, uint32_t type) {
    out.str(name);
    out.u32(type);
  };
  auto array = [&](std::string_view name, uint32_t element_type) {
    key(name, kArray);
    out.u32(element_type);
    out.u64(entries.size());
  };
  const GgufSpecialIds special = special_token_ids(entries);

  out.bytes("GGUF");
  out.u32(3);  // version
  out.u64(0);  // tensors
  out.u64(8);  // key/value pairs
  key("tokenizer.ggml.model", kString);
  out.str("llama");
  array("tokenizer.ggml.tokens", kString);
  for (const TokenEntry& e : entries) out.str(e.token);
  array("tokenizer.ggml.scores", kFloat32);
  for (const TokenEntry& e : entries) out.u32(std::bit_cast<uint32_t>(e.score));
  array("tokenizer.ggml.token_type", kInt32);
  for (const TokenEntry& e : entries) out.u32(e.token_type);
  key("tokenizer.ggml.bos_token_id", kUint32);
  out.u32(special.bos);
  key("tokenizer.ggml.eos_token_id", kUint32);
  out.u32(special.eos);
  key("tokenizer.ggml.unknown_token_id", kUint32);
  out.u32(special.unknown);
  key("tokenizer.ggml.padding_token_id", kUint32);
  out.u32(special.padding);
}

struct CountingSink {
  size_t size = 0;
  void bytes(std::string_view b) noexcept { size += b.size(); }
  void u32(uint32_t) noexcept { size += 4; }
  void u64(uint64_t) noexcept { size += 8; }
  void str(std::string_view s) noexcept { size += 8 + s.size(); }
};

struct WritingSink {
  uint8_t* p;
  void bytes(std::string_view b) noexcept {
    if (!b.empty()) std::memcpy(p, b.data(), b.size());
    p += b.size();
  }
  void u32(uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<uint8_t>(v >> (8 * i));
  }
  void u64(uint64_t v) noexcept {
    for (int i = 0; i < 8; ++i) *p++ = static_cast<uint8_t>(v >> (8 * i));
  }
  void str(std::string_view s) noexcept {
    u64(s.size());
    bytes(s);
  }
};

// The entry array of the file's root value, or null when the shape is wrong.
std::optional<simdjson::dom::array> entry_array(simdjson::dom::element root) {
  if (root.type() == element_type::OBJECT) {
    // A repeated key counts with its last value, as in most JSON readers.
    simdjson::dom::object members = root.get_object().value_unsafe();
    std::optional<simdjson::dom::element> vocab;
    for (simdjson::dom::key_value_pair member : members) {
      if (member.key == "vocab") vocab = member.value;
    }
    if (!vocab) return std::nullopt;
    root = *vocab;
  }
  if (root.type() != element_type::ARRAY) return std::nullopt;
  return root.get_array().value_unsafe();
}

constexpr std::string_view kNotVocabulary = "not a vocabulary";

}  // namespace

GgufTokenType classify_token_type(std::string_view t) noexcept {
  if (is_byte_token(t)) return GgufTokenType::byte;
  if (is_one_of(t, {"<unk>", "<|unk|>"})) return GgufTokenType::unknown;
  if (is_one_of(t, {"<s>", "</s>", "<pad>", "<|bos|>", "<|eos|>", "<|pad|>"})) {
    return GgufTokenType::control;
  }
  if (t.starts_with("<|user_") || t.starts_with("<|custom_")) return GgufTokenType::user_defined;
  // "<|>" counts: the opening and closing pair may share their middle bar.
  if (t.size() >= 3 && t.starts_with("<|") && t.ends_with("|>")) return GgufTokenType::control;
  return GgufTokenType::normal;
}

bool push_entry(std::vector<TokenEntry>& entries, size_t index, simdjson::dom::element value) {
  if (value.type() != element_type::ARRAY) return false;
  simdjson::dom::array items = value.get_array().value_unsafe();
  if (items.size() < 2) return false;
  simdjson::dom::element token = items.at(0).value_unsafe();
  if (token.type() != element_type::STRING) return false;
  std::optional<double> score = json::number_as_f64(items.at(1).value_unsafe());
  if (!score) return false;
  std::optional<uint32_t> id = static_cast<uint32_t>(index);
  if (items.size() >= 3) {
    id = json::plain_u32(items.at(2).value_unsafe());
    if (!id) return false;
  }
  std::string_view text = token.get_string().value_unsafe();
  entries.push_back(TokenEntry{std::string(text), static_cast<float>(*score), *id,
                               static_cast<uint32_t>(classify_token_type(text))});
  return true;
}

Result<std::vector<TokenEntry>> parse_vocab_json(std::string_view text) {
  Result<json::Document> doc = json::Document::parse(text);
  if (!doc) return std::move(doc).error();
  std::optional<simdjson::dom::array> items = entry_array(doc->root());
  if (!items) return make_error(std::string(kNotVocabulary));
  std::vector<TokenEntry> entries;
  entries.reserve(items->size());
  size_t index = 0;
  for (simdjson::dom::element value : *items) {
    if (!push_entry(entries, index++, value)) return make_error(std::string(kNotVocabulary));
  }
  if (entries.empty()) return make_error(std::string(kNotVocabulary));
  std::sort(entries.begin(), entries.end(),
            [](const TokenEntry& a, const TokenEntry& b) { return a.id < b.id; });
  for (size_t k = 0; k < entries.size(); ++k) {
    if (entries[k].id != k) return make_error(std::string(kNotVocabulary));
  }
  return entries;
}

GgufSpecialIds special_token_ids(const std::vector<TokenEntry>& entries) noexcept {
  GgufSpecialIds ids;
  for (const TokenEntry& e : entries) {
    std::string_view t = e.token;
    if (is_one_of(t, {"<s>", "<|bos|>"})) ids.bos = e.id;
    if (is_one_of(t, {"</s>", "<|eos|>"})) ids.eos = e.id;
    if (is_one_of(t, {"<unk>", "<|unk|>"})) ids.unknown = e.id;
    if (is_one_of(t, {"<pad>", "<|pad|>"})) ids.padding = e.id;
  }
  return ids;
}

size_t gguf_image_size(const std::vector<TokenEntry>& entries) noexcept {
  CountingSink sink;
  emit_image(entries, sink);
  return sink.size;
}

void write_gguf_image(const std::vector<TokenEntry>& entries, uint8_t* out) noexcept {
  WritingSink sink{out};
  emit_image(entries, sink);
}

Result<std::string> read_file(const char* path) {
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file(std::fopen(path, "rb"));
  if (!file) return make_error("cannot open the file");
  std::string content;
  struct stat info;
  if (fstat(fileno(file.get()), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<size_t>(info.st_size));
  }
  char chunk[65536];
  while (size_t got = std::fread(chunk, 1, sizeof chunk, file.get())) content.append(chunk, got);
  // A directory opens but fails on the first read.
  if (std::ferror(file.get())) return make_error("cannot read the file");
  return content;
}

}  // namespace brindlore
