"""The module across the life of a process: exit with daemon threads mid-batch, fork, sub-interpreters."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import brindlore_core

ENV = dict(os.environ, PYTHONPATH=str(pathlib.Path(brindlore_core.__file__).parent), RAYON_NUM_THREADS="4")

SETUP = """
import os, sys, threading, time
import brindlore_core as b
trie = b.RustPrefixTrie(None)
for i, t in enumerate(["a", "b", "ab", "\\u2581"]):
    trie.insert(t, -1.0, i)
tok = b.RustTokenizer([("a", -1.0, 1), ("b", -1.0, 2), ("ab", -0.5, 5), ("\\u2581", -1.0, 3)])
texts = ["ab ba abab " * (i % 40) for i in range(200)]
plain = ["ab" * (i % 50) + "ba" * (i % 13) for i in range(300)]
"""


def run_all(scripts, timeout=60, setup=SETUP, env=ENV):
    """Runs the scripts in parallel subprocesses; their exit statuses (None for a hang)."""
    procs = [subprocess.Popen([sys.executable, "-c", setup + textwrap.dedent(s)], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for s in scripts]
    statuses = []
    for p in procs:
        try:
            statuses.append(p.wait(timeout=timeout))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            statuses.append(None)
    return statuses


EXIT_MID_BATCH = """
calls = [lambda: b.rust_encode_ids_batch(plain, trie, True), lambda: tok.encode_ids_batch(texts),
         lambda: b.rust_encode_text_native_ids_batch(texts, trie),
         lambda: b.rust_diagnostic_batch(texts, trie, True)]
started = [threading.Event() for _ in calls]

def loop(call, event):
    while True:
        call()
        event.set()

for call, event in zip(calls, started):
    threading.Thread(target=loop, args=(call, event), daemon=True).start()
for event in started:
    event.wait()
"""


def test_exit_with_daemon_threads_inside_batches_is_clean():
    assert run_all([EXIT_MID_BATCH] * 20) == [0] * 20


EXIT_INSIDE_PYTHON_CODE = """
sys.setswitchinterval(1e-4)
parked = threading.Semaphore(0)

def park():
    parked.release()
    while True:
        pass

class Texts:
    def __iter__(self):
        for i in range(50):
            yield "ab ba " * (i % 5)
        park()

class Id:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value == 40:
            park()
        return self.value

calls = {"texts": lambda: tok.encode_ids_batch(Texts()),
         "vocab": lambda: b.RustTokenizer().from_vocab([("t%d" % i, -1.0, Id(i)) for i in range(50)])}
for _ in range(4):
    threading.Thread(target=calls[CALL], daemon=True).start()
for _ in range(4):
    parked.acquire()

class Finalizer:
    # Python code run while the interpreter finalizes hands the lock to the
    # parked threads in turn, which stops them inside the calls.
    def __del__(self, spin=range(100000)):
        for _ in spin:
            pass

finalizer = Finalizer()
"""


def test_exit_with_daemon_threads_inside_python_code_called_by_the_module_is_clean():
    scripts = [EXIT_INSIDE_PYTHON_CODE.replace("CALL", repr(call)) for call in ("texts", "vocab")]
    assert run_all([script for script in scripts for _ in range(20)]) == [0] * 40


FORK_WHILE_BATCHES_RUN = """
expected = tok.encode_ids_batch(texts), b.rust_encode_ids_batch(plain, trie, True)
stop = False

def loop(call):
    while not stop:
        call()

threads = [threading.Thread(target=loop, args=(call,)) for call in
           (lambda: tok.encode_ids_batch(texts), lambda: b.rust_encode_ids_batch(plain, trie, True))]
for t in threads:
    t.start()
children = []
for _ in range(10):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        got = tok.encode_ids_batch(texts), b.rust_encode_ids_batch(plain, trie, True)
        # The child has a pool of its own beside its one thread.
        threads = len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else 2
        os._exit(0 if got == expected and (threads > 1 or os.cpu_count() == 1) else 1)
    children.append(pid)
stop = True
for t in threads:
    t.join()
deadline = time.monotonic() + 20
failed = 0
for pid in children:
    while (status := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if status[0] == 0:
        os.kill(pid, 9)
    failed += status[0] == 0 or status[1] != 0
sys.exit(failed)
"""


def test_children_forked_while_batches_run_get_the_same_results():
    assert run_all([FORK_WHILE_BATCHES_RUN]) == [0]


FORK_FROM_A_HANDLER_MID_BATCH = """
import signal
texts = ["ab" * 300 + "ba" * (i % 97) for i in range(6000)]
expected = b.rust_encode_ids_batch(texts, trie, False)
forked = []

def handler(signum, frame):
    # Only a fork made while the batch builds its lists, between two of them.
    if not forked and frame.f_code.co_filename == "<yield>":
        signal.setitimer(signal.ITIMER_REAL, 0)
        forked.append(os.fork())

signal.signal(signal.SIGALRM, handler)
for _ in range(50):
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    got = b.rust_encode_ids_batch(texts, trie, False)
    signal.setitimer(signal.ITIMER_REAL, 0)
    if forked:
        break
if forked == [0]:
    os._exit(0 if got == expected else 1)
deadline = time.monotonic() + 30
while forked and (status := os.waitpid(forked[0], os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
    time.sleep(0.01)
if forked and status[0] == 0:
    os.kill(forked[0], 9)
sys.exit(0 if forked and status[0] != 0 and status[1] == 0 and got == expected else 1)
"""


def test_a_child_forked_by_a_signal_handler_mid_batch_finishes_the_batch():
    assert run_all([FORK_FROM_A_HANDLER_MID_BATCH]) == [0]


TIGHT_ADDRESS_SPACE = """
import re, resource
texts = ["ab ba abab " * (i % 40) + "ba" * (i % 7) for i in range(20000)]
expected = [tok.encode_ids(t) for t in texts]
with open("/proc/self/status") as status:
    size = int(re.search(r"VmSize:\\s*(\\d+)", status.read()).group(1)) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + ROOM * 2**20, hard))
try:
    right = tok.encode_ids_batch(texts) == expected
except MemoryError:
    right = True
except BaseException as e:
    right = type(e).__name__ == "InternalFailure"
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
sys.exit(0 if right and tok.encode_ids_batch(texts) == expected else 1)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs Linux's process size")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's runtime maps memory that an address-space limit refuses")
def test_a_pool_that_cannot_start_its_threads_neither_aborts_nor_hangs():
    # The limit is set before the first parallel batch starts the pool; each
    # room lets a different number of its threads start.
    rooms = (2, 4, 6, 8, 12, 16, 18, 20, 32, 64)
    scripts = [TIGHT_ADDRESS_SPACE.replace("ROOM", str(room)) for room in rooms]
    assert run_all(scripts, env=dict(ENV, RAYON_NUM_THREADS="8")) == [0] * len(rooms)


LARGE_ID = """
import re, sys
import brindlore_core as b

def peak_kib():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmHWM:\\s*(\\d+)", status.read()).group(1))

trie = b.RustPrefixTrie(None)
trie.insert("w", -1.0, 7)
trie.insert("x", -1.0, 2**20 - 1)
# A first batch sets up what every batch needs (the pool, the caches).
assert b.rust_encode_ids_batch(["w"], trie, True) == [[7]]
before = peak_kib()
assert b.rust_encode_ids_batch(["x"], trie, True) == [[2**20 - 1]]
sys.exit(peak_kib() - before > 1024)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs Linux's peak memory figure")
def test_an_id_batch_costs_nothing_for_the_size_of_its_ids():
    # A fresh process, so that its peak memory is the batch's.
    assert run_all([LARGE_ID], setup="") == [0]


def test_a_sub_interpreter_cannot_import_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as excinfo:
            interpreters.run_string(interp, f"import sys\nsys.path[:0] = {sys.path!r}\nimport brindlore_core")
    finally:
        interpreters.destroy(interp)
    assert str(excinfo.value) == (
        "<class 'ImportError'>: brindlore_core can only be imported in the main interpreter, "
        "not in a sub-interpreter")
    assert brindlore_core.rust_pre_tokenize("ab cd") == ["ab", " ", "cd"]


FORK_WHILE_ANOTHER_THREAD_USES_THE_OBJECTS = """
big = ["ab ba abab " * 200] * 400
vocab = [("a", -1.0, 1), ("b", -1.0, 2), ("ab", -0.5, 5), ("\\u2581", -1.0, 3)]
expected = tok.encode_ids_batch(["ab", "ba"])
stop = False
running = [threading.Event(), threading.Event()]

def loop(call, event):
    while not stop:
        call()
        event.set()

def change():
    try:
        tok.from_vocab(vocab)
        trie.insert("ba", -0.5, 9)
        trie.max_subword_len = 4
    except RuntimeError:
        return 2
    return 0 if trie.contains("ba") and trie.max_subword_len == 4 else 3

threads = [threading.Thread(target=loop, args=(call, event)) for call, event in zip(
    (lambda: tok.encode_ids_batch(big), lambda: b.rust_encode_text_native_ids_batch(big, trie)),
    running)]
for t in threads:
    t.start()
for event in running:
    event.wait()
children = []
for _ in range(3):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        os._exit(change())
    children.append(pid)

# A fork from inside a batch on the same tokenizer (its generator of texts):
# the child keeps that batch's use until the batch returns, and only that one.
in_child = False
refused = None

def forking_texts():
    global in_child, refused
    yield "ab"
    pid = os.fork()
    if pid == 0:
        in_child = True
        try:
            tok.from_vocab(vocab)
        except RuntimeError as error:
            refused = str(error)
    else:
        children.append(pid)
    yield "ba"

got = tok.encode_ids_batch(forking_texts())
if in_child:
    os._exit(4 if refused != "Already borrowed" or got != expected else change())
stop = True
for t in threads:
    t.join()
deadline = time.monotonic() + 20
codes = []
for pid in children:
    while (status := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if status[0] == 0:
        os.kill(pid, 9)
    codes.append(os.waitstatus_to_exitcode(status[1]) if status[0] else 9)
sys.exit(max(codes))
"""


def test_a_child_can_change_objects_that_vanished_threads_were_using():
    assert run_all([FORK_WHILE_ANOTHER_THREAD_USES_THE_OBJECTS]) == [0]
