// Decoded pieces: the compact form the decoder produces and the cache keeps,
// and the readable spans made from it.
//
// A compact span is 8 bytes: the index of its token in the trie's token
// table (or a byte piece), and the token's id as it was when the piece was
// decoded. Texts and offsets are not stored: a token index names the same
// text for the trie's whole life, byte pieces spell their byte, and offsets
// follow from the token lengths in order. Reading a segmentation therefore
// needs the trie it was decoded with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brindlore {

class RustPrefixTrie;

// One decoded token, readable on its own: text, optional id and character
// offsets into the decoded text (end exclusive). The byte pieces of one
// character all carry that character's offsets.
struct ViterbiSpan {
  std::string token;
  std::optional<uint32_t> token_id;
  size_t start = 0;
  size_t end = 0;
};

// One decoded token in compact form.
struct CachedSpan {
  // Token indexes run below this; kBytePieces + b is the byte piece of b.
  static constexpr uint32_t kBytePieces = 0x7FFFFF00u;
  static constexpr uint32_t kHasId = 0x80000000u;

  uint32_t code;  // the token index or byte piece, with kHasId
  uint32_t id;    // meaningful with kHasId

  static CachedSpan make(uint32_t piece, std::optional<uint32_t> token_id) noexcept {
    return CachedSpan{piece | (token_id ? kHasId : 0u), token_id.value_or(0)};
  }
  uint32_t piece() const noexcept { return code & ~kHasId; }
  bool is_byte_piece() const noexcept { return piece() >= kBytePieces; }
  unsigned char byte() const noexcept { return static_cast<unsigned char>(piece() - kBytePieces); }
  bool has_id() const noexcept { return (code & kHasId) != 0; }
  std::optional<uint32_t> token_id() const noexcept {
    return code & kHasId ? std::optional<uint32_t>(id) : std::nullopt;
  }
};

// The spans of one piece, in text order. Most pieces decode to a few tokens,
// which are kept in place, next to the segmentation's reference count, so
// that reading a cached segmentation touches one block of memory. A list that
// is written again and again (a thread's decode buffer) keeps the largest room
// it has had.
class SpanList {
 public:
  SpanList() = default;
  SpanList(const SpanList&) = delete;
  SpanList& operator=(const SpanList&) = delete;

  // Makes room for exactly `n` spans, to be written through `data()`; what
  // the list held is lost.
  void resize_for_overwrite(size_t n) {
    if (n > capacity_) {
      heap_ = std::make_unique_for_overwrite<CachedSpan[]>(n);
      capacity_ = static_cast<uint32_t>(n);
    }
    size_ = static_cast<uint32_t>(n);
  }
  void assign(std::span<const CachedSpan> spans) {
    resize_for_overwrite(spans.size());
    if (!spans.empty()) std::memcpy(data(), spans.data(), spans.size_bytes());
  }
  // Empties the list and gives back its room beyond the inline spans.
  void release() noexcept {
    heap_.reset();
    size_ = 0;
    capacity_ = kInline;
  }
  CachedSpan* data() noexcept { return heap_ ? heap_.get() : inline_; }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  const CachedSpan* begin() const noexcept { return heap_ ? heap_.get() : inline_; }
  const CachedSpan* end() const noexcept { return begin() + size_; }
  const CachedSpan& operator[](size_t i) const noexcept { return begin()[i]; }
  std::span<const CachedSpan> view() const noexcept { return {begin(), size_}; }

 private:
  static constexpr uint32_t kInline = 4;
  uint32_t size_ = 0;
  uint32_t capacity_ = kInline;
  CachedSpan inline_[kInline];
  std::unique_ptr<CachedSpan[]> heap_;
};

// The decode result of one piece. Never changed once handed out.
struct CachedSegmentation {
  SpanList spans;
};

using SegmentationRef = std::shared_ptr<const CachedSegmentation>;

// The text of a byte piece, "<0x" + two upper-case hex digits + ">", in a
// fixed buffer.
struct BytePieceText {
  char text[6];
  explicit BytePieceText(unsigned char byte) noexcept {
    static constexpr char kHex[] = "0123456789ABCDEF";
    text[0] = '<';
    text[1] = '0';
    text[2] = 'x';
    text[3] = kHex[byte >> 4];
    text[4] = kHex[byte & 0xF];
    text[5] = '>';
  }
  std::string_view view() const noexcept { return {text, sizeof text}; }
};

// One span read back from a compact segmentation. `token` points into the
// trie or into the reader, valid until the reader's next step.
struct SpanView {
  std::string_view token;
  std::optional<uint32_t> token_id;
  size_t start = 0;
  size_t end = 0;
};

// Reads a segmentation's spans in order, with their texts and offsets, over
// the trie that decoded it. The trie must not change while reading (callers
// hold it in shared use); tokens inserted after the decode do not matter.
class SpanReader {
 public:
  SpanReader(const CachedSegmentation& segmentation, const RustPrefixTrie& trie) noexcept
      : spans_(segmentation.spans), trie_(trie) {}

  bool done() const noexcept { return next_ == spans_.size(); }
  // The next span; only while not `done()`.
  const SpanView& next() noexcept;

 private:
  const SpanList& spans_;
  const RustPrefixTrie& trie_;
  size_t next_ = 0;
  size_t position_ = 0;  // end of the last character read, in characters
  SpanView view_;
  char byte_text_[6] = {};
};

// The text of a compact span (a byte piece's text is built in `buffer`).
std::string_view span_text(const CachedSpan& span, const RustPrefixTrie& trie,
                           BytePieceText& buffer) noexcept;

}  // namespace brindlore
