"""Batch argument extraction and the batch scheme (sequential below 32 texts, parallel from 32)."""

import collections.abc
import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

import brindlore_core
from brindlore_core import (
    RustPrefixTrie,
    RustTokenizer,
    rust_diagnostic_batch,
    rust_encode_ids_batch,
    rust_encode_text_batch,
    rust_encode_text_native_batch,
    rust_encode_text_native_ids_batch,
    rust_encode_tokens_batch,
    rust_viterbi_decode,
    rust_viterbi_decode_batch,
)

SINGLE = "batch input must be a list or sequence of strings, not a single string/bytes object"
NOT_A_BATCH = "batch input must be a list, tuple, or sequence of strings"
ELEMENTS = "batch elements must be strings: "
NOT_STR = "TypeError: 'int' object is not an instance of 'str'"
DISCONNECTED = (
    "lattice disconnected at character index {}; enable byte fallback or provide complete vocabulary coverage"
)
BATCH_FUNCTIONS = [rust_viterbi_decode_batch, rust_encode_tokens_batch, rust_encode_ids_batch]


@pytest.fixture
def trie(make_trie):
    return make_trie([("a", -1.0, 1), ("b", -1.0, 2), ("ab", -1.5, 3), ("\u2581", -2.0, 4)])


def refusal(texts, trie):
    with pytest.raises(ValueError) as excinfo:
        rust_encode_tokens_batch(texts, trie, True)
    return str(excinfo.value)


# ---- what counts as a batch ----


class StorageList(list):
    def __getitem__(self, index):
        raise AssertionError("item access must not be called")

    def __iter__(self):
        raise AssertionError("iteration must not be called")


class Seq(collections.abc.Sequence):
    def __init__(self, items, fail_len=None, fail_item=None):
        self.items, self.fail_len, self.fail_item = items, fail_len, fail_item

    def __len__(self):
        if self.fail_len:
            raise self.fail_len
        return len(self.items)

    def __getitem__(self, index):
        if self.fail_item and index == 1:
            raise self.fail_item
        return self.items[index]


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Outer:
    class Inner(Exception):
        pass


def failing_generator(exc):
    yield "a"
    raise exc


@pytest.mark.parametrize(
    "texts, expected",
    [
        ([], []),
        (["ab", "a"], [["ab"], ["a"]]),
        (("ab", "b"), [["ab"], ["b"]]),
        ((t for t in ["a", "b"]), [["a"], ["b"]]),
        ({"b": 1, "ab": 2}, [["b"], ["ab"]]),
        ({"b": 1}.keys(), [["b"]]),
        ({"a"}, [["a"]]),
        (frozenset(), []),
        (iter(["ba"]), [["b", "a"]]),
        (StorageList(["ab", "ba"]), [["ab"], ["b", "a"]]),
        (Seq(["a", "bb"]), [["a"], ["b", "b"]]),
        (["\u2581ab", type("S", (str,), {})("b")], [["\u2581", "ab"], ["b"]]),
    ],
)
def test_accepted_batches(trie, texts, expected):
    assert rust_encode_tokens_batch(texts, trie, True) == expected


@pytest.mark.parametrize(
    "texts, message",
    [
        ("ab", SINGLE),
        (b"ab", SINGLE),
        (type("S", (str,), {})("ab"), SINGLE),
        (None, NOT_A_BATCH),
        (5, NOT_A_BATCH),
        (object(), NOT_A_BATCH),
        (["a", 1], ELEMENTS + NOT_STR),
        (("a", None), ELEMENTS + "TypeError: 'None' is not an instance of 'str'"),
        (bytearray(b"ab"), ELEMENTS + NOT_STR),
        ([b"a"], ELEMENTS + "TypeError: 'bytes' object is not an instance of 'str'"),
        ({1: "a"}, ELEMENTS + NOT_STR),
        ((x for x in [1]), ELEMENTS + NOT_STR),
        (["a", "\ud800"],
         ELEMENTS + "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
         "surrogates not allowed"),
        (Seq(["a"], fail_len=ValueError("no length")), "ValueError: no length"),
        (Seq(["a", "b"], fail_item=KeyError("k")), "KeyError: 'k'"),
        (failing_generator(RuntimeError("stopped")), "RuntimeError: stopped"),
        (failing_generator(BadStr()), "BadStr: <exception str() failed>"),
        (failing_generator(Outer.Inner("deep")), "Outer.Inner: deep"),
    ],
)
def test_refused_batches(trie, texts, message):
    assert refusal(texts, trie) == message


def test_every_batch_function_refuses_alike(trie):
    for function in BATCH_FUNCTIONS:
        for texts, message in (("ab", SINGLE), (None, NOT_A_BATCH), ([1], ELEMENTS + NOT_STR)):
            with pytest.raises(ValueError) as excinfo:
                function(texts, trie, True)
            assert str(excinfo.value) == message
        assert function([], trie, True) == []
        assert function((), trie, False, 3) == []


def test_a_sequence_claiming_a_huge_length_fails_on_its_items(trie):
    class Huge(collections.abc.Sequence):
        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index == 2:
                raise IndexError("gone")
            return "a"

    assert refusal(Huge(), trie) == "IndexError: gone"


def test_a_failing_instance_test_counts_as_no_sequence(trie):
    class Odd:
        @property
        def __class__(self):
            raise LookupError("no class")

        def __iter__(self):
            return iter(["ab"])

    seen = []
    old, sys.unraisablehook = sys.unraisablehook, lambda u: seen.append(u.exc_type)
    try:
        assert rust_encode_tokens_batch(Odd(), trie, True) == [["ab"]]
    finally:
        sys.unraisablehook = old
    assert seen == [LookupError]


# ---- interrupts ----


def every_batch_entry_point(trie):
    tokenizer = RustTokenizer([("a", -1.0, 1)])
    return [
        lambda texts: rust_viterbi_decode_batch(texts, trie, True),
        lambda texts: rust_encode_tokens_batch(texts, trie, True),
        lambda texts: rust_encode_ids_batch(texts, trie, True),
        lambda texts: rust_encode_text_native_batch(texts, trie),
        lambda texts: rust_encode_text_native_ids_batch(texts, trie),
        lambda texts: rust_encode_text_batch(texts, trie),
        tokenizer.encode_batch,
        tokenizer.encode_ids_batch,
        lambda texts: rust_diagnostic_batch(texts, trie, True),
    ]


class Unclassifiable:
    """Fails the collections.abc.Sequence test itself."""

    def __init__(self, exc):
        self.exc = exc

    @property
    def __class__(self):
        raise self.exc


READERS = {
    "iterator": failing_generator,
    "__getitem__": lambda exc: Seq(["a", "b"], fail_item=exc),
    "__len__": lambda exc: Seq(["a"], fail_len=exc),
    "isinstance": Unclassifiable,
}


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
@pytest.mark.parametrize("reader", READERS)
def test_interrupts_propagate_unchanged_from_every_batch_entry_point(trie, exc_type, reader):
    for call in every_batch_entry_point(trie):
        exc = exc_type("stop")
        with pytest.raises(exc_type) as excinfo:
            call(READERS[reader](exc))
        assert excinfo.value is exc


# ---- the scheme ----


TEXTS = ["ab", "ba", "\u2581ab\u00e9", "", "aab", "b\u65e5", "abab" * 10, "\u2581"]


@pytest.mark.parametrize("function", BATCH_FUNCTIONS[:2])
@pytest.mark.parametrize("limit", [None, 2])
def test_31_and_32_texts_agree_with_single_decodes(trie, function, limit):
    texts = (TEXTS * 4)[:32]
    single = [[s.token for s in rust_viterbi_decode(t, trie, True, limit)] for t in texts]
    small = function(texts[:31], trie, True, limit)
    large = function(texts, trie, True, limit)
    if function is rust_viterbi_decode_batch:
        small = [[s.token for s in r] for r in small]
        large = [[s.token for s in r] for r in large]
    assert small == single[:31]
    assert large == single


def test_span_batches_carry_offsets(trie):
    result = rust_viterbi_decode_batch(["b\u65e5ab"] * 32, trie, True)
    assert len(result) == 32
    for spans in result:
        assert [(s.token, s.token_id, s.start, s.end) for s in spans] == [
            ("b", 2, 0, 1), ("<0xE6>", None, 1, 2), ("<0x97>", None, 1, 2), ("<0xA5>", None, 1, 2),
            ("ab", 3, 2, 4)]


def test_ids_batch(trie):
    assert rust_encode_ids_batch(["ab", "ba", "\u2581a"] * 11, trie, False) == [[3], [2, 1], [4, 1]] * 11


@pytest.mark.parametrize("count", [1, 31, 32, 1000])
def test_id_lists_hold_exactly_one_reference_per_occurrence(make_trie, count):
    # An id whose object the process keeps, and ids beyond those, near 2**20 and 2**31.
    ids = [1000, 2**20, 2**31 + 5]
    trie = make_trie([("a", -1.0, ids[0]), ("b", -1.0, ids[1]), ("c", -1.0, ids[2])])
    result = rust_encode_ids_batch(["abc", "aabcc"] * count, trie, False)
    objects = list(result[0])
    assert objects == ids
    with_lists = [sys.getrefcount(o) for o in objects]
    del result
    without = [sys.getrefcount(o) for o in objects]
    assert [w - o for w, o in zip(with_lists, without)] == [3 * count, 2 * count, 3 * count]
    # nothing left beyond what a new int in a list has
    assert without[1:] == [sys.getrefcount(o) for o in [int(str(i)) for i in ids[1:]]]


def failing_batch(count, failing):
    texts = ["ab"] * count
    for index in failing:
        texts[index] = "ab" * index + "x"
    return texts


@pytest.mark.parametrize("function", BATCH_FUNCTIONS)
def test_sequential_batches_report_the_first_failure(trie, function):
    for _ in range(20):
        with pytest.raises(ValueError) as excinfo:
            function(failing_batch(10, [5, 8]), trie, False)
        assert str(excinfo.value) == DISCONNECTED.format(11)


@pytest.mark.parametrize("function", BATCH_FUNCTIONS)
def test_parallel_batches_report_one_failure(trie, function):
    messages = {DISCONNECTED.format(11), DISCONNECTED.format(61)}
    for _ in range(20):
        with pytest.raises(ValueError) as excinfo:
            function(failing_batch(40, [5, 30]), trie, False)
        assert str(excinfo.value) in messages


FAILURE_AFTER_BUILT_LISTS = """
import gc
import brindlore_core as b
trie = b.RustPrefixTrie(None)
for token, score, token_id in [("a", -1.0, 1), ("b", -1.0, 2), ("ab", -1.5, 3)]:
    trie.insert(token, score, token_id)
texts = ["abab"] * 5000 + ["abx"]
for function in (b.rust_encode_ids_batch, b.rust_encode_tokens_batch, b.rust_viterbi_decode_batch):
    counts, messages = [], set()
    for _ in range(3):
        try:
            function(texts, trie, False)
        except ValueError as error:
            messages.add(str(error))
        gc.collect()
        counts.append(len(gc.get_objects()))
    print(*messages, counts[2] - counts[1])
"""


def test_a_failure_after_lists_were_built_releases_them_all():
    # One thread builds the lists of the texts done before it reaches the
    # failing last one; the failure releases them all (a leak would leave
    # thousands of lists behind per call).
    env = dict(os.environ, PYTHONPATH=os.path.dirname(brindlore_core.__file__), RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", FAILURE_AFTER_BUILT_LISTS], env=env, check=True,
                         capture_output=True, text=True).stdout
    assert out.splitlines() == [DISCONNECTED.format(3) + " 0"] * 3


def test_other_threads_run_while_a_batch_builds_its_lists(trie):
    # The collector's count of new objects grows by one per list built (with
    # the collector disabled, nothing resets it). A thread that reads it while
    # a batch runs sees it part way only if the batch let it run while the
    # lists were being built, as it asks to every switch interval.
    texts = ["ab"] * 100_000
    seen, done = [], threading.Event()

    def observe():
        while not done.is_set():
            seen.append(gc.get_count()[0])

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    gc.disable()
    try:
        for _ in range(5):
            seen.clear()
            done.clear()
            observer = threading.Thread(target=observe)
            observer.start()
            start = gc.get_count()[0]
            result = rust_encode_ids_batch(texts, trie, False)
            end = gc.get_count()[0]
            done.set()
            observer.join()
            del result
            assert end - start > len(texts) // 2  # the lists were counted
            if any(start + 10 < count < end - 10 for count in seen):
                break
        else:
            pytest.fail("no other thread ran while the lists were built")
    finally:
        gc.enable()
        sys.setswitchinterval(interval)


def test_an_interrupt_while_a_pool_batch_builds_its_lists_ends_the_batch(trie):
    # The calling thread of a pool batch runs Python's signal handlers between
    # the lists it builds; what a handler raises there ends the batch and comes
    # out of the call unchanged. The handler raises only when it interrupts
    # something other than this function, i.e. inside the call.
    texts = ["ab"] * 100_000
    calling, raised = [False], []

    def handler(signum, frame):
        if calling[0] and frame.f_code is not outside:
            raise KeyboardInterrupt

    outside = sys._getframe().f_code
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        for _ in range(100):
            calling[0] = True
            try:
                rust_encode_ids_batch(texts, trie, False)
            except KeyboardInterrupt:
                raised.append(True)
            calling[0] = False
            if raised:
                break
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert raised
    assert rust_encode_ids_batch(["ab"] * 64, trie, False) == [[3]] * 64


def test_small_pool_batches_return_every_list_in_order(trie):
    # Lists are built while the pool still writes the ids of later texts: the
    # last texts done on other threads, and the texts not done yet, are where
    # a batch could come back short or read ids half written.
    rng = random.Random(16)
    words = ["a", "b", "ab", "ba", "abab", "bab"]
    single = {w: rust_encode_ids_batch([w], trie, False)[0] for w in words}
    for _ in range(20_000):
        texts = [rng.choice(words) for _ in range(rng.randint(32, 100))]
        assert rust_encode_ids_batch(texts, trie, False) == [single[w] for w in texts]


def test_successful_texts_stay_cached_after_a_failed_batch(trie):
    texts = failing_batch(10, [5])
    with pytest.raises(ValueError):
        rust_encode_ids_batch(texts, trie, False)
    assert trie.seg_cache_len() == 1  # "ab" before the failure


def test_concurrent_batches_clear_and_insert(make_trie):
    trie = make_trie([(c, -1.0, i) for i, c in enumerate("abcdefgh")] + [("ab", -1.5, 20), ("cde", -2.0, 21)])
    texts = ["".join("abcdefgh"[(i * 7 + k) % 8] for k in range(3 + i % 13)) for i in range(4000)]
    expected = [[s.token_id for s in rust_viterbi_decode(t, trie, False)] for t in texts]
    stop = threading.Event()
    failures, borrowed, results = [], [], []

    def batches():
        try:
            for _ in range(8):
                results.append(rust_encode_ids_batch(texts, trie, False) == expected)
        except Exception as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    def clearer():
        while not stop.is_set():
            trie.clear_seg_cache()
            time.sleep(0.0002)

    def inserter():
        # Re-inserting an existing entry changes nothing when it succeeds.
        while not stop.is_set():
            try:
                trie.insert("a", -1.0, 0)
            except RuntimeError as exc:
                borrowed.append(str(exc))
            time.sleep(0.0002)

    workers = [threading.Thread(target=batches) for _ in range(3)]
    helpers = [threading.Thread(target=clearer), threading.Thread(target=inserter)]
    for t in helpers + workers:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    for t in helpers:
        t.join()
    assert failures == []
    assert results == [True] * 24
    assert borrowed and set(borrowed) == {"Already borrowed"}
