#include "core/pipeline.h"

#include <algorithm>

#include "core/debug_quote.h"
#include "core/pretokenizer.h"
#include "core/thread_locals.h"
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

Status append_tokens(const SpanList& spans, const RustPrefixTrie& trie,
                     std::vector<std::string>& out) {
  grow_for(out, spans.size());
  BytePieceText buffer(0);
  for (const CachedSpan& span : spans) out.emplace_back(span_text(span, trie, buffer));
  return Ok{};
}

// Token texts need the segmentation; ids are mostly kept beside the key.
constexpr bool needs_segmentation(const std::vector<std::string>*) { return true; }
constexpr bool needs_segmentation(const std::vector<uint32_t>*) { return false; }

Status append_piece(const CachedPiece& piece, const RustPrefixTrie& trie, const TextEncoding&,
                    std::vector<std::string>& out) {
  return append_tokens(piece.span_list(), trie, out);
}

Status append_piece(const CachedPiece& piece, const RustPrefixTrie& trie, const TextEncoding& how,
                    std::vector<uint32_t>& out) {
  return append_ids(piece, trie, how.missing_id_prefix, out, how.missing_id);
}

Status pass_through(std::string_view, CoreError error) { return error; }

// Buffers that the text encode of a thread reuses from text to text, so that
// the steady state allocates nothing per text but its result.
struct TextScratch {
  std::string normalized;
  std::vector<ByteRange> pieces;
  std::vector<SegCache::Probe> keys;

  // Gives back the room an unusually long text took, so that a thread does
  // not keep hundreds of megabytes for the rest of its life after one.
  void trim() {
    constexpr size_t kKeepBytes = size_t{1} << 20;
    if (normalized.capacity() > kKeepBytes) normalized = {};
    if (pieces.capacity() * sizeof(ByteRange) > kKeepBytes) pieces = {};
    if (keys.capacity() * sizeof(SegCache::Probe) > kKeepBytes) keys = {};
  }
};

TextScratch& thread_scratch() {
  return ThreadLocal<TextScratch>::get();
}

const ThreadLocalMaker kMakesTextScratch([] { thread_scratch(); });

// Cuts `text` with `pattern` into pieces (snapped to grapheme clusters when the
// rules say so), decodes each through the cache and appends its tokens or ids
// to `out`. A decoder failure is reported as `on_decode_failure(piece, error)`
// returns it. `text` may be the thread's `normalized` buffer, which is trimmed
// once the text is done.
template <typename T, typename OnDecodeFailure>
Status encode_pieces(std::string_view text, const PretokPattern& pattern,
                     const RustPrefixTrie& trie, const TextEncoding& how,
                     OnDecodeFailure&& on_decode_failure, std::vector<T>& out) {
  TextScratch& scratch = thread_scratch();
  struct Trim {
    TextScratch& scratch;
    ~Trim() { scratch.trim(); }
  } trim{scratch};
  std::vector<ByteRange>& pieces = scratch.pieces;
  pieces.clear();
  if (how.snap_to_graphemes) {
    snapped_pretoken_ranges(text, pattern, pieces);
  } else {
    pattern.find_all(text, pieces);
  }
  grow_for(out, 2 * pieces.size());
  // Every piece is hashed first, and the cache told at once where its lookup
  // goes, so that the slots of a text's first pieces arrive in time too.
  FrontCache& front = FrontCache::of_this_thread();
  LatticeMemory& memory = lattice_memory();
  constexpr bool need_segmentation = needs_segmentation(static_cast<std::vector<T>*>(nullptr));
  // Id encodes go to the table all threads share (see seg_front_cache.h).
  SharedIdFront* shared = need_segmentation ? nullptr : SharedIdFront::instance();
  // The loops below read the buffers through plain pointers: through the
  // thread-local object, the compiler would find its address again (a call in
  // a shared library) at every piece.
  if (scratch.keys.size() < pieces.size()) scratch.keys.resize(pieces.size());
  SegCache::Probe* const keys = scratch.keys.data();
  const ByteRange* const ranges = pieces.data();
  const size_t count = pieces.size();
  const SegCache& cache = trie.seg_cache();
  for (size_t i = 0; i < count; ++i) {
    keys[i] = cache.probe(how.byte_fallback,
                          text.substr(ranges[i].start, ranges[i].end - ranges[i].start));
    cache.prefetch(keys[i].hash);
    // The tables keep short pieces only.
    if (need_segmentation) {
      if (keys[i].text.size() <= FrontCache::kMaxKeyBytes) front.prefetch(keys[i].hash);
    } else if (shared && keys[i].text.size() <= SharedIdFront::kMaxKeyBytes) {
      shared->prefetch(keys[i].hash);
    }
  }
  for (size_t i = 0; i < count; ++i) {
    if constexpr (!need_segmentation) {
      // The common case in place: the piece's ids straight from the table.
      InlineIds ids;
      if (shared && shared->find(cache.generation(), keys[i], ids)) {
        out.insert(out.end(), ids.ids, ids.ids + ids.count);
        continue;
      }
    }
    Result<CachedPiece> decoded =
        decode_cached_here(keys[i], trie, need_segmentation, front, memory);
    if (!decoded) return on_decode_failure(keys[i].text, std::move(decoded).error());
    if (Status added = append_piece(*decoded, trie, how, out); !added) return added;
  }
  front.release_held();
  return Ok{};
}

// The text encode that every fused road shares, appending to `out`.
template <typename T>
Status encode_text_into(std::string_view text, const RustPrefixTrie& trie, const TextEncoding& how,
                        std::vector<T>& out) {
  std::string& normalized = thread_scratch().normalized;
  if (Status done = normalize_into(text, how.space_char, how.switches, normalized); !done) {
    return done;
  }
  return encode_pieces<T>(normalized, get_full_pretok_regex(), trie, how, pass_through, out);
}

template <typename T>
Result<std::vector<T>> encode_text(std::string_view text, const RustPrefixTrie& trie,
                                   const TextEncoding& how) {
  std::vector<T> out;
  if (Status done = encode_text_into<T>(text, trie, how, out); !done) {
    return std::move(done).error();
  }
  return out;
}

// The settings of the fused encodes: the caller's options.
TextEncoding native_encoding(bool byte_fallback, char32_t space_char,
                             const NormalizeSwitches& switches,
                             std::string_view missing_id_prefix) {
  TextEncoding how;
  how.space_char = space_char;
  how.switches = switches;
  how.byte_fallback = byte_fallback;
  how.missing_id_prefix = missing_id_prefix;
  return how;
}

// The fused encode: the gate, then the text encode with the caller's options.
template <typename T>
Result<std::vector<T>> encode_text_native(std::string_view text, const RustPrefixTrie& trie,
                                          bool byte_fallback, char32_t space_char,
                                          const NormalizeSwitches& switches,
                                          std::string_view missing_id_prefix) {
  if (Status passed = native_security_gate(text); !passed) return std::move(passed).error();
  return encode_text<T>(text, trie,
                        native_encoding(byte_fallback, space_char, switches, missing_id_prefix));
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

Status encode_text_ids_into(std::string_view text, const RustPrefixTrie& trie,
                            const TextEncoding& how, std::vector<uint32_t>& out) {
  return encode_text_into<uint32_t>(text, trie, how, out);
}

Status encode_text_native_ids_into(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback, char32_t space_char,
                                   const NormalizeSwitches& switches, std::vector<uint32_t>& out) {
  if (Status passed = native_security_gate(text); !passed) return passed;
  return encode_text_into<uint32_t>(
      text, trie, native_encoding(byte_fallback, space_char, switches, kNativeIdsPrefix), out);
}

Result<std::vector<std::string>> encode_text_native_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    const NormalizeSwitches& switches) {
  return encode_text_native<std::string>(text, trie, byte_fallback, space_char, switches, {});
}

Result<std::vector<uint32_t>> encode_text_native_ids_inner(
    std::string_view text, const RustPrefixTrie& trie, bool byte_fallback, char32_t space_char,
    const NormalizeSwitches& switches) {
  return encode_text_native<uint32_t>(text, trie, byte_fallback, space_char, switches,
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

Status encode_text_batch_ids_into(std::string_view text, size_t index, const RustPrefixTrie& trie,
                                  bool byte_fallback, char32_t space_char,
                                  std::vector<uint32_t>& out) {
  std::string& mapped = thread_scratch().normalized;
  nfkc_with_spaces(text, space_char, mapped);
  TextEncoding how;
  how.byte_fallback = byte_fallback;
  how.missing_id_prefix = kTextBatchPrefix;
  return encode_pieces<uint32_t>(
      mapped, get_pretok_regex(), trie, how,
      [index](std::string_view chunk, CoreError error) -> Status {
        std::string message(kTextBatchPrefix);
        message += "Viterbi decode failed for input #";
        message += std::to_string(index);
        message += " (chunk ";
        message += debug_quote(chunk);
        message += "): ";
        message += error.message;
        return make_error(std::move(message));
      },
      out);
}

}  // namespace brindlore
