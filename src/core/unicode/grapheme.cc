// Extended grapheme cluster boundaries (UAX #29, Unicode 16.0). One forward
// pass; the rules that look further back than one character (GB9c, GB11,
// GB12/13) are carried as small states, so the pass is linear.
#include "core/unicode/tables.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore::unicode {

using namespace tables;

namespace {

using GB = GraphemeBreak;
using InCB = IndicConjunctBreak;

// GB11: how far an emoji ZWJ sequence has got before the current character.
enum class EmojiState : uint8_t { None, Pictographic, PictographicZwj };
// GB9c: how far an Indic conjunct has got before the current character.
enum class ConjunctState : uint8_t { None, Consonant, ConsonantLinker };

struct ClusterState {
  EmojiState emoji = EmojiState::None;
  ConjunctState conjunct = ConjunctState::None;
  bool odd_regional = false;  // an odd number of regional indicators ends here
};

bool is_control(GB g) noexcept { return g == GB::Control || g == GB::CR || g == GB::LF; }

bool is_break(GB prev, uint32_t cur_rec, const ClusterState& s) noexcept {
  GB cur = grapheme_break_of(cur_rec);
  if (prev == GB::CR && cur == GB::LF) return false;     // GB3
  if (is_control(prev) || is_control(cur)) return true;  // GB4, GB5
  switch (prev) {
    case GB::L:  // GB6
      if (cur == GB::L || cur == GB::V || cur == GB::LV || cur == GB::LVT) return false;
      break;
    case GB::LV:
    case GB::V:  // GB7
      if (cur == GB::V || cur == GB::T) return false;
      break;
    case GB::LVT:
    case GB::T:  // GB8
      if (cur == GB::T) return false;
      break;
    default:
      break;
  }
  if (cur == GB::Extend || cur == GB::ZWJ || cur == GB::SpacingMark) return false;  // GB9, GB9a
  if (prev == GB::Prepend) return false;                                           // GB9b
  if (s.conjunct == ConjunctState::ConsonantLinker && incb_of(cur_rec) == InCB::Consonant)
    return false;  // GB9c
  if (s.emoji == EmojiState::PictographicZwj && flag(cur_rec, kExtPictShift))
    return false;  // GB11
  if (s.odd_regional && cur == GB::Regional_Indicator) return false;  // GB12, GB13
  return true;  // GB999
}

void advance(ClusterState& s, uint32_t rec) noexcept {
  GB g = grapheme_break_of(rec);
  if (flag(rec, kExtPictShift)) {
    s.emoji = EmojiState::Pictographic;
  } else if (s.emoji == EmojiState::Pictographic && g == GB::ZWJ) {
    s.emoji = EmojiState::PictographicZwj;
  } else if (s.emoji != EmojiState::Pictographic || g != GB::Extend) {
    s.emoji = EmojiState::None;
  }

  InCB incb = incb_of(rec);
  if (incb == InCB::Consonant) {
    s.conjunct = ConjunctState::Consonant;
  } else if (s.conjunct != ConjunctState::None && incb == InCB::Linker) {
    s.conjunct = ConjunctState::ConsonantLinker;
  } else if (incb != InCB::Extend) {
    s.conjunct = ConjunctState::None;
  }

  s.odd_regional = g == GB::Regional_Indicator && !s.odd_regional;
}

}  // namespace

void grapheme_boundaries(std::string_view text, std::vector<size_t>& out) {
  out.clear();
  out.push_back(0);
  if (text.empty()) return;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* p = begin;
  uint32_t rec = record(utf8::decode(p));
  ClusterState state;
  advance(state, rec);
  GB prev = grapheme_break_of(rec);
  while (p < end) {
    const char* at = p;
    rec = record(utf8::decode(p));
    if (is_break(prev, rec, state)) out.push_back(static_cast<size_t>(at - begin));
    advance(state, rec);
    prev = grapheme_break_of(rec);
  }
  out.push_back(text.size());
}

}  // namespace brindlore::unicode
