#include "core/vocab_json.h"

#include <optional>

#include "core/json.h"

namespace brindlore {
namespace {

using simdjson::dom::element_type;

// The (token, score, id) of one entry value, or absent when its shape is wrong.
std::optional<VocabTriple> read_triple(simdjson::dom::element value) {
  if (value.type() != element_type::ARRAY) return std::nullopt;
  simdjson::dom::array items = value.get_array().value_unsafe();
  if (items.size() != 3) return std::nullopt;
  simdjson::dom::element token = items.at(0).value_unsafe();
  if (token.type() != element_type::STRING) return std::nullopt;
  std::optional<double> score = json::number_as_f64(items.at(1).value_unsafe());
  std::optional<uint32_t> id = json::plain_u32(items.at(2).value_unsafe());
  if (!score || !id) return std::nullopt;
  return VocabTriple{std::string(token.get_string().value_unsafe()), *score, *id};
}

// One pass over the entries in array order with one flag per id: passing it
// makes the ids exactly a permutation of 0 to n-1.
Status check_ids_and_unk(const std::vector<VocabTriple>& entries) {
  std::vector<bool> seen(entries.size(), false);
  bool has_unk = false;
  for (const VocabTriple& e : entries) {
    if (e.id >= entries.size() || seen[e.id]) {
      return make_error("vocabulary ids must be 0 to n-1, each once");
    }
    seen[e.id] = true;
    has_unk = has_unk || e.token == kUnkToken;
  }
  if (!has_unk) return make_error("vocabulary has no \"<|unk|>\" token");
  return Ok{};
}

}  // namespace

Result<std::vector<VocabTriple>> parse_vocab_triples(std::string_view text) {
  Result<json::Document> doc = json::Document::parse(text);
  if (!doc) return std::move(doc).error();
  simdjson::dom::element root = doc->root();
  if (root.type() != element_type::ARRAY) return make_error("vocabulary must be a JSON array");
  simdjson::dom::array items = root.get_array().value_unsafe();
  std::vector<VocabTriple> entries;
  entries.reserve(items.size());
  for (simdjson::dom::element value : items) {
    std::optional<VocabTriple> entry = read_triple(value);
    if (!entry) return make_error("vocabulary entry must be [token, score, id]");
    entries.push_back(std::move(*entry));
  }
  if (entries.empty()) return make_error("vocabulary must not be empty");
  if (Status checked = check_ids_and_unk(entries); !checked) return std::move(checked).error();
  return entries;
}

}  // namespace brindlore
