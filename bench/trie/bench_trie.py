"""Trie throughput: insertions per second and prefix searches per second.

Builds a trie from ../shared/bench/vocab-unigram-32k.json and runs
common_prefix_search over every word of ../shared/bench/corpus.txt (each word
prefixed with U+2581, as normalized text has it). Skips when ../shared is absent.
"""

import json
import pathlib
import sys
import time

import brindlore_core

BENCH = pathlib.Path(__file__).resolve().parents[3] / "shared" / "bench"


def main() -> int:
    vocab_path, corpus_path = BENCH / "vocab-unigram-32k.json", BENCH / "corpus.txt"
    if not vocab_path.exists() or not corpus_path.exists():
        print(f"skipped: {BENCH} not found")
        return 0
    vocab = json.loads(vocab_path.read_text(encoding="utf-8"))
    words = ["\u2581" + w for line in corpus_path.read_text(encoding="utf-8").splitlines() for w in line.split()]

    best_insert = float("inf")
    for _ in range(3):
        trie = brindlore_core.RustPrefixTrie()
        insert = trie.insert
        start = time.perf_counter()
        for token, score, token_id in vocab:
            insert(token, score, token_id)
        best_insert = min(best_insert, time.perf_counter() - start)

    search = trie.common_prefix_search
    best_search = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for word in words:
            search(word)
        best_search = min(best_search, time.perf_counter() - start)

    print(f"vocabulary: {len(vocab)} entries, corpus: {len(words)} words")
    print(f"insertions per second: {len(vocab) / best_insert:,.0f}")
    print(f"searches per second:   {len(words) / best_search:,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
