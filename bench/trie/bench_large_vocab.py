"""Large vocabularies: batch encode speed and what serves the trie's searches.

For each vocabulary size, a seeded vocabulary of 1-12-character CJK tokens
(U+4E00-U+9FFF, distinct, scores from -14 to -6) plus the 256 byte pieces is
inserted into a new RustPrefixTrie; then BATCHES batches of TEXTS new texts
(1-4 clauses of 2-12 CJK characters joined by U+FF0C and ended by U+3002, all
seeded, made outside the timing) are encoded by rust_encode_text_batch with
space_char U+2581 on a pool of THREADS threads. The trie builds its compact
search form during the batches, once it has been searched enough, as a trie
loaded this way does; with --entry tokenizer a RustTokenizer (which builds it
at construction) encodes instead.

Printed per size: the trie's states (nodes), what serves the searches and the
compact form's size and build time (from the search_form_probe program of the
build tree, which inserts the same vocabulary in C++), the median and slowest
batch, all batches together, the median CPU time of a batch (all threads:
less disturbed than wall time by other processes on a busy machine), the
tokens of all batches, and the peak RSS of the measuring process; and the
machine's load.

    python bench/trie/bench_large_vocab.py [--build DIR] [--sizes 32000,128000,256000,1000000]
                                           [--batches 300] [--texts 5000] [--threads 4]
                                           [--entry text_batch|tokenizer]
"""

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE.parent))
from benchlib import run_measured, trie_of, uptime  # noqa: E402

CJK = [chr(c) for c in range(0x4E00, 0xA000)]
SPACE = "\u2581"


def vocabulary(size, seed=15):
    """`size` entries (token, score, id): the byte pieces, then CJK tokens."""
    rng = random.Random(seed)
    entries = [(f"<0x{b:02X}>", -10.0, b) for b in range(256)]
    seen = set()
    while len(entries) < size:
        token = "".join(rng.choices(CJK, k=rng.randint(1, 12)))
        if token in seen:
            continue
        seen.add(token)
        entries.append((token, rng.uniform(-14.0, -6.0), len(entries)))
    return entries


def texts(rng, count):
    def clause():
        return "".join(rng.choices(CJK, k=rng.randint(2, 12)))

    return ["\uff0c".join(clause() for _ in range(rng.randint(1, 4))) + "\u3002"
            for _ in range(count)]


def child(size, batches, count, entry, tsv):
    import brindlore_core

    entries = vocabulary(size)
    with open(tsv, "w", encoding="utf-8") as out:
        out.writelines(f"{t}\t{s!r}\t{i}\n" for t, s, i in entries)
    if entry == "tokenizer":
        encode = brindlore_core.RustTokenizer(entries).encode_ids_batch
    else:
        trie = trie_of(entries)
        encode = lambda batch: brindlore_core.rust_encode_text_batch(batch, trie, True, SPACE)
    del entries
    rng = random.Random(size)
    seconds, cpu, tokens = [], [], 0
    for _ in range(batches):
        batch = texts(rng, count)
        start, start_cpu = time.perf_counter(), time.process_time()
        result = encode(batch)
        seconds.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
        tokens += sum(map(len, result))
    print(json.dumps({"seconds": seconds, "cpu": cpu, "tokens": tokens}))


def probe(program, tsv):
    out = subprocess.run([str(program), str(tsv)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--sizes", default="32000,128000,256000,1000000")
    parser.add_argument("--batches", type=int, default=300)
    parser.add_argument("--texts", type=int, default=5000)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--entry", choices=("text_batch", "tokenizer"), default="text_batch")
    parser.add_argument("--child", type=int)
    parser.add_argument("--tsv")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.batches, args.texts, args.entry, args.tsv)
        return 0
    build = pathlib.Path(args.build).resolve()
    program = build / "search_form_probe"
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["RAYON_NUM_THREADS"] = str(args.threads)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(build / "python"),
                                                      env.get("PYTHONPATH")]))
    print(f"{args.batches} batches of {args.texts:,} new texts, {args.threads} threads,"
          f" {args.entry}; build {build}")
    print(f"{'tokens':>10s} {'states':>11s} {'served by':>18s} {'form MB':>8s} {'build s':>8s}"
          f" {'median ms':>10s} {'slowest ms':>11s} {'all s':>7s} {'CPU ms':>7s} {'tokens':>11s}"
          f" {'peak RSS':>9s}  load")
    with tempfile.TemporaryDirectory(prefix="bench-large-vocab-") as tmp:
        tsv = pathlib.Path(tmp) / "vocab.tsv"
        for size in (int(s) for s in args.sizes.split(",")):
            cmd = [sys.executable, __file__, "--child", str(size), "--batches", str(args.batches),
                   "--texts", str(args.texts), "--entry", args.entry, "--tsv", str(tsv)]
            out, maxrss_kb = run_measured(cmd, env)
            r = json.loads(out.strip().splitlines()[-1])
            seconds = r["seconds"]
            form = probe(program, tsv) if program.exists() else {}
            served = form.get("form", "?")
            print(f"{size:>10,} {form.get('states', 0):>11,} {served:>18s}"
                  f" {form.get('bytes', 0) / 1e6:8.1f} {form.get('build_seconds', 0):8.2f}"
                  f" {statistics.median(seconds) * 1e3:10.1f} {max(seconds) * 1e3:11.1f}"
                  f" {sum(seconds):7.2f} {statistics.median(r['cpu']) * 1e3:7.1f} {r['tokens']:11,}"
                  f" {maxrss_kb / 1024:7.0f}MB  {uptime().split('load average: ')[-1]}",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
