#include "core/pipeline.h"

#include <algorithm>

#include "core/debug_quote.h"
#include "core/pretokenizer.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"
#include "core/viterbi.h"

namespace brindlore {
namespace {

// ---- the gate ----

// U+E000 is EE 80 80 and U+E001 is EE 80 81 in UTF-8.
bool holds_escape_characters(std::string_view text) noexcept {
  for (size_t at = text.find('\xEE'); at != std::string_view::npos;
       at = text.find('\xEE', at + 1)) {
    if (at + 2 < text.size() && text[at + 1] == '\x80' &&
        (text[at + 2] == '\x80' || text[at + 2] == '\x81')) {
      return true;
    }
  }
  return false;
}

// ---- collecting the output ----

// Makes room for `extra` more items, at least doubling when it grows, so that
// growing once per piece stays linear over a long text.
template <typename T>
void grow_for(std::vector<T>& out, size_t extra) {
  const size_t need = out.size() + extra;
  if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
}

Status append_segmentation(const CachedSegmentation& seg, const RustPrefixTrie& trie,
                           std::string_view, std::vector<std::string>& out) {
  grow_for(out, seg.spans.size());
  BytePieceText buffer(0);
  for (const CachedSpan& span : seg.spans) out.emplace_back(span_text(span, trie, buffer));
  return Ok{};
}

Status append_segmentation(const CachedSegmentation& seg, const RustPrefixTrie& trie,
                           std::string_view missing_id_prefix, std::vector<uint32_t>& out) {
  grow_for(out, seg.spans.size());
  for (const CachedSpan& span : seg.spans) {
    if (!span.has_id()) return missing_id_error(span, trie, missing_id_prefix);
    out.push_back(span.id);
  }
  return Ok{};
}

CoreError pass_through(std::string_view, CoreError error) { return error; }

// Cuts `text` with `pattern` into pieces snapped to grapheme clusters, decodes
// each through the cache and appends its tokens or ids. A decoder failure is
// reported as `on_decode_failure(piece, error)` returns it.
template <typename T, typename OnDecodeFailure>
Result<std::vector<T>> encode_pieces(std::string_view text, const PretokPattern& pattern,
                                     const RustPrefixTrie& trie, bool byte_fallback,
                                     std::string_view missing_id_prefix,
                                     OnDecodeFailure&& on_decode_failure) {
  std::vector<ByteRange> pieces;
  snapped_pretoken_ranges(text, pattern, pieces);
  std::vector<T> out;
  out.reserve(2 * pieces.size());
  for (const ByteRange& range : pieces) {
    const std::string_view piece = text.substr(range.start, range.end - range.start);
    Result<SegmentationRef> seg = decode_cached(piece, trie, byte_fallback);
    if (!seg) return on_decode_failure(piece, std::move(seg).error());
    if (Status added = append_segmentation(**seg, trie, missing_id_prefix, out); !added) {
      return std::move(added).error();
    }
  }
  return out;
}

// The text encode that every fused road shares.
template <typename T>
Result<std::vector<T>> encode_text(std::string_view text, const RustPrefixTrie& trie,
                                   const TextEncoding& how) {
  Result<std::string> normalized = normalize_inner(text, how.space_char, how.switches);
  if (!normalized) return std::move(normalized).error();
  return encode_pieces<T>(*normalized, get_full_pretok_regex(), trie, how.byte_fallback,
                          how.missing_id_prefix, pass_through);
}

// The fused encode: the gate, then the text encode with the caller's options.
template <typename T>
Result<std::vector<T>> encode_text_native(std::string_view text, const RustPrefixTrie& trie,
                                          bool byte_fallback, char32_t space_char,
                                          const NormalizeSwitches& switches,
                                          std::string_view missing_id_prefix) {
  if (Status passed = native_security_gate(text); !passed) return std::move(passed).error();
  return encode_text<T>(text, trie,
                        TextEncoding{space_char, switches, byte_fallback, missing_id_prefix});
}

constexpr std::string_view kNativeIdsPrefix = "rust_encode_text_native_ids: ";
constexpr std::string_view kTextBatchPrefix = "rust_encode_text_batch: ";

// A character that starts with one of these bytes may be a Unicode space.
constexpr bool may_start_unicode_space(unsigned char lead) noexcept {
  return lead == 0xC2 || lead == 0xE1 || lead == 0xE2 || lead == 0xE3;
}

}  // namespace

Status native_security_gate(std::string_view text) {
  if (holds_escape_characters(text)) return make_error(std::string(kEscapeCharactersMessage));
  std::string formed_copy;
  const std::string_view formed = unicode::nfkc_into(text, formed_copy) ? formed_copy : text;
  if (formed.find("<|") != std::string_view::npos) {
    return make_error(std::string(kControlTokenMessage));
  }
  return Ok{};
}

Result<std::vector<std::string>> encode_text_tokens(std::string_view text,
                                                    const RustPrefixTrie& trie,
                                                    const TextEncoding& how) {
  return encode_text<std::string>(text, trie, how);
}

Result<std::vector<uint32_t>> encode_text_ids(std::string_view text, const RustPrefixTrie& trie,
                                              const TextEncoding& how) {
  return encode_text<uint32_t>(text, trie, how);
}

Result<std::vector<std::string>> encode_text_native_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    bool normalize_unicode, bool normalize_unicode_spaces, bool normalize_punctuation,
    bool lowercase, bool collapse_whitespaces, bool strip_whitespace) {
  return encode_text_native<std::string>(
      text, trie, byte_fallback, space_char,
      {normalize_unicode, normalize_unicode_spaces, normalize_punctuation, lowercase,
       collapse_whitespaces, strip_whitespace},
      {});
}

Result<std::vector<uint32_t>> encode_text_native_ids_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    bool normalize_unicode, bool normalize_unicode_spaces, bool normalize_punctuation,
    bool lowercase, bool collapse_whitespaces, bool strip_whitespace) {
  return encode_text_native<uint32_t>(
      text, trie, byte_fallback, space_char,
      {normalize_unicode, normalize_unicode_spaces, normalize_punctuation, lowercase,
       collapse_whitespaces, strip_whitespace},
      kNativeIdsPrefix);
}

void nfkc_with_spaces(std::string_view text, char32_t space_char, std::string& out) {
  std::string nfkc_text;
  const std::string_view formed = unicode::nfkc_into(text, nfkc_text) ? nfkc_text : text;
  char space[4];
  const std::string_view space_bytes(space, utf8::encode(space_char, space));
  out.clear();
  out.reserve(text.size() + 8);
  const auto* s = reinterpret_cast<const unsigned char*>(formed.data());
  size_t copied = 0;  // bytes of `formed` already in `out`
  for (size_t i = 0; i < formed.size();) {
    const size_t len = utf8::sequence_length(s[i]);
    const bool space_like = s[i] == ' ' || (may_start_unicode_space(s[i]) &&
                                            is_unicode_space(utf8::decode_at(formed, i)));
    if (space_like) {
      out.append(formed.data() + copied, i - copied);
      out.append(space_bytes);
      copied = i + len;
    }
    i += len;
  }
  out.append(formed.data() + copied, formed.size() - copied);
}

Result<std::vector<uint32_t>> encode_text_batch_ids(std::string_view text, size_t index,
                                                    const RustPrefixTrie& trie, bool byte_fallback,
                                                    char32_t space_char) {
  std::string mapped;
  nfkc_with_spaces(text, space_char, mapped);
  return encode_pieces<uint32_t>(
      mapped, get_pretok_regex(), trie, byte_fallback, kTextBatchPrefix,
      [index](std::string_view chunk, CoreError error) {
        std::string message(kTextBatchPrefix);
        message += "Viterbi decode failed for input #";
        message += std::to_string(index);
        message += " (chunk ";
        message += debug_quote(chunk);
        message += "): ";
        message += error.message;
        return make_error(std::move(message));
      });
}

}  // namespace brindlore
