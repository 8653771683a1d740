// The fused encode paths of the module `pipeline`: one raw text through
// normalization, pre-tokenization and the cached decode in a single call, to
// token texts or to ids.
//
// Every road runs the same text encode (`encode_text_tokens`/`encode_text_ids`)
// and differs only in what it does first and how it words failures:
//  - the fused encoders refuse texts that could come out differently from the
//    host's own pipeline (`native_security_gate`), then run the text encode
//    with the caller's switches;
//  - the tokenizer object runs the text encode with fixed switches and no gate;
//  - the whole-batch id encoder (`encode_text_batch_ids_into`) does its own light
//    normalization and cuts with the plain pattern.
//
// All functions are pure apart from the trie's segmentation cache (behind its
// own lock), read the trie only, and may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/normalizer.h"
#include "core/trie.h"

namespace brindlore {

inline constexpr std::string_view kEscapeCharactersMessage =
    "text contains private-use metaspace escape characters; use the Python pipeline";
inline constexpr std::string_view kControlTokenMessage =
    "text contains control-token syntax after NFKC; use the Python pipeline";

// Refuses a raw text holding U+E000 or U+E001, then one whose NFKC form holds
// "<|". No option changes what it refuses. `text` must be valid UTF-8.
Status native_security_gate(std::string_view text);

// What the text encode needs besides the text and the trie.
struct TextEncoding {
  char32_t space_char = 0x2581;
  NormalizeSwitches switches;
  bool byte_fallback = true;
  // Put before "decoded token ... has no integer ID" by the id encode.
  std::string_view missing_id_prefix;
  // Snap the pieces to grapheme clusters (the C interface cuts without).
  bool snap_to_graphemes = true;
  // The id an id encode gives a token that has none; without it, such a
  // token fails the encode.
  std::optional<uint32_t> missing_id;
};

// Normalizes valid UTF-8 `text`, cuts it with the full pattern into pieces
// snapped to grapheme clusters and decodes each through the trie's cache; the
// result holds every piece's token texts, piece after piece. Fails with the
// normalizer's or the decoder's message, never with a partial result.
Result<std::vector<std::string>> encode_text_tokens(std::string_view text,
                                                    const RustPrefixTrie& trie,
                                                    const TextEncoding& how);

// The same to ids; a token without an id fails with
// "<missing_id_prefix>decoded token <quoted> has no integer ID".
Result<std::vector<uint32_t>> encode_text_ids(std::string_view text, const RustPrefixTrie& trie,
                                              const TextEncoding& how);

// The id encode appending to `out`, with per-thread buffers reused from text
// to text; on failure `out` may hold part of the text's ids.
Status encode_text_ids_into(std::string_view text, const RustPrefixTrie& trie,
                            const TextEncoding& how, std::vector<uint32_t>& out);

// The fused encode of one text: the gate, then the text encode with these
// options (the parameters in the order of the Python functions, the six
// normalization switches as one struct).
Result<std::vector<std::string>> encode_text_native_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    const NormalizeSwitches& switches);

// The same to ids, with the prefix "rust_encode_text_native_ids: " on the
// missing-id message.
Result<std::vector<uint32_t>> encode_text_native_ids_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    const NormalizeSwitches& switches);

// `encode_text_native_ids_inner` appending to `out` (which may hold part of
// the text's ids on failure).
Status encode_text_native_ids_into(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback, char32_t space_char,
                                   const NormalizeSwitches& switches, std::vector<uint32_t>& out);

// The light normalization of the whole-batch id encoder: NFKC of valid UTF-8
// `text`, then U+0020 and the Unicode spaces of `is_unicode_space` become
// `space_char`; nothing is escaped. Replaces the contents of `out`.
void nfkc_with_spaces(std::string_view text, char32_t space_char, std::string& out);

// The per-text work of the whole-batch id encoder, for the text at `index` of
// its batch, appending the text's ids to `out` (which may hold part of them
// on failure): `nfkc_with_spaces`, the plain pattern snapped to grapheme
// clusters, the cached decode of every chunk. A failed decode is reported as
// "rust_encode_text_batch: Viterbi decode failed for input #<index> (chunk
// <quoted>): <decoder message>". The caller refuses a reserved `space_char`.
Status encode_text_batch_ids_into(std::string_view text, size_t index, const RustPrefixTrie& trie,
                                  bool byte_fallback, char32_t space_char,
                                  std::vector<uint32_t>& out);

}  // namespace brindlore
