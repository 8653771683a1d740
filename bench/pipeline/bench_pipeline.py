"""Whole-text encoding: RustTokenizer.encode_ids_batch against sentencepiece and tokenizers.

Texts are the lines of ../shared/bench/corpus.txt. RustTokenizer holds
../shared/bench/vocab-unigram-32k.json; sentencepiece loads
../shared/bench/uni32k.model; tokenizers gets a Unigram model built from the
same vocabulary, with NFKC normalization and a metaspace pre-tokenizer, so all
three normalize, split and decode every line.

"text_batch" is rust_encode_text_batch over a RustPrefixTrie of the same
vocabulary (its own light normalization and the plain pattern; the trie's
cache holds at most 100,000 pieces), warm.

"cold" encodes with an empty segmentation cache (the vocabulary is loaded
again before each run), "warm" with the cache filled by an earlier run. A
per-line figure calls RustTokenizer.encode and sentencepiece's encode once per
line, to show the cost of small calls.

Speed is measured in subprocesses: one with RAYON_NUM_THREADS=1 (sentencepiece
with one thread) and one with every core. Prints ratios against the peers
measured in the same run. Skips when ../shared is absent.

    python bench/pipeline/bench_pipeline.py
"""

import json
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from benchlib import (  # noqa: E402
    BENCH, CORPUS, MODEL, VOCAB, best_of, distinct_pieces, measure_in_subprocess, trie_of,
    warm_note)


def load_lines():
    return [line for line in CORPUS.read_text(encoding="utf-8").splitlines() if line]


def load_vocab():
    return [tuple(entry) for entry in json.loads(VOCAB.read_text(encoding="utf-8"))]


def load_tokenizers(vocab):
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers

    tok = Tokenizer(models.Unigram([(t, s) for t, s, _ in vocab], unk_id=0, byte_fallback=True))
    tok.normalizer = normalizers.NFKC()
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement="\u2581", prepend_scheme="never")
    return tok


def measure(threads):
    """Runs in a subprocess; prints seconds per engine as JSON."""
    import brindlore_core
    import sentencepiece

    lines, vocab = load_lines(), load_vocab()
    ours = brindlore_core.RustTokenizer(vocab)
    sp = sentencepiece.SentencePieceProcessor(model_file=str(MODEL))
    hf = load_tokenizers(vocab)
    cold = best_of(lambda: ours.encode_ids_batch(lines), before=lambda: ours.from_vocab(vocab))
    ours.encode_ids_batch(lines)
    warm = best_of(lambda: ours.encode_ids_batch(lines))
    sp_threads = 1 if threads == 1 else os.cpu_count()
    spm = best_of(lambda: sp.encode(lines, out_type=int, num_threads=sp_threads))
    hft = best_of(lambda: hf.encode_batch_fast(lines, add_special_tokens=False))
    trie = trie_of(vocab)
    text_batch = best_of(lambda: brindlore_core.rust_encode_text_batch(lines, trie))
    sample = lines[:20000]
    per_line = best_of(lambda: [ours.encode_ids(line) for line in sample])
    sp_per_line = best_of(lambda: [sp.encode(line, out_type=int) for line in sample])
    print(json.dumps({"cold": cold, "warm": warm, "sentencepiece": spm, "tokenizers": hft,
                      "text_batch": text_batch,
                      "per_line": per_line, "sp_per_line": sp_per_line,
                      "warm_note": warm_note(distinct_pieces(lines), tokenizer=True),
                      "lines": len(lines), "bytes": sum(len(line.encode()) for line in lines)}))


def main():
    if not (VOCAB.exists() and CORPUS.exists() and MODEL.exists()):
        print(f"skipped: {BENCH} not found")
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "--measure":
        measure(int(sys.argv[2]))
        return 0
    cores = os.cpu_count()
    single, parallel = measure_in_subprocess(__file__, 1), measure_in_subprocess(__file__, cores)
    for label, r in (("1 thread", single), (f"{cores} threads", parallel)):
        mb = r["bytes"] / 1e6
        print(f"{label}: {r['lines']:,} lines, {mb:.1f} MB")
        for key in ("cold", "warm", "sentencepiece", "tokenizers", "text_batch"):
            print(f"  {key:14s} {mb / r[key]:>8.2f} MB/s")
        print(f"  cold vs sentencepiece: {r['sentencepiece'] / r['cold']:.2f}x,"
              f" vs tokenizers: {r['tokenizers'] / r['cold']:.2f}x")
        print(f"  warm vs sentencepiece: {r['sentencepiece'] / r['warm']:.2f}x,"
              f" vs tokenizers: {r['tokenizers'] / r['warm']:.2f}x")
        print(f"  {r['warm_note']}")
        print(f"  one call per line vs sentencepiece: {r['sp_per_line'] / r['per_line']:.2f}x")
    for key in ("cold", "warm", "sentencepiece", "tokenizers", "text_batch"):
        scale = single[key] / parallel[key]
        print(f"parallel scaling {key:14s} {scale:.2f}x on {cores} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
