"""Pre-tokenizer throughput and hostile inputs.

1. The full pattern with snapping (rust_pre_tokenize) on every line of
   ../shared/bench/corpus.txt, against the `regex` package running the same
   pattern text translated to its syntax (matches only, no snapping) in the
   same run.
2. Hostile texts of 100 KB and 1 MB against prose of the same size (a prefix
   of the corpus), through rust_pre_tokenize, as ratios.
3. Both patterns from C++ (the plain one has no Python entry point): the
   pretok_bench program of the build tree BUILD_DIR (default: build), on
   the corpus line by line against PCRE2 JIT, and on the hostile texts; and
   PCRE2 on one hostile text at two sizes, to show the growth the matchers
   avoid.

Skips when ../shared is absent. Run from the project root after building.
"""

import os
import pathlib
import subprocess
import sys
import time

import regex

import brindlore_core

ROOT = pathlib.Path(__file__).resolve().parents[2]
BENCH = ROOT.parent / "shared" / "bench"
sys.path.insert(0, str(ROOT / "tests" / "python"))
from test_pretokenize import FULL, translate  # noqa: E402  the translated full pattern

PLAIN = regex.compile(translate(
    "<\\|[^\\s|]+\\|>|\\p{L}+(?:['\u2019]\\p{L}+)*|\\p{N}{1,3}|[^\\s\\p{L}\\p{N}\\u{2581}]+|\\u{2581}+|\\s+"))

HOSTILE = ["1.", "a.", "a@", "a.a@", "0x", "_", "7", "http://a", "https://a.b", "<|a", "#",
           "\u0301", "\u2581", "a'", "\U0001F44D\u200D", "\U0001F1E6", "a"]


def best_of(runs, work):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def sized(unit, size):
    """`unit` repeated to `size` UTF-8 bytes (without cutting a character)."""
    text = unit * (size // len(unit.encode()) + 1)
    return text.encode()[:size].decode(errors="ignore")


def python_part(corpus):
    lines = corpus.splitlines()
    mb = len(corpus.encode()) / 1e6
    ours = best_of(3, lambda: [brindlore_core.rust_pre_tokenize(line) for line in lines])
    finditer = FULL.finditer
    peer = best_of(3, lambda: [[m.span() for m in finditer(line)] for line in lines])
    print(f"full pattern, {len(lines)} lines, {mb:.1f} MB:")
    print(f"  rust_pre_tokenize (with snapping) {mb / ours:8.1f} MB/s")
    print(f"  regex package (matches only)      {mb / peer:8.1f} MB/s")
    print(f"  ours is {peer / ours:.1f}x faster")
    finditer = PLAIN.finditer
    plain = best_of(3, lambda: [[m.span() for m in finditer(line)] for line in lines])
    print(f"plain pattern: regex package (matches only) {mb / plain:8.1f} MB/s "
          "(ours: see the C++ figures below)")
    for size in (100 * 1024, 1 << 20):
        prose = sized(corpus, size)
        base = best_of(3, lambda: brindlore_core.rust_pre_tokenize(prose))
        print(f"hostile texts, {size // 1024} KB, rust_pre_tokenize, prose {base * 1e3:.1f} ms:")
        for unit in HOSTILE:
            text = sized(unit, size)
            took = best_of(3, lambda: brindlore_core.rust_pre_tokenize(text))
            print(f"  {unit!r:24} {took / base:6.2f} x prose")


def cpp_part(corpus_path):
    build = ROOT / os.environ.get("BUILD_DIR", "build")
    program = build / "pretok_bench"
    if not program.exists():
        print(f"C++ part skipped: build the project in {build} first (with BRINDLORE_BUILD_TESTS on)")
        return
    subprocess.run([str(program), "corpus", str(corpus_path)], check=True)
    subprocess.run([str(program), "hostile", str(corpus_path)], check=True)
    for unit in ("1.", "_"):
        small, large = (float(subprocess.run([str(program), "reference", unit, str(n)], check=True,
                                             capture_output=True, text=True).stdout)
                        for n in (32 * 1024, 128 * 1024))
        print(f"PCRE2 JIT, full pattern, {unit!r} repeated: 32 KB {small:.2f} s, 128 KB {large:.2f} s "
              f"({large / max(small, 1e-9):.0f}x for 4x the text)")


def main():
    corpus_path = BENCH / "corpus.txt"
    if not corpus_path.exists():
        print(f"skipped: {corpus_path} not found")
        return 0
    corpus = corpus_path.read_text(encoding="utf-8")
    python_part(corpus)
    cpp_part(corpus_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
