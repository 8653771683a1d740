"""Normalization speed against a pure-Python composition of the same steps.

1. rust_normalize over every line of ../shared/bench/corpus.txt, with the
   default switches and with every switch on, against unicodedata2's NFKC,
   str.translate, str.lower, re.sub, str.strip and str.replace doing the same
   steps, in the same run; printed as ratios (peer time / our time).
2. rust_normalize_with_alignment on texts that NFKC changes, at 10 KB, 100 KB
   and 1 MB: the time per KB should stay flat (linear growth), and is shown as
   a multiple of one rust_normalize of the same text.

Skips when ../shared is absent. Run by hand:
    PYTHONPATH=build/python .venv/bin/python bench/normalize/bench_normalize.py
"""

import pathlib
import re
import sys
import time

import unicodedata2

from brindlore_core import rust_normalize, rust_normalize_with_alignment

BENCH = pathlib.Path(__file__).resolve().parents[3] / "shared" / "bench"

SPACES = dict.fromkeys(map(ord, "\u00a0\u1680\u202f\u205f\u3000"), " ") | {c: " " for c in range(0x2000, 0x200B)}
PUNCTUATION = {0x2018: "'", 0x2019: "'", 0x201A: "'", 0x201C: '"', 0x201D: '"', 0x201E: '"',
               0x2013: "-", 0x2014: "-", 0x2212: "-", 0x2026: "..."}
STRIP = "".join(map(chr, range(0x09, 0x0E))) + "\x1c\x1d\x1e\x1f \x85\u2028\u2029" + "".join(map(chr, SPACES))
COLLAPSE = re.compile("[ \t]+")


def escape(text):
    return text.replace("\ue000", "\ue000\ue000").replace("\u2581", "\ue000\ue001").replace(" ", "\u2581")


def python_defaults(text):
    return escape(unicodedata2.normalize("NFKC", text).translate(SPACES))


def python_everything(text):
    text = unicodedata2.normalize("NFKC", text).translate(SPACES).translate(PUNCTUATION).lower()
    return escape(COLLAPSE.sub(" ", text).strip(STRIP))


def ours_everything(text):
    return rust_normalize(text, "\u2581", True, True, True, True, True, True)


def best_of(runs, function, items):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for item in items:
            function(item)
        best = min(best, time.perf_counter() - start)
    return best


def compare_on_corpus(lines):
    megabytes = sum(len(line.encode()) for line in lines) / 1e6
    for name, ours, peer in [
        ("defaults", rust_normalize, python_defaults),
        ("every switch on", ours_everything, python_everything),
    ]:
        mismatches = sum(ours(line) != peer(line) for line in lines)
        t_ours, t_peer = best_of(3, ours, lines), best_of(3, peer, lines)
        print(f"{name:16s} ours {megabytes / t_ours:7.1f} MB/s   python {megabytes / t_peer:7.1f} MB/s   "
              f"ratio {t_peer / t_ours:5.2f}x   (lines differing: {mismatches})")


def nfkc_heavy_text(corpus, size):
    """Corpus text in which NFKC changes something every few characters:
    full-width letters, ligatures, decomposed accents and Hangul jamo."""
    out, length, words = [], 0, corpus.split(" ")
    for i, word in enumerate(words * (1 + size // max(1, len(corpus)))):
        if i % 4 == 1:
            word = "".join(chr(ord(c) + 0xFEE0) if "!" <= c <= "~" else c for c in word)
        elif i % 4 == 2:
            word = word.replace("e", "e\u0301").replace("fi", "\ufb01")
        elif i % 4 == 3:
            word += "\u1100\u1161\u11a8"
        out.append(word)
        length += len(word.encode()) + 1
        if length >= size:
            break
    return " ".join(out)[:size]


def without_nfkc(text):
    return rust_normalize_with_alignment(text, normalize_unicode=False)


def alignment_growth(corpus):
    print()
    print("alignment of texts that NFKC changes (NFKC share: the time that switching NFKC off saves)")
    previous = None
    for label, size in [("10 KB", 10_000), ("100 KB", 100_000), ("1 MB", 1_000_000)]:
        text = nfkc_heavy_text(corpus, size)
        assert unicodedata2.normalize("NFKC", text) != text
        runs = max(1, 3_000_000 // size)
        t_align = best_of(3, rust_normalize_with_alignment, [text] * runs) / runs
        t_plain = best_of(3, rust_normalize, [text] * runs) / runs
        t_nfkc = t_align - best_of(3, without_nfkc, [text] * runs) / runs
        per_kb = t_align / (len(text.encode()) / 1000)
        growth = "" if previous is None else f"   per-KB vs previous size {per_kb / previous:4.2f}x"
        print(f"{label:7s} {t_align * 1e3:8.2f} ms = {t_align / t_plain:4.1f} x rust_normalize   "
              f"NFKC share {t_nfkc * 1e3:7.2f} ms = {t_nfkc / t_plain:4.1f} x   "
              f"{per_kb * 1e6:6.1f} us/KB{growth}")
        previous = per_kb
    marks = "a" + "\u0301\u0316\u0345\u0300\u0323\u05b0" * 50_000
    t_marks = best_of(3, rust_normalize_with_alignment, [marks])
    print(f"hostile: 'a' and 300,000 combining marks of six classes: {t_marks * 1e3:.1f} ms")


def main() -> int:
    corpus_path = BENCH / "corpus.txt"
    if not corpus_path.exists():
        print(f"skipped: {BENCH} not found")
        return 0
    lines = corpus_path.read_text(encoding="utf-8").splitlines()
    print(f"corpus: {len(lines)} lines, {sum(len(line.encode()) for line in lines) / 1e6:.1f} MB")
    compare_on_corpus(lines)
    alignment_growth(" ".join(lines[:20000]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
