#include "core/segmentation.h"

#include <cstring>

#include "core/trie.h"

namespace brindlore {

std::string_view span_text(const CachedSpan& span, const RustPrefixTrie& trie,
                           BytePieceText& buffer) noexcept {
  if (!span.is_byte_piece()) return trie.token_text(span.piece());
  buffer = BytePieceText(span.byte());
  return buffer.view();
}

const SpanView& SpanReader::next() noexcept {
  const CachedSpan& span = spans_[next_++];
  view_.token_id = span.token_id();
  if (span.is_byte_piece()) {
    const BytePieceText text(span.byte());
    std::memcpy(byte_text_, text.text, sizeof byte_text_);
    view_.token = std::string_view(byte_text_, sizeof byte_text_);
    // A continuation byte belongs to the character its lead byte opened.
    if ((span.byte() & 0xC0) != 0x80) {
      view_.start = position_;
      view_.end = ++position_;
    }
    return view_;
  }
  view_.token = trie_.token_text(span.piece());
  view_.start = position_;
  position_ += trie_.token_chars(span.piece());
  view_.end = position_;
  return view_;
}

}  // namespace brindlore
