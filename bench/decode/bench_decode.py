"""Decoding: agreement with sentencepiece and throughput against sentencepiece and tokenizers.

Words are the white-space separated words of ../shared/bench/corpus.txt, each
prefixed with U+2581. The trie holds ../shared/bench/vocab-unigram-32k.json;
sentencepiece loads ../shared/bench/uni32k.model (and adds the U+2581 itself to
the bare word); tokenizers gets a Unigram model built from the same vocabulary.

A decode-heavy figure decodes every whole line (spaces as U+2581) as one
piece, to show how the pool scales when decoding dominates the call.

Speed is measured in subprocesses: one with RAYON_NUM_THREADS=1 (sentencepiece
with one thread) and one with every core. Prints ratios against the peers
measured in the same run. Skips when ../shared is absent.

    python bench/decode/bench_decode.py
"""

import json
import math
import os
import pathlib
import sys
import unicodedata

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from benchlib import (  # noqa: E402
    BENCH, CORPUS, MODEL, VOCAB, best_of, measure_in_subprocess, trie_of, warm_note)


def load_words():
    text = CORPUS.read_text(encoding="utf-8")
    return [w for line in text.splitlines() for w in line.split()]


def load_trie():
    return trie_of(json.loads(VOCAB.read_text(encoding="utf-8")))


def load_sentencepiece():
    import sentencepiece

    return sentencepiece.SentencePieceProcessor(model_file=str(MODEL))


def load_tokenizers():
    from tokenizers import Tokenizer, models

    vocab = json.loads(VOCAB.read_text(encoding="utf-8"))
    return Tokenizer(models.Unigram([(t, s) for t, s, _ in vocab], unk_id=0, byte_fallback=True))


def is_byte_piece(token):
    return len(token) == 6 and token.startswith("<0x") and token.endswith(">")


def agreement():
    import brindlore_core

    words = sorted(set(load_words()))
    trie, sp = load_trie(), load_sentencepiece()
    ours = brindlore_core.rust_encode_tokens_batch(["\u2581" + w for w in words], trie, True)
    theirs = sp.encode(words, out_type=str)
    compared, differing = 0, []
    for word, a, b in zip(words, ours, theirs):
        if unicodedata.normalize("NFKC", word) != word:
            continue
        if any(map(is_byte_piece, a)) or any(map(is_byte_piece, b)):
            continue
        compared += 1
        if a != b:
            differing.append((word, a, b))
    share = 1 - len(differing) / compared
    print(f"agreement: {compared - len(differing)}/{compared} distinct words = {share:.5%}")
    scores = {t: s for t, s, _ in json.loads(VOCAB.read_text(encoding="utf-8"))}
    ties = 0
    for word, a, b in differing:
        # A tie: both sequences hold the same pieces, or their exact sums agree.
        tie = sorted(a) == sorted(b) or math.fsum(scores[t] for t in a) == math.fsum(scores[t] for t in b)
        ties += tie
        print(f"  {word!r}: ours {a} / sentencepiece {b}{'  (tie)' if tie else '  (NOT A TIE)'}")
    print(f"differing words that are exact score ties: {ties}/{len(differing)}")
    return differing


def measure(threads):
    """Runs in a subprocess; prints seconds per engine as JSON."""
    import brindlore_core

    words = load_words()
    prefixed = ["\u2581" + w for w in words]
    trie, sp, hf = load_trie(), load_sentencepiece(), load_tokenizers()
    encode = brindlore_core.rust_encode_ids_batch

    def uncached(texts):
        """Best time of one call with the cache cleared before each run."""
        return best_of(lambda: encode(texts, trie, True), before=trie.clear_seg_cache)

    cold = uncached(prefixed)
    encode(prefixed, trie, True)
    cache_before = trie.seg_cache_len()
    warm = best_of(lambda: encode(prefixed, trie, True))
    cache_after = trie.seg_cache_len()
    # Decode-heavy texts: whole lines as one piece each (spaces as U+2581).
    text = CORPUS.read_text(encoding="utf-8")
    heavy = uncached(["\u2581" + line.replace(" ", "\u2581") for line in text.splitlines()])
    sp_threads = 1 if threads == 1 else os.cpu_count()
    spm = best_of(lambda: sp.encode(words, out_type=int, num_threads=sp_threads))
    hft = best_of(lambda: hf.encode_batch_fast(prefixed, add_special_tokens=False))
    print(json.dumps({"cold": cold, "warm": warm, "sentencepiece": spm, "tokenizers": hft,
                      "lines": heavy, "words": len(words),
                      "warm_note": warm_note(len(set(prefixed)), cache_before, cache_after)}))


def main():
    if not (VOCAB.exists() and CORPUS.exists() and MODEL.exists()):
        print(f"skipped: {BENCH} not found")
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "--measure":
        measure(int(sys.argv[2]))
        return 0
    agreement()
    cores = os.cpu_count()
    single, parallel = measure_in_subprocess(__file__, 1), measure_in_subprocess(__file__, cores)
    words = single["words"]
    for label, r in (("1 thread", single), (f"{cores} threads", parallel)):
        print(f"{label}: {words:,} words")
        for key in ("cold", "warm", "sentencepiece", "tokenizers"):
            print(f"  {key:14s} {words / r[key]:>14,.0f} words/s")
        print(f"  uncached vs sentencepiece: {r['sentencepiece'] / r['cold']:.2f}x,"
              f" vs tokenizers: {r['tokenizers'] / r['cold']:.2f}x")
        print(f"  warm     vs sentencepiece: {r['sentencepiece'] / r['warm']:.2f}x,"
              f" vs tokenizers: {r['tokenizers'] / r['warm']:.2f}x")
        print(f"  {r['warm_note']}")
    for key in ("cold", "warm", "sentencepiece", "tokenizers", "lines"):
        scale = single[key] / parallel[key]
        print(f"parallel scaling {key:14s} {scale:.2f}x on {cores} cores"
              f" ({scale / cores:.2f} x core count)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
