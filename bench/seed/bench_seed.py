"""N-gram mining speed against a pure-Python miner of the same counts.

The chunks are the white-space separated words of ../shared/bench/corpus.txt
with their frequencies. rust_mine_ngrams and a pure-Python miner (clusters
from the regex package's \\X, marks from unicodedata2, the same CJK test and
skipping rules) count them in the same run, at several lengths; printed as
ratios (Python time / our time), with chunks per second of ours and whether
the two results agree (they may differ only where regex's Unicode version
does).

Skips when ../shared is absent. Run by hand:
    PYTHONPATH=build/python .venv/bin/python bench/seed/bench_seed.py
"""

import collections
import pathlib
import sys
import time

import regex
import unicodedata2

from brindlore_core import rust_mine_ngrams

BENCH = pathlib.Path(__file__).resolve().parents[3] / "shared" / "bench"
CLUSTER = regex.compile(r"\X")
MARKS = {"Mn", "Mc", "Me"}
CJK_RANGES = [(0x4E00, 0x9FFF), (0x3400, 0x4DBF), (0x3040, 0x30FF), (0xAC00, 0xD7AF)]
OTHER_RANGES = [(0x41, 0x5A), (0x61, 0x7A), (0x30, 0x39), (0xC0, 0x24F), (0x900, 0xD7F), (0x600, 0x6FF),
                (0x750, 0x77F), (0x400, 0x52F), (0xE00, 0xE7F)]


def is_cjk(chunk):
    for c in chunk:
        cp = ord(c)
        if any(lo <= cp <= hi for lo, hi in CJK_RANGES):
            return True
        if any(lo <= cp <= hi for lo, hi in OTHER_RANGES) or unicodedata2.category(c) in ("Nd", "Nl", "No"):
            return False
    return False


def python_mine(chunk_counts, max_ngram_length, special_tokens=frozenset()):
    counts = {}
    for chunk, count in chunk_counts.items():
        if chunk in special_tokens or (chunk.startswith("<|") and chunk.endswith("|>")):
            continue
        clusters = CLUSTER.findall(chunk)
        limit = min(max_ngram_length, 4) if is_cjk(chunk) else max_ngram_length
        n = len(clusters)
        for i in range(n):
            if unicodedata2.category(clusters[i][0]) in MARKS:
                continue
            key = ""
            for cluster in clusters[i : min(n, i + limit)]:
                key += cluster
                counts[key] = counts.get(key, 0) + count
    return counts


def best_of(runs, function, *args):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    corpus = BENCH / "corpus.txt"
    if not corpus.exists():
        print(f"skipped: {corpus} not found")
        return 0
    chunk_counts = dict(collections.Counter(corpus.read_text(encoding="utf-8").split()))
    print(f"{len(chunk_counts)} distinct chunks, {sum(map(len, chunk_counts))} characters")
    for max_ngram_length in (4, 8, 16):
        ours, our_counts = best_of(3, rust_mine_ngrams, chunk_counts, max_ngram_length)
        peer, peer_counts = best_of(1, python_mine, chunk_counts, max_ngram_length)
        differing = len(our_counts.keys() ^ peer_counts.keys()) + sum(
            our_counts[k] != peer_counts[k] for k in our_counts.keys() & peer_counts.keys())
        print(f"L={max_ngram_length:2}: ours {ours:.3f} s ({len(chunk_counts) / ours / 1e6:.2f} M chunks/s, "
              f"{len(our_counts)} n-grams), pure Python {peer:.3f} s, ratio {peer / ours:.1f}x, "
              f"{differing} differing entries")
    return 0


if __name__ == "__main__":
    sys.exit(main())
