"""The C interface: brindlore_encode against sentencepiece, and the GGUF export.

Encodes the first LINES lines of ../shared/bench/corpus.txt one call per line
through ctypes (build/libbrindlore.so, a handle made from
../shared/bench/vocab-unigram-32k.json) and with sentencepiece
(../shared/bench/uni32k.model, one thread), both from Python, both returning
the ids as a Python list. The handle is measured cold (a new handle, empty
segmentation cache) and warm (the same handle again). Then times the GGUF
export of the vocabulary file against Python's json.loads of the same file.
Prints ratios against the peers measured in this run; best of REPEATS.
Skips when ../shared or the library is absent.

    python bench/c_abi/bench_c_abi.py
"""

import ctypes
import json
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
BENCH = ROOT.parent / "shared" / "bench"
VOCAB, CORPUS, MODEL = BENCH / "vocab-unigram-32k.json", BENCH / "corpus.txt", BENCH / "uni32k.model"
LIBRARY = ROOT / os.environ.get("BUILD_DIR", "build") / "libbrindlore.so"
LINES = 20000
REPEATS = 3

sys.path.insert(0, str(ROOT / "tests" / "python"))
sys.path.insert(0, str(ROOT / "bench"))
from benchlib import distinct_pieces, warm_note  # noqa: E402
from c_abi_ctypes import U8P, U32P, load  # noqa: E402


def best(run):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def encode_all(lib, handle, lines):
    encode, free = lib.brindlore_encode, lib.brindlore_free_tokens
    ids, size = U32P(), ctypes.c_size_t(0)
    ids_ref, size_ref = ctypes.byref(ids), ctypes.byref(size)
    total = 0
    for line in lines:
        if encode(handle, line, len(line), ids_ref, size_ref) != 0:
            raise RuntimeError("encode failed")
        total += len(ids[: size.value])
        free(ids, size.value)
    return total


def main():
    if not LIBRARY.exists() or not VOCAB.exists():
        print("skipped: needs build/libbrindlore.so and ../shared/bench")
        return 0
    import sentencepiece

    lib = load(LIBRARY)
    vocab_json = VOCAB.read_bytes()
    with open(CORPUS, "rb") as corpus:
        lines = [line.rstrip(b"\n") for _, line in zip(range(LINES), corpus)]
    texts = [line.decode() for line in lines]
    mb = sum(map(len, lines)) / 1e6

    sp = sentencepiece.SentencePieceProcessor(model_file=str(MODEL), num_threads=1)
    sp_time = best(lambda: [sp.encode(t) for t in texts])

    def cold():
        handle = lib.brindlore_create(vocab_json)
        encode_all(lib, handle, lines)
        lib.brindlore_destroy(handle)

    cold_time = best(cold)
    handle = lib.brindlore_create(vocab_json)
    encode_all(lib, handle, lines)
    warm_time = best(lambda: encode_all(lib, handle, lines))
    lib.brindlore_destroy(handle)
    create_time = best(lambda: lib.brindlore_destroy(lib.brindlore_create(vocab_json)))

    print(f"encode {len(lines)} lines ({mb:.1f} MB), one call per line:")
    print(f"  sentencepiece            {sp_time * 1e3:8.1f} ms  {mb / sp_time:6.2f} MB/s")
    print(f"  brindlore_encode (cold)  {cold_time * 1e3:8.1f} ms  {mb / cold_time:6.2f} MB/s"
          f"  x{sp_time / cold_time:.2f} vs sentencepiece (includes create)")
    print(f"  brindlore_encode (warm)  {warm_time * 1e3:8.1f} ms  {mb / warm_time:6.2f} MB/s"
          f"  x{sp_time / warm_time:.2f} vs sentencepiece")
    print(f"  {warm_note(distinct_pieces(texts), tokenizer=True)}")
    print(f"  brindlore_create of the 32k vocabulary: {create_time * 1e3:.1f} ms")

    def export():
        buf, size = U8P(), ctypes.c_size_t(0)
        if lib.brindlore_export_gguf_vocab(str(VOCAB).encode(), ctypes.byref(buf),
                                           ctypes.byref(size)) != 0:
            raise RuntimeError("export failed")
        lib.brindlore_free_buffer(buf, size.value)

    export_time = best(export)
    json_time = best(lambda: json.loads(VOCAB.read_text(encoding="utf-8")))
    print(f"GGUF export of {VOCAB.name}: {export_time * 1e3:.1f} ms,"
          f" x{json_time / export_time:.2f} vs reading it with Python's json.loads")
    return 0


if __name__ == "__main__":
    sys.exit(main())
