"""Peak memory of decoding one giant piece: a run of "a" with no space in it.

Each case runs in its own subprocess and prints its peak RSS (ru_maxrss of the
child), its output size and the peak per input byte:

- rust_viterbi_decode of SMALL bytes (ViterbiSpan objects dominate);
- rust_encode_ids_batch of one text of BIG bytes;
- brindlore_encode (through ctypes on build/libbrindlore.so) of BIG bytes;
- the bare interpreter with the vocabulary loaded, for reference.

The trie holds ../shared/bench/vocab-unigram-32k.json. Skips when ../shared
is absent. Sizes in MB on the command line: python bench_giant_piece.py [BIG] [SMALL]

    PYTHONPATH=build/python python bench/decode/bench_giant_piece.py 100 20
"""

import os
import pathlib
import resource
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parents[2]
VOCAB = ROOT.parent / "shared" / "bench" / "vocab-unigram-32k.json"
LIBRARY = pathlib.Path(os.environ.get("BRINDLORE_LIBRARY", ROOT / "build" / "libbrindlore.so"))

LOAD_TRIE = """
import json, brindlore_core
trie = brindlore_core.RustPrefixTrie()
for token, score, token_id in json.loads(open({vocab!r}, encoding="utf-8").read()):
    trie.insert(token, score, token_id)
"""

CASES = {
    "baseline": LOAD_TRIE + "text = 'a' * {size}\nprint(0)",
    "rust_viterbi_decode": LOAD_TRIE
    + "text = 'a' * {size}\nprint(len(brindlore_core.rust_viterbi_decode(text, trie, True)))",
    "rust_encode_ids_batch": LOAD_TRIE
    + "text = 'a' * {size}\nprint(len(brindlore_core.rust_encode_ids_batch([text], trie, True)[0]))",
    "brindlore_encode": """
import ctypes
lib = ctypes.CDLL({library!r})
lib.brindlore_create.restype = ctypes.c_void_p
lib.brindlore_create.argtypes = [ctypes.c_char_p]
lib.brindlore_encode.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                 ctypes.POINTER(ctypes.POINTER(ctypes.c_uint32)),
                                 ctypes.POINTER(ctypes.c_size_t)]
handle = lib.brindlore_create(open({vocab!r}, "rb").read())
text = b"a" * {size}
ids, n = ctypes.POINTER(ctypes.c_uint32)(), ctypes.c_size_t(0)
status = lib.brindlore_encode(handle, text, len(text), ctypes.byref(ids), ctypes.byref(n))
assert status == 0, status
print(n.value)
""",
}


def peak(case, size):
    """Runs one case in a child process; returns (peak RSS in bytes, its output)."""
    script = textwrap.dedent(CASES[case]).format(vocab=str(VOCAB), size=size, library=str(LIBRARY))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1:]
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024, out.stdout.strip()


def run_one(case, size):
    """`peak` in a fresh process of its own, so that RUSAGE_CHILDREN (the
    largest child so far) sees only this case."""
    code = (
        f"import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r});"
        f"import bench_giant_piece as b; r = b.peak({case!r}, {size}); print(r[0]); print(r[1])"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return out.stdout.strip().splitlines()


def main():
    if not VOCAB.exists():
        print("skipped: needs ../shared/bench")
        return 0
    big = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 100_000_000
    small = int(float(sys.argv[2]) * 1e6) if len(sys.argv) > 2 else 20_000_000
    for case, size in [("baseline", big), ("rust_viterbi_decode", small),
                       ("rust_encode_ids_batch", big), ("brindlore_encode", big)]:
        lines = run_one(case, size)
        rss = int(lines[0]) if lines and lines[0].isdigit() else None
        if rss is None:
            print(f"{case:24} {size / 1e6:6.0f} MB  failed: {lines}")
            continue
        print(f"{case:24} {size / 1e6:6.0f} MB  peak {rss / 1e9:6.2f} GB  "
              f"{rss / size:6.1f} B/input byte  tokens {lines[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
