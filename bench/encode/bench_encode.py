"""Text to ids: every encoder of ours against sentencepiece and tokenizers, in one run.

Input (--input): "corpus", the last LINES non-empty lines of the benchmark
corpus (default: the last 20%, a held-out part; --lines 0 takes the whole
corpus); "random-words", 50,000 seeded lines of new words from 12 scripts
(LINES lines when given); "python-source", the lines of the interpreter's
standard library (the first LINES when given). See inputs.py.

Engines, each in a process of its own per round and thread setting:
- tokenizer:  RustTokenizer.encode_ids_batch; pass 1 on a new tokenizer
              (empty segmentation cache), pass 2 on the same one.
- native:     rust_encode_text_native_ids_batch over a RustPrefixTrie.
- text_batch: rust_encode_text_batch over a RustPrefixTrie, space_char U+2581
              (the vocabulary's space mark; the default U+0020 would turn
              every space into a byte piece).
- c:          brindlore_encode from bench/encode/c_encode.c, one call per line,
              the lines shared by THREADS threads over one handle.
- spm:        sentencepiece's Python encode of the whole list, num_threads=1
              on one thread, its default (every core) otherwise.
- spm_cc:     sentencepiece's C++ library (Debian's libsentencepiece-dev) from
              bench/encode/spm_encode.cc, built like c_encode.
- hf:         tokenizers' encode_batch_fast (ids without offsets) with a
              Unigram model of the same vocabulary and scores, byte fallback,
              NFKC with Unicode spaces to U+2581, and a Split pre-tokenizer on
              our full pattern rewritten for Oniguruma.
Ours and tokenizers get RAYON_NUM_THREADS=THREADS. Each process first lets a
throwaway instance encode 64 lines (so that pass 1 pays for an empty cache, not
for compiling patterns or starting threads), then runs two passes on a new
instance; rounds alternate the engines; a figure is the best of REPEAT rounds.
Token counts and peak RSS (of the whole process, from wait4) are printed
beside the times. The ids of the first round are compared line by line.

The parallel part alone is the C program's scaling: the same calls on the
same handle from 1 and from N threads, with no Python object built or read.

--memory SIZES (MB, default 20,100) measures instead the peak RSS of one piece
of SIZE MB of "a" through rust_viterbi_decode and through the C encode, each
in its own process under an address-space limit, as bytes per input byte.

    python bench/encode/bench_encode.py [--build DIR] [--threads 1,8] [--repeat 5] [--lines N]
                                        [--input corpus|random-words|python-source]
    python bench/encode/bench_encode.py --memory 20,100
"""

import argparse
import array
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(HERE.parent))
import inputs  # noqa: E402
from benchlib import BENCH, CORPUS, MODEL, VOCAB, run_measured, trie_of, uptime  # noqa: E402

WARM_UP = 64  # lines, enough for every batch entry point to go parallel
ENGINES = ("tokenizer", "spm", "c", "spm_cc", "native", "text_batch", "hf")
LABELS = {
    "tokenizer": "RustTokenizer.encode_ids_batch",
    "native": "rust_encode_text_native_ids_batch",
    "text_batch": "rust_encode_text_batch",
    "c": "brindlore_encode (C program)",
    "spm": "sentencepiece encode (Python)",
    "spm_cc": "sentencepiece C++ program",
    "hf": "tokenizers encode_batch_fast",
    "tokenizer_space": "encode_ids_batch of ' ' + each line",
}

# Our full pre-tokenizer pattern in Oniguruma's syntax (\x{...} escapes,
# \p{Nd} for \d, which our engine matches with Unicode semantics).
S = "\u2581"
HF_PATTERN = "|".join(f"(?:{piece})" for piece in (
    r"<\|[^\s|]+\|>",
    r"https?://[a-zA-Z0-9][-a-zA-Z0-9@:%._\+~#=]{1,256}\.[a-zA-Z0-9()]{1,6}\b"
    r"(?:[-a-zA-Z0-9()@:%_\+.~#?&/=]*)",
    r"[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+",
    S + r"?#[\p{L}\p{N}_]+",
    S + r"?@[\p{L}\p{N}_]+",
    r"(?:[\x{1F300}-\x{1FAFF}]|[\x{2600}-\x{26FF}]|[\x{2700}-\x{27BF}])(?:[\x{FE0E}\x{FE0F}])?"
    r"(?:[\x{1F3FB}-\x{1F3FF}])?(?:\x{200D}(?:[\x{1F300}-\x{1FAFF}]|[\x{2600}-\x{26FF}]"
    r"|[\x{2700}-\x{27BF}])(?:[\x{FE0E}\x{FE0F}])?(?:[\x{1F3FB}-\x{1F3FF}])?)*",
    S + r"?[\x{4E00}-\x{9FFF}\x{3400}-\x{4DBF}\x{3040}-\x{30FF}\x{AC00}-\x{D7AF}]+",
    S + r"?[\p{L}\p{Nl}\p{No}]+(?:['\u2019][\p{L}\p{Nl}\p{No}]+)*",
    S + r"?0[xX][0-9a-fA-F]+|" + S + r"?0[bB][01]+",
    S + r"?\p{Nd}{1,3}",
    S + r"+",
    r"[\s\x1c-\x1f]+",
    S + r"?[^\p{L}\p{N}_\s\x1c-\x1f" + S + r"]|" + S + r"?_",
))
UNICODE_SPACES = "[\u00a0\u1680\u2000-\u200a\u202f\u205f\u3000 ]"


# ---------------------------------------------------------------- children


def read_lines(path):
    return pathlib.Path(path).read_bytes().decode("utf-8").split("\n")[:-1]


def load_vocab():
    return [tuple(entry) for entry in json.loads(VOCAB.read_text(encoding="utf-8"))]


def load_tokenizers(vocab):
    from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers

    tok = Tokenizer(models.Unigram([(t, s) for t, s, _ in vocab], unk_id=0, byte_fallback=True))
    tok.normalizer = normalizers.Sequence(
        [normalizers.NFKC(), normalizers.Replace(Regex(UNICODE_SPACES), S)])
    tok.pre_tokenizer = pre_tokenizers.Split(Regex(HF_PATTERN), behavior="isolated")
    return tok


def engine_call(engine, threads):
    """Returns a function that encodes a list of texts, set up outside the timing."""
    vocab = load_vocab() if engine != "spm" else None
    if engine == "tokenizer":
        import brindlore_core

        tok = brindlore_core.RustTokenizer(vocab)
        return tok.encode_ids_batch
    if engine == "native":
        import brindlore_core

        trie = trie_of(vocab)
        return lambda texts: brindlore_core.rust_encode_text_native_ids_batch(texts, trie)
    if engine == "text_batch":
        import brindlore_core

        trie = trie_of(vocab)
        return lambda texts: brindlore_core.rust_encode_text_batch(texts, trie, True, S)
    if engine == "spm":
        import sentencepiece

        sp = sentencepiece.SentencePieceProcessor(model_file=str(MODEL))
        if threads == 1:
            return lambda texts: sp.encode(texts, out_type=int, num_threads=1)
        return lambda texts: sp.encode(texts, out_type=int)
    if engine == "hf":
        hf = load_tokenizers(vocab)
        return lambda texts: [e.ids for e in hf.encode_batch_fast(texts, add_special_tokens=False)]
    raise ValueError(engine)


def write_ids(path, batches):
    out = array.array("I")
    for ids in batches:
        out.append(len(ids))
        out.extend(ids)
    pathlib.Path(path).write_bytes(out.tobytes())


def child(engine, threads, lines_file, passes, dump):
    texts = read_lines(lines_file)
    # What a process sets up once (the compiled patterns, the worker pool) is
    # set up by a throwaway instance, so that pass 1 measures a new, empty
    # cache and not the start of the process.
    engine_call(engine, threads)(texts[:WARM_UP])
    encode = engine_call(engine, threads)
    seconds, result = [], None
    for _ in range(passes):
        result = None  # freed outside the timing, as the C programs free per line inside it
        start = time.perf_counter()
        result = encode(texts)
        seconds.append(time.perf_counter() - start)
    tokens = sum(map(len, result))
    if dump:
        write_ids(dump, result)
    print(json.dumps({"passes": seconds, "tokens": tokens}))


def memory_child(size_mb, entry):
    """One piece of "a" through `entry`: RSS before, at the peak, and after the
    call with its result still held. rust_encode_ids_batch shows the decoder
    (the lattice) with a small result; rust_viterbi_decode adds one ViterbiSpan
    object per token."""
    import resource

    import brindlore_core

    trie = trie_of(load_vocab())
    text = "a" * (size_mb * 1_000_000)
    before = current_rss()
    if entry == "rust_viterbi_decode":
        result = brindlore_core.rust_viterbi_decode(text, trie, True)
    else:
        result = brindlore_core.rust_encode_ids_batch([text], trie, True)[0]
    after = current_rss()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"before": before, "after": after, "peak": peak, "tokens": len(result)}))


def current_rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ------------------------------------------------------------------ parent


def build_programs(build, out_dir):
    """Compiles the two C/C++ programs against BUILD's libbrindlore.so."""
    lib = build / "libbrindlore.so"
    if not lib.exists():
        raise SystemExit(f"{lib} not found: build the project first (make build)")
    c_prog, cc_prog = out_dir / "c_encode", out_dir / "spm_encode"
    subprocess.run(["cc", "-O2", "-std=c11", "-Wall", "-Wextra", f"-I{ROOT / 'include'}", f"-I{build / 'generated' / 'include'}",
                    str(HERE / "c_encode.c"), "-o", str(c_prog), f"-L{build}", "-lbrindlore",
                    f"-Wl,-rpath,{build}", "-pthread"], check=True)
    subprocess.run(["c++", "-O2", "-std=c++20", "-Wall", "-Wextra", str(HERE / "spm_encode.cc"),
                    "-o", str(cc_prog), "-lsentencepiece", "-pthread"], check=True)
    return c_prog, cc_prog


def command(engine, threads, lines_file, passes, dump, programs):
    c_prog, cc_prog = programs
    extra = [str(dump)] if dump else []
    if engine == "c":
        return [str(c_prog), str(VOCAB), str(lines_file), str(threads), str(passes)] + extra
    if engine == "spm_cc":
        return [str(cc_prog), str(MODEL), str(lines_file), str(threads), str(passes)] + extra
    return [sys.executable, __file__, "--child", engine, "--threads", str(threads),
            "--lines-file", str(lines_file), "--passes", str(passes)] + (
                ["--dump", str(dump)] if dump else [])


def child_env(build, threads):
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    env["RAYON_NUM_THREADS"] = str(threads)
    env["TOKENIZERS_PARALLELISM"] = "true"
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(build / "python"),
                                                      env.get("PYTHONPATH")]))
    return env


def select_lines(source, count):
    """The input lines and a line that describes them."""
    if source == "random-words":
        chosen = inputs.random_words(count or 50_000)
        return chosen, f"{len(chosen):,} lines of random words from 12 scripts"
    if source == "python-source":
        lines = inputs.python_source()
        chosen = lines[:count] if count else lines
        return chosen, f"{len(chosen):,} of {len(lines):,} lines of the standard library's source"
    lines = [line for line in CORPUS.read_bytes().split(b"\n") if line]
    if count is None:
        count = len(lines) // 5
    chosen = lines[-count:] if count else lines
    return chosen, f"{len(chosen):,} of {len(lines):,} corpus lines (the last ones)"


def read_dump(path):
    ids = array.array("I")
    ids.frombytes(pathlib.Path(path).read_bytes())
    lines, i = [], 0
    while i < len(ids):
        n = ids[i]
        lines.append(ids[i + 1:i + 1 + n])
        i += 1 + n
    return lines


def compare_ids(dumps, engines):
    """Lines whose ids differ between engines (first round), with the first example."""
    vocab = {entry[2]: entry[0] for entry in load_vocab()}
    pairs = [(e, "tokenizer") for e in engines if e != "tokenizer"]
    # Where the causes of a difference are known, the closer pairs too: the C
    # encoder and tokenizers both skip grapheme snapping; sentencepiece adds a
    # space mark in front of every text, as ours does for a text given with a
    # leading space.
    pairs += [("hf", "c"), ("spm_cc", "spm"), ("spm", "tokenizer_space")]
    print("ids compared line by line (first round):")
    for engine, ref_engine in pairs:
        if engine not in dumps or ref_engine not in dumps:
            continue
        ref, other = read_dump(dumps[ref_engine]), read_dump(dumps[engine])
        diff = [i for i, (a, b) in enumerate(zip(ref, other)) if a != b]
        print(f"  {LABELS[engine]:36s} vs {LABELS[ref_engine]:40s} {len(diff):>6,} of"
              f" {len(ref):,} lines differ")
        if diff:
            i = diff[0]
            a, b = ref[i], other[i]
            k = next((j for j, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
            show = lambda ids: " ".join(vocab.get(t, f"#{t}") for t in ids[max(0, k - 2):k + 4])
            print(f"      e.g. line {i}: [{show(b)}] where the second has [{show(a)}]")


def fmt_rss(kb):
    return f"{kb / 1024:8.0f} MB"


def run_round(engines, threads, lines_file, passes, programs, build, dumps, results):
    for engine in engines:
        dump = dumps.get(engine) if dumps is not None else None
        out, maxrss_kb = run_measured(command(engine, threads, lines_file, passes, dump, programs),
                                      child_env(build, threads))
        r = json.loads(out.strip().splitlines()[-1])
        slot = results.setdefault((engine, threads), {"passes": [], "tokens": set(), "rss": 0})
        slot["passes"].append(r["passes"])
        slot["tokens"].add(r["tokens"])
        slot["rss"] = max(slot["rss"], maxrss_kb)


def best(results, engine, threads, which):
    """Best time of pass 1 ("first"), pass 2 ("second") or any pass ("any")."""
    runs = results[(engine, threads)]["passes"]
    if which == "first":
        return min(r[0] for r in runs)
    if which == "second":
        return min(r[1] for r in runs)
    return min(min(r) for r in runs)


# The targets of the report, by input: for one thread and for many, what each
# pass of encode_ids_batch must reach against the peer (the faster of
# sentencepiece's Python encode and its C++ program, best of any pass); None:
# shown without a target. Warm figures (pass 2 of natural text and source)
# must only not fall behind earlier runs.
TARGETS = {
    "corpus": {"one": {"first": 2, "second": None}, "many": {"first": 3.5, "second": 3.5}},
    "python-source": {"one": {"first": 2, "second": None}, "many": {"first": None, "second": None}},
    "random-words": {"one": {"first": 1.5, "second": 1.5}, "many": {"first": 1.5, "second": 1.5}},
}
# Scaling of pass 2 from one thread to many (the whole call, and the
# whole-batch id encoder).
SCALING_TARGETS = {"tokenizer": 4.5, "text_batch": 4}


def report(results, thread_list, mb, source):
    for threads in thread_list:
        print(f"\n{threads} thread{'s' if threads > 1 else ''} ({mb:.2f} MB):")
        print(f"  {'engine':36s} {'pass 1':>9s} {'pass 2':>9s} {'MB/s':>8s} {'tokens':>11s}"
              f" {'peak RSS':>11s}")
        for engine in ENGINES:
            if (engine, threads) not in results:
                continue
            slot = results[(engine, threads)]
            first, second = best(results, engine, threads, "first"), best(results, engine, threads,
                                                                           "second")
            tokens = "/".join(f"{t:,}" for t in sorted(slot["tokens"]))
            print(f"  {LABELS[engine]:36s} {first:8.3f}s {second:8.3f}s {mb / second:8.2f}"
                  f" {tokens:>11s} {fmt_rss(slot['rss']):>11s}")
    print("\nratios (> 1: ours faster; the peer is the faster of sentencepiece's Python encode and"
          " its C++ program, best of any pass):")
    t1, tn = thread_list[0], thread_list[-1]

    def ratio(label, num, den, target=None):
        aim = f"   (target >= {target})" if target else ""
        print(f"  {label:66s} {num / den:6.2f}x{aim}")

    def have(*keys):
        return all(k in results for k in keys)

    def peer(threads):
        """The peer's best time and its name, or None without one."""
        times = [(best(results, e, threads, "any"), LABELS[e]) for e in ("spm", "spm_cc")
                 if (e, threads) in results]
        return min(times) if times else None

    aims = TARGETS.get(source, TARGETS["corpus"])
    for threads in dict.fromkeys((t1, tn)):
        theirs = peer(threads)
        if theirs is None:
            continue
        print(f"  {threads} thread(s): the peer is {theirs[1]} ({theirs[0]:.3f}s)")
        aim = aims["one" if threads == 1 else "many"]
        for engine in ("tokenizer", "c"):
            if not have((engine, threads)):
                continue
            for which in ("first", "second"):
                target = aim[which] if engine == "tokenizer" else None
                ratio(f"{threads} thread(s): {LABELS[engine]} pass {'1' if which == 'first' else '2'}"
                      " vs the peer", theirs[0], best(results, engine, threads, which), target)
    if t1 == 1 and have(("tokenizer", 1), ("hf", 1)):
        ratio("1 thread: encode_ids_batch pass 2 vs tokenizers", best(results, "hf", 1, "any"),
              best(results, "tokenizer", 1, "second"))
    if tn != t1:
        if have(("tokenizer", tn), ("hf", tn)):
            ratio(f"{tn} threads: encode_ids_batch pass 2 vs tokenizers",
                  best(results, "hf", tn, "any"), best(results, "tokenizer", tn, "second"))
        for engine in ("tokenizer", "native", "text_batch", "c", "spm", "spm_cc", "hf"):
            if not have((engine, t1), (engine, tn)):
                continue
            for which in ("second", "first") if engine in ("tokenizer", "c") else ("second",):
                scale = best(results, engine, t1, which) / best(results, engine, tn, which)
                note = ""
                if engine == "c" and which == "second":
                    note = f" = {scale / tn:.2f} x threads (parallel part alone, target >= 0.7)"
                elif engine in SCALING_TARGETS and which == "second":
                    note = f"   (target >= {SCALING_TARGETS[engine]})"
                label = f"{LABELS[engine]} pass {'2' if which == 'second' else '1'}"
                print(f"  scaling {tn} vs {t1}: {label:53s} {scale:6.2f}x{note}")
    for threads in thread_list:
        if have(("tokenizer", threads), ("spm", threads)):
            ours = results[("tokenizer", threads)]["rss"]
            theirs = results[("spm", threads)]["rss"]
            print(f"  peak RSS {threads} thread(s): encode_ids_batch {ours / 1024:.0f} MB,"
                  f" sentencepiece {theirs / 1024:.0f} MB: {ours / theirs:.2f}x"
                  " (target: no higher than earlier runs)")


def bench_speed(args, build):
    thread_list = [int(t) for t in args.threads.split(",")]
    engines = [e for e in ENGINES if e in args.engines.split(",")]
    chosen, described = select_lines(args.input, args.lines)
    mb = sum(map(len, chosen)) / 1e6
    print(f"input: {described}, {mb:.2f} MB")
    print(f"engines: {', '.join(engines)}; threads {thread_list}; best of {args.repeat};"
          f" sentencepiece default threads = {os.cpu_count()}")
    with tempfile.TemporaryDirectory(prefix="bench-encode-") as tmp:
        tmp = pathlib.Path(tmp)
        lines_file = tmp / "lines.txt"
        lines_file.write_bytes(b"\n".join(chosen) + b"\n")
        programs = build_programs(build, tmp)
        dumps = {engine: tmp / f"{engine}.ids" for engine in engines}
        results = {}
        for round_no in range(args.repeat):
            for threads in thread_list:
                run_round(engines, threads, lines_file, 2, programs, build,
                          dumps if round_no == 0 and threads == thread_list[0] else None, results)
            print(f"  round {round_no + 1} done, load {uptime()}", flush=True)
        for (engine, threads), slot in results.items():
            if len(slot["tokens"]) > 1:
                print(f"WARNING: {engine} at {threads} threads gave token counts {slot['tokens']}")
        if "tokenizer" in engines:
            spaced = tmp / "spaced.txt"
            spaced.write_bytes(b"".join(b" " + line + b"\n" for line in chosen))
            dumps["tokenizer_space"] = tmp / "tokenizer_space.ids"
            run_measured(command("tokenizer", 1, spaced, 1, dumps["tokenizer_space"], programs),
                         child_env(build, 1))
            compare_ids(dumps, engines)
    report(results, thread_list, mb, args.input)


def mem_available():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


# rust_viterbi_decode makes one Python object per token; past this size those
# objects alone would take most of the machine's memory.
VITERBI_SPANS_MAX_MB = 20


def bench_memory(args, build):
    sizes = [int(s) for s in args.memory.split(",")]
    limit = int(mem_available() * args.memory_share)
    print(f"address-space limit per process: {limit / 2**30:.1f} GB"
          f" ({args.memory_share:.0%} of available memory)")
    with tempfile.TemporaryDirectory(prefix="bench-encode-") as tmp:
        tmp = pathlib.Path(tmp)
        c_prog, _ = build_programs(build, tmp)
        for size in sizes:
            n = size * 1_000_000
            text_file = tmp / "a.txt"
            text_file.write_bytes(b"a" * n)
            cases = [(entry, [sys.executable, __file__, "--memory-child", str(size),
                              "--memory-entry", entry])
                     for entry in ("rust_encode_ids_batch", "rust_viterbi_decode")
                     if entry != "rust_viterbi_decode" or size <= VITERBI_SPANS_MAX_MB]
            cases.append(("brindlore_encode (C)",
                          [str(c_prog), str(VOCAB), str(text_file), "0", "1"]))
            for name, cmd in cases:
                start = time.perf_counter()
                try:
                    out, maxrss_kb = run_measured(cmd, child_env(build, 1), limit)
                except subprocess.CalledProcessError as err:
                    print(f"  {size} MB of 'a' through {name}: failed (exit {err.returncode},"
                          f" likely the memory limit): {err.stderr.strip()[-200:]}")
                    continue
                seconds = time.perf_counter() - start
                r = json.loads(out.strip().splitlines()[-1])
                peak = maxrss_kb * 1024
                line = (f"  {size} MB of 'a' through {name:22s} peak RSS {peak / 2**30:6.2f} GB"
                        f" = {peak / n:6.1f} bytes/input byte, {r['tokens']:,} tokens,"
                        f" {seconds:.1f}s")
                if "rss_before_kb" in r:
                    line += (f"\n      above the loaded handle and text:"
                             f" {(peak - r['rss_before_kb'] * 1024) / n:.1f} bytes/byte at the peak")
                if "before" in r:
                    decode = peak - r["before"]
                    held = r["after"] - r["before"]
                    line += (f"\n      above the loaded trie and text: {decode / n:.1f} bytes/byte"
                             f" at the peak, {held / n:.1f} still held after the call (the result)")
                print(line, flush=True)
            text_file.unlink()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=str(ROOT / "build"),
                        help="build directory holding libbrindlore.so and python/")
    parser.add_argument("--threads", default=f"1,{os.cpu_count()}")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--lines", type=int, default=None,
                        help="the last N corpus lines (default: the last 20%%; 0: all)")
    parser.add_argument("--input", choices=("corpus", "random-words", "python-source"),
                        default="corpus")
    parser.add_argument("--engines", default=",".join(ENGINES))
    parser.add_argument("--memory", nargs="?", const="20,100", default=None,
                        help="sizes in MB of the one-piece memory runs (default 20,100)")
    parser.add_argument("--memory-share", type=float, default=0.75,
                        help="share of available memory a memory run may take")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--memory-entry", help=argparse.SUPPRESS)
    parser.add_argument("--lines-file", help=argparse.SUPPRESS)
    parser.add_argument("--passes", type=int, default=2, help=argparse.SUPPRESS)
    parser.add_argument("--dump", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        child(args.child, int(args.threads), args.lines_file, args.passes, args.dump)
        return 0
    if args.memory_child:
        memory_child(args.memory_child, args.memory_entry)
        return 0
    if not (VOCAB.exists() and CORPUS.exists() and MODEL.exists()):
        print(f"skipped: {BENCH} not found")
        return 0
    build = pathlib.Path(args.build).resolve()
    for tool in ("cc", "c++"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} not found (make bench-deps)")
    print(f"build: {build}")
    print(f"load at start: {uptime()}", flush=True)
    if args.memory:
        bench_memory(args, build)
    else:
        bench_speed(args, build)
    print(f"\nload at end: {uptime()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
