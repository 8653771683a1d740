"""The inputs of the encode benchmark other than the corpus.

- random_words: a seeded stream of words met for the first time: each line
  holds 10-30 words of 2-12 letters, every word drawn from one of 12 scripts,
  so nearly every piece is new and many characters have no vocabulary match
  (they fall back to byte pieces).
- python_source: the Python files of the running interpreter's standard
  library, read as lines (code, identifiers, comments and docstrings).
"""

import pathlib
import random
import sysconfig

# Letters of each script: contiguous code point ranges of letters only.
SCRIPTS = {
    "latin": [(0x61, 0x7A), (0xE0, 0xF6), (0xF8, 0xFF)],
    "cyrillic": [(0x430, 0x44F)],
    "greek": [(0x3B1, 0x3C9)],
    "arabic": [(0x628, 0x63A), (0x641, 0x64A)],
    "hebrew": [(0x5D0, 0x5EA)],
    "devanagari": [(0x915, 0x939)],
    "thai": [(0xE01, 0xE2E)],
    "hangul": [(0xAC00, 0xD7A3)],
    "han": [(0x4E00, 0x9FFF)],
    "hiragana": [(0x3041, 0x3096)],
    "katakana": [(0x30A1, 0x30FA)],
    "georgian": [(0x10D0, 0x10FA)],
}


def _alphabet(ranges):
    return [chr(c) for lo, hi in ranges for c in range(lo, hi + 1)]


def random_words(lines=50_000, seed=20261207):
    """`lines` lines of random words as UTF-8 bytes (no newlines)."""
    rng = random.Random(seed)
    alphabets = [_alphabet(r) for r in SCRIPTS.values()]
    out = []
    for _ in range(lines):
        words = []
        for _ in range(rng.randint(10, 30)):
            letters = rng.choice(alphabets)
            words.append("".join(rng.choices(letters, k=rng.randint(2, 12))))
        out.append(" ".join(words).encode())
    return out


def python_source():
    """The non-empty lines of the standard library's .py files, in path order."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    out = []
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            text = path.read_bytes()
        except OSError:
            continue
        for line in text.split(b"\n"):
            if not line.strip():
                continue
            try:
                line.decode()
            except UnicodeDecodeError:  # a few test files are in other encodings
                continue
            out.append(line)
    return out
