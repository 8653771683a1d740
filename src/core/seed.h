// Seed n-gram mining: every run of 1 to L extended grapheme clusters of a set
// of weighted text chunks, counted with the chunk's weight, to seed the
// candidate pieces of vocabulary training.
//
// What is counted:
//  - a chunk that is a special token, or is written as a control token
//    ("<|" ... "|>", the two pairs may overlap), is not mined;
//  - n-grams are made of whole clusters;
//  - no n-gram starts on a cluster whose first character is a combining mark
//    (Mn, Mc, Me);
//  - a CJK chunk (see `is_cjk_chunk`) is mined only up to
//    `kCjkMaxNgramLength` clusters.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "core/seeded_hash.h"

namespace brindlore {

// The longest n-gram of a CJK chunk, in clusters, whatever the caller asks.
inline constexpr uint64_t kCjkMaxNgramLength = 4;

// True when the first decisive character of `chunk` (valid UTF-8) is Han,
// kana or a Hangul syllable. Decisive are ASCII letters and digits, Latin-1
// and Latin Extended letters (U+00C0..U+024F), the Indic blocks
// (U+0900..U+0D7F), Arabic, Cyrillic, Thai and every numeric character (Nd,
// Nl, No), which all say "not CJK", and the CJK ranges, which say "CJK".
// Everything else (spaces, U+2581, private use, punctuation, symbols, other
// scripts) is passed over; a chunk with no decisive character is not CJK.
// Stops at the first decisive character. Pure and thread-safe.
bool is_cjk_chunk(std::string_view chunk) noexcept;

// One chunk of the input: its text (valid UTF-8) and its weight.
struct WeightedChunk {
  std::string_view text;
  uint64_t count = 0;
};

// N-gram text to summed weight. Keys are views into the chunk texts they
// were found in (an n-gram is a substring of its chunk), so counting copies
// no text; the map is valid only while those texts are. Iteration order is
// unspecified and differs between maps (each has its own hash seed).
using NgramCounts =
    boost::unordered_flat_map<std::string_view, uint64_t, SeededTextHash, std::equal_to<>>;

// Counts the n-grams of 1 to `max_ngram_length` clusters of every chunk,
// each occurrence weighted by its chunk's count. A total that would pass
// 2^64 - 1 stays at 2^64 - 1. `special_tokens` are compared to whole chunks
// byte for byte. Work is at most (clusters of a chunk) x L map updates per
// chunk; any `max_ngram_length` is safe (it is bounded by the cluster count).
// The result's keys view into `chunks`' texts (see NgramCounts). Pure and
// thread-safe; throws only std::bad_alloc.
NgramCounts mine_ngrams(std::span<const WeightedChunk> chunks, uint64_t max_ngram_length,
                        std::span<const std::string_view> special_tokens);

}  // namespace brindlore
