"""Forking while batches run: how long os.fork() and subprocess.Popen(preexec_fn=...) take,
and how long another Python thread stands still meanwhile.

THREADS threads each run a batch of corpus lines sized so that one batch takes
about SECONDS while all of them run, with the 32k vocabulary of ../shared/bench:
with --call ids, RustTokenizer.encode_ids_batch (on the pool; building its
result holds the interpreter lock for a while); with --call diagnostic,
rust_diagnostic_batch (each batch on its own thread, without the interpreter
lock; its result is a small dict). A further thread ticks every millisecond
(time.sleep(0.001)) and records when it ran. The main thread then forks FORKS
times at random intervals (the child exits at once) and afterwards starts
POPENS processes with subprocess.Popen(["true"], preexec_fn=...), which forks
for real. Reported per build, as median / 99th percentile / max in ms:
- fork, popen: the wall time of the call in the forking thread, which
  includes waiting for the interpreter lock before the fork when another
  thread holds it (building a batch result);
- fork() itself: from the interpreter's before-fork hooks to its
  after-fork-in-parent hooks (os.register_at_fork): the fork and every
  at-fork handler, ours included. The hooks are Python code, in which the
  interpreter may hand its lock to another thread, so with --call ids this
  too includes waits for the lock;
- stall: the gap between the ticker's runs that spans the call, less the 1 ms
  it sleeps;
- stall at random moments: the same gap at random moments of a quiet phase of
  the same length without forks, which is what building batch results (with
  the interpreter lock held) costs the ticker anyway;
- idle fork: os.fork() in the same process before the batch threads start,
  which is what forking a process of this size costs without any batch.

Each build (a directory holding python/brindlore_core*.so) runs in a process of
its own, the builds alternating round by round. Skips when ../shared is absent.

    python bench/process/bench_fork.py [--builds build-base,build] [--call ids|diagnostic]
        [--threads 4] [--seconds 2] [--forks 200] [--popens 50] [--rounds 1]
"""

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))

from benchlib import CORPUS, VOCAB, trie_of, uptime  # noqa: E402

TICK = 0.001


def percentiles(values):
    """Median, 99th percentile and max, in ms (None without values)."""
    if not values:
        return None
    ordered = sorted(values)
    p99 = ordered[min(len(ordered) - 1, int(round(0.99 * (len(ordered) - 1))))]
    return [round(1000 * v, 2) for v in (statistics.median(ordered), p99, ordered[-1])]


def spanning_gap(ticks, start, end):
    """The gap between the last tick before `start` and the first after `end`."""
    import bisect

    i = bisect.bisect_right(ticks, start)
    j = bisect.bisect_left(ticks, end)
    if i == 0 or j >= len(ticks):
        return None
    return max(0.0, ticks[j] - ticks[i - 1] - TICK)


def load(call, threads, seconds, distinct):
    """The batch call and a batch that takes about `seconds` when `threads` run it at once."""
    import brindlore_core

    vocab = [tuple(entry) for entry in json.loads(VOCAB.read_text(encoding="utf-8"))]
    if call == "ids":
        run = brindlore_core.RustTokenizer(vocab).encode_ids_batch
    else:
        trie = trie_of(vocab)

        def run(texts):
            return brindlore_core.rust_diagnostic_batch(texts, trie, True)
    lines = [line for line in CORPUS.read_text(encoding="utf-8").split("\n") if line]
    if distinct:
        lines = lines[:distinct]
    count = 20000
    for _ in range(3):
        batch = (lines * (count // len(lines) + 1))[:count]
        run(batch)
        start = time.perf_counter()
        workers = [threading.Thread(target=run, args=(batch,)) for _ in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        took = time.perf_counter() - start
        count = max(1000, int(count * seconds / took))
    return run, (lines * (count // len(lines) + 1))[:count]


def measure(call, threads, seconds, forks, popens, distinct):
    run, batch = load(call, threads, seconds, distinct)
    idle = []
    for _ in range(forks // 4):
        start = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        idle.append(time.perf_counter() - start)
        os.waitpid(pid, 0)
    stop = threading.Event()
    batch_times = []
    ticks = []

    def run_batches():
        while not stop.is_set():
            start = time.perf_counter()
            run(batch)
            batch_times.append(time.perf_counter() - start)

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(TICK)

    workers = [threading.Thread(target=run_batches) for _ in range(threads)]
    workers.append(threading.Thread(target=tick))
    for w in workers:
        w.start()
    inner = []
    before = [0.0]
    os.register_at_fork(before=lambda: before.__setitem__(0, time.perf_counter()),
                        after_in_parent=lambda: inner.append(time.perf_counter() - before[0]))
    rng = random.Random(15)
    time.sleep(seconds / 2)

    quiet_start = time.perf_counter()
    time.sleep(0.1 * (forks + popens))
    quiet_end = time.perf_counter()

    fork_spans = []
    for _ in range(forks):
        time.sleep(rng.uniform(0.05, 0.15))
        start = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        fork_spans.append((start, time.perf_counter()))
        os.waitpid(pid, 0)
    fork_inner, inner[:] = inner[:], []

    popen_spans = []
    for _ in range(popens):
        time.sleep(rng.uniform(0.05, 0.15))
        start = time.perf_counter()
        child = subprocess.Popen(["true"], preexec_fn=lambda: None)
        popen_spans.append((start, time.perf_counter()))
        child.wait()

    stop.set()
    for w in workers:
        w.join()

    def stalls(spans):
        return [g for g in (spanning_gap(ticks, s, e) for s, e in spans) if g is not None]

    moments = sorted(rng.uniform(quiet_start, quiet_end) for _ in range(forks))
    return {
        "lines": len(batch),
        "batch": percentiles(batch_times),
        "batches": len(batch_times),
        "fork": percentiles([e - s for s, e in fork_spans]),
        "fork_inner": percentiles(fork_inner),
        "fork_stall": percentiles(stalls(fork_spans)),
        "popen": percentiles([e - s for s, e in popen_spans]),
        "popen_inner": percentiles(inner),
        "popen_stall": percentiles(stalls(popen_spans)),
        "quiet_stall": percentiles(stalls([(m, m) for m in moments])),
        "idle_fork": percentiles(idle),
    }


def child_run(build, args):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(build).resolve() / "python"))
    cmd = [sys.executable, __file__, "--measure", "--call", args.call, "--threads", str(args.threads),
           "--seconds", str(args.seconds), "--forks", str(args.forks), "--popens", str(args.popens),
           "--lines", str(args.lines)]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--builds", default="build", help="comma-separated build directories")
    parser.add_argument("--call", choices=("ids", "diagnostic"), default="ids")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--forks", type=int, default=200)
    parser.add_argument("--popens", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--lines", type=int, default=0,
                        help="batches repeat the first N corpus lines (default: all)")
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if not (VOCAB.exists() and CORPUS.exists()):
        print(f"skipped: {CORPUS.parent} not found")
        return 0
    if args.measure:
        print(json.dumps(measure(args.call, args.threads, args.seconds, args.forks, args.popens,
                                 args.lines)))
        return 0
    print(f"{args.call}: {args.threads} threads each looping a batch of ~{args.seconds} s; {args.forks} forks,"
          f" {args.popens} Popen(preexec_fn); figures in ms as median / p99 / max")
    for round_ in range(args.rounds):
        for build in args.builds.split(","):
            print(f"\nround {round_ + 1}, build {build}; load {uptime()}", flush=True)
            r = child_run(build, args)
            print(f"  batch of {r['lines']:,} lines: {r['batch']} ({r['batches']} batches)")
            print(f"  os.fork():                {r['fork']}   fork() itself: {r['fork_inner']}"
                  f"   other thread stalled: {r['fork_stall']}")
            print(f"  Popen(preexec_fn=...):    {r['popen']}   fork() itself: {r['popen_inner']}"
                  f"   other thread stalled: {r['popen_stall']}")
            print(f"  stall at random moments without forks: {r['quiet_stall']}")
            print(f"  idle fork (no batch running): {r['idle_fork']}", flush=True)
    print(f"\nload at end: {uptime()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
