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


# The segmentation cache of a RustPrefixTrie holds at most this many pieces;
# storing one more empties it (src/core/seg_cache.h). A "warm" figure of a
# trie is warm only when every piece of the run fits. The cache of a
# RustTokenizer or a C handle never empties itself: it keeps up to
# TOKENIZER_CACHE_LIMIT pieces within 53 MiB and, once full, the pieces that
# repeat, so a run with more pieces is partly cold on every pass.
SEG_CACHE_LIMIT = 100_000
TOKENIZER_CACHE_LIMIT = 524_288


def trie_of(entries):
    """A RustPrefixTrie holding the (token, score, id) `entries`, inserted in order."""
    import brindlore_core

    trie = brindlore_core.RustPrefixTrie()
    for token, score, token_id in entries:
        trie.insert(token, score, token_id)
    return trie


def distinct_pieces(texts, normalize=True):
    """The number of distinct pieces the encoders look up in the segmentation
    cache for `texts`: each text after the default normalization (when
    `normalize`) cut by the pre-tokenizer."""
    import brindlore_core

    pieces = set()
    for text in texts:
        if normalize:
            text = brindlore_core.rust_normalize(text)
        pieces.update(brindlore_core.rust_pre_tokenize(text))
    return len(pieces)


def warm_note(pieces, before=None, after=None, tokenizer=False):
    """A line that says whether the segmentation cache kept every piece of the
    warm runs: `pieces` distinct pieces were looked up, and the cache held
    `before` entries before the timed runs and `after` after them (when
    known). `tokenizer`: the cache of a RustTokenizer or a C handle, else a
    trie's."""
    lengths = "" if before is None else f"; cache {before:,} entries before, {after:,} after"
    if tokenizer and pieces > TOKENIZER_CACHE_LIMIT:
        return (f"warm runs: {pieces:,} distinct pieces{lengths}: more than the cache keeps"
                f" ({TOKENIZER_CACHE_LIMIT:,} within 53 MiB), so 'warm' is partly cold")
    if not tokenizer and (pieces > SEG_CACHE_LIMIT or (before is not None and before != after)):
        return (f"warm runs: {pieces:,} distinct pieces{lengths}: the cache EMPTIED during the run"
                f" (limit {SEG_CACHE_LIMIT:,}), so 'warm' is partly cold")
    if tokenizer:
        return f"warm runs: {pieces:,} distinct pieces{lengths}: all cached if they fit 53 MiB"
    return f"warm runs: {pieces:,} distinct pieces{lengths}: all cached"


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
