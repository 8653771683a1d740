"""NFKC throughput of the Unicode layer against unicodedata.normalize('NFKC').

Runs over ../shared/bench/corpus.txt line by line, over its all-ASCII lines,
and over the whole file as one text; both sides are timed in this run (best of
several rounds) and the ratio is printed as how many times faster the native
side is. The native side is the unicode_bench program of a build tree:

    python bench/unicode/bench_nfkc.py [BUILD_DIR]     (default: build)

Skips when ../shared is absent. The interpreter's unicodedata may carry an
older Unicode version; the few characters that differ do not matter for speed.
"""

import pathlib
import subprocess
import sys
import time
import unicodedata

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORPUS = ROOT.parent / "shared" / "bench" / "corpus.txt"
ROUNDS = 5


def python_seconds(texts):
    normalize = unicodedata.normalize
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for text in texts:
            normalize("NFKC", text)
        best = min(best, time.perf_counter() - start)
    return best


def native_seconds(program, mode):
    result = subprocess.run([str(program), str(CORPUS), mode, str(ROUNDS)],
                            check=True, capture_output=True, text=True)
    seconds, size, changed = result.stdout.split()
    return float(seconds), int(size), int(changed)


def main() -> int:
    if not CORPUS.exists():
        print(f"skipped: {CORPUS} not found")
        return 0
    build = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
    program = build / "unicode_bench"
    if not program.exists():
        print(f"{program} not found: build with BRINDLORE_BUILD_TESTS=ON first")
        return 1
    with open(CORPUS, encoding="utf-8", newline="\n") as f:
        text = f.read()
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    workloads = {
        "lines": lines,
        "ascii": [line for line in lines if line.isascii()],
        "whole": [text],
    }
    print(f"unicodedata {unicodedata.unidata_version} (Python {sys.version.split()[0]})")
    print(f"{'workload':<8} {'texts':>8} {'MB':>8} {'changed':>8} {'native MB/s':>12} "
          f"{'Python MB/s':>12} {'ratio':>7}")
    for mode, texts in workloads.items():
        native, size, changed = native_seconds(program, mode)
        python = python_seconds(texts)
        mb = size / 1e6
        print(f"{mode:<8} {len(texts):>8} {mb:>8.2f} {changed:>8} {mb / native:>12.1f} "
              f"{mb / python:>12.1f} {python / native:>6.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
