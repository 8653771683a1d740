"""What the benchmarks share: timing, and measuring in a subprocess per pool size."""

import json
import os
import pathlib
import subprocess
import sys
import time

# The shared benchmark data, beside the project; absent on machines without it.
BENCH = pathlib.Path(__file__).resolve().parents[2] / "shared" / "bench"
VOCAB, CORPUS, MODEL = BENCH / "vocab-unigram-32k.json", BENCH / "corpus.txt", BENCH / "uni32k.model"


def best_of(run, repeats=3, before=None):
    """The best wall time of `repeats` calls of `run`, each after `before`."""
    best = float("inf")
    for _ in range(repeats):
        if before:
            before()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def measure_in_subprocess(script, threads):
    """Runs `script --measure threads` with the worker pool sized to `threads`
    (1, or every core) and returns the JSON object its last line prints."""
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads == 1:
        env["RAYON_NUM_THREADS"] = "1"
    else:
        env.pop("RAYON_NUM_THREADS", None)
    out = subprocess.run([sys.executable, script, "--measure", str(threads)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_measured(cmd, env, address_space_limit=None):
    """Runs `cmd` to its end and returns its stdout and its peak RSS in KiB
    (from wait4, so any program is measured the same way). With
    `address_space_limit` (bytes) the process gets that RLIMIT_AS, so that a
    runaway allocation fails in the child instead of exhausting the machine.
    Raises CalledProcessError, with stderr, on a non-zero exit."""
    import resource
    import tempfile

    def limit():
        if address_space_limit:
            resource.setrlimit(resource.RLIMIT_AS, (address_space_limit, address_space_limit))

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(cmd, env=env, stdout=out, stderr=err, preexec_fn=limit)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read().decode(), err.read().decode()
    if proc.returncode != 0:
        raise subprocess.CalledProcessError(proc.returncode, cmd, stdout, stderr)
    return stdout, usage.ru_maxrss


def uptime():
    """The load averages as `uptime` prints them."""
    return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
