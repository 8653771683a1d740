"""What a refused RustTokenizer.from_vocab leaves: the warm segmentation cache.

Encodes the lines of ../shared/bench/corpus.txt with RustTokenizer.encode_ids_batch
(32k vocabulary, one thread) in four states: "cold" (a new vocabulary, empty
cache), "warm" (a second pass), "after a refused from_vocab" (a replacement
whose last entry has an empty token) and "after a successful from_vocab". A
refused replacement must keep the cache, so its time matches "warm", while a
successful one starts cold. Results are checked equal in every state.
Skips when ../shared is absent.

    python bench/pipeline/bench_from_vocab.py
"""

import json
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from benchlib import CORPUS, VOCAB, best_of  # noqa: E402


def main():
    if not CORPUS.exists():
        print("skipped: ../shared/bench is absent")
        return
    os.environ["RAYON_NUM_THREADS"] = "1"
    import brindlore_core

    lines = [line for line in CORPUS.read_text(encoding="utf-8").splitlines() if line][:20000]
    vocab = [tuple(entry) for entry in json.loads(VOCAB.read_text(encoding="utf-8"))]
    refused = vocab + [("", -1.0, len(vocab))]
    tok = brindlore_core.RustTokenizer(vocab)
    expected = tok.encode_ids_batch(lines)

    def refuse():
        try:
            tok.from_vocab(refused)
        except ValueError:
            pass

    def check():
        assert tok.encode_ids_batch(lines) == expected

    cold = best_of(lambda: tok.encode_ids_batch(lines), before=lambda: tok.from_vocab(vocab))
    check()
    warm = best_of(lambda: tok.encode_ids_batch(lines))
    after_refused = best_of(lambda: tok.encode_ids_batch(lines), before=refuse)
    check()
    after_replaced = best_of(lambda: tok.encode_ids_batch(lines), before=lambda: tok.from_vocab(vocab))
    print(f"{len(lines)} lines, one thread, best of 3")
    for name, seconds in [("cold", cold), ("warm", warm), ("after a refused from_vocab", after_refused),
                          ("after a successful from_vocab", after_replaced)]:
        print(f"  {name:31s} {seconds:.4f} s  ({seconds / warm:.2f}x warm)")


if __name__ == "__main__":
    main()
