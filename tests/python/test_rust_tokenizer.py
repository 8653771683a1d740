"""RustTokenizer (construction, vocabulary replacement, encoding) and the pipeline timing diagnostic."""

import collections.abc
import math
import threading

import pytest

from brindlore_core import RustPrefixTrie, RustTokenizer, rust_diagnostic_batch, rust_encode_text_native

RESERVED = "space_char conflicts with reserved metaspace escape characters"
SINGLE = "batch input must be a list or sequence of strings, not a single string/bytes object"
DISCONNECTED = (
    "lattice disconnected at character index {}; enable byte fallback or provide complete vocabulary coverage"
)
LENGTH = "expected tuple of length 3, but got tuple of length {}"
RANGE = "out of range integral type conversion attempted"

VOCAB = [("a", -2.0, 1), ("b", -2.0, 2), ("ab", -1.0, 3), ("\u2581", -3.0, 4), ("\u2581b", -1.5, 5)]


@pytest.fixture
def tokenizer():
    return RustTokenizer(VOCAB)


class Entries(collections.abc.Sequence):
    """A registered Sequence whose iteration can be held up at a barrier."""

    def __init__(self, items, gate=None):
        self.items, self.gate = items, gate

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.gate:
            self.gate()
        return iter(self.items)


class Pair(tuple):
    pass


# ---- the class and its construction ----


def test_documentation():
    assert RustTokenizer.__doc__ == ""
    assert RustTokenizer.__text_signature__ == "(vocab=None, space_char='\\u{2581}', byte_fallback=True)"
    for name, arg in [("from_vocab", "vocab"), ("encode", "text"), ("encode_batch", "texts"),
                      ("encode_ids", "text"), ("encode_ids_batch", "texts")]:
        method = getattr(RustTokenizer, name)
        assert method.__text_signature__ == f"($self, {arg})"
        assert method.__doc__ is None
    assert [n for n in vars(RustTokenizer) if not n.startswith("__")] == [
        "from_vocab", "encode", "encode_batch", "encode_ids", "encode_ids_batch"]


@pytest.mark.parametrize("args", [(), (None,), ([],), ((),)])
def test_empty_vocabularies(args):
    tok = RustTokenizer(*args)
    # Byte fallback is on and U+2581 is the space character.
    assert tok.encode("a b") == ["<0x61>", "<0xE2>", "<0x96>", "<0x81>", "<0x62>"]
    with pytest.raises(ValueError) as excinfo:
        tok.encode_ids("a b")
    assert str(excinfo.value) == 'decoded token "<0x61>" has no integer ID'


@pytest.mark.parametrize(
    "vocab",
    [
        (("ab", -1.0, 3), ("a", -2, 1)),
        [Pair(("ab", -1.0, 3)), ("a", -2.0, 1)],
        Entries([("ab", -1.0, 3), ("a", -2.0, 1)]),
        # A repeated token takes the later id and score.
        [("ab", -9.0, 7), ("ab", -1.0, 3), ("a", -2.0, 1)],
    ],
)
def test_accepted_vocabularies(vocab):
    tok = RustTokenizer(vocab)
    assert tok.encode_ids("aba") == [3, 1]


def test_id_range():
    assert RustTokenizer([("a", 0.0, 4294967295)]).encode_ids("a") == [4294967295]


@pytest.mark.parametrize(
    "args, kwargs, exception, message, note",
    [
        (("ab",), {}, TypeError, None, "vocab"),
        (([["a", -1.0, 1]],), {}, TypeError, "'list' object is not an instance of 'tuple'", "vocab"),
        (({"a": 1},), {}, TypeError, "'dict' object is not an instance of 'Sequence'", "vocab"),
        (({("a", -1.0, 1)},), {}, TypeError, None, "vocab"),
        (((e for e in VOCAB),), {}, TypeError, None, "vocab"),
        (([("a", -1.0)],), {}, ValueError, LENGTH.format(2), "vocab"),
        (([("a", -1.0, 1, 2)],), {}, ValueError, LENGTH.format(4), "vocab"),
        (([("a", -1.0, -1)],), {}, OverflowError, RANGE, "vocab"),
        (([("a", -1.0, 2**32)],), {}, OverflowError, RANGE, "vocab"),
        (([(1, -1.0, 1)],), {}, TypeError, "'int' object is not an instance of 'str'", "vocab"),
        (([("a", "x", 1)],), {}, TypeError, None, "vocab"),
        (([("a", -1.0, 1), ("", -1.0, 2)],), {}, ValueError, "token must not be empty", None),
        (([("a", math.nan, 1)],), {}, ValueError, "log_p must be finite", None),
        (([("a", math.inf, 1)],), {}, ValueError, "log_p must be finite", None),
        (([("a", -math.inf, 1)],), {}, ValueError, "log_p must be finite", None),
        # Later arguments are not looked at once `vocab` fails.
        (("ab",), {"space_char": "xy"}, TypeError, None, "vocab"),
        ((), {"space_char": "xy"}, ValueError, "expected a string of length 1", "space_char"),
        ((), {"space_char": 1}, TypeError, None, "space_char"),
        ((), {"byte_fallback": 1}, TypeError, "'int' object is not an instance of 'bool'", "byte_fallback"),
        ((None, "x", True, 1), {}, TypeError,
         "RustTokenizer.__new__() takes from 0 to 3 positional arguments but 4 were given", None),
    ],
)
def test_construction_failures(args, kwargs, exception, message, note):
    with pytest.raises(exception) as excinfo:
        RustTokenizer(*args, **kwargs)
    if message is not None:
        assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", [None]) == [f"while processing '{note}'" if note else None]


# ---- from_vocab ----


@pytest.mark.parametrize(
    "vocab, exception",
    [(None, TypeError), ("ab", TypeError), ([("a", -1.0)], ValueError), ([("a", -1.0, -1)], OverflowError)],
)
def test_from_vocab_conversion_failure_keeps_everything(tokenizer, vocab, exception):
    before = tokenizer.encode_ids("ab b")
    with pytest.raises(exception) as excinfo:
        tokenizer.from_vocab(vocab)
    assert excinfo.value.__notes__ == ["while processing 'vocab'"]
    assert tokenizer.encode_ids("ab b") == before


def test_from_vocab_replaces_trie_and_cache(tokenizer):
    assert tokenizer.encode("ab") == ["ab"]
    # The cached segmentation of "ab" goes with the old trie.
    assert tokenizer.from_vocab([("a", -1.0, 10), ("b", -1.0, 11)]) is None
    assert tokenizer.encode_ids("ab") == [10, 11]
    tokenizer.from_vocab([])
    assert tokenizer.encode("x") == ["<0x78>"]


@pytest.mark.parametrize(
    "bad, message",
    [(("", -1.0, 22), "token must not be empty"), (("z", math.nan, 22), "log_p must be finite")],
)
def test_a_refused_from_vocab_changes_nothing(tokenizer, bad, message):
    texts = ["ab b", "xya"]
    before = [tokenizer.encode(t) for t in texts], tokenizer.encode_ids_batch(texts[:1])
    with pytest.raises(ValueError) as excinfo:
        tokenizer.from_vocab([("x", -1.0, 20), ("y", -1.0, 21), bad])
    assert str(excinfo.value) == message
    assert ([tokenizer.encode(t) for t in texts], tokenizer.encode_ids_batch(texts[:1])) == before


def test_settings_survive_from_vocab():
    tok = RustTokenizer([], "_", False)
    tok.from_vocab([("a", -1.0, 1), ("_", -1.0, 2)])
    assert tok.encode_ids("a a") == [1, 2, 1]
    with pytest.raises(ValueError) as excinfo:
        tok.encode("b")
    assert str(excinfo.value) == DISCONNECTED.format(1)


# ---- encoding ----


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", []),
        ("ab b", ["ab", "\u2581b"]),
        # No gate: escape characters, the space character and control syntax are encoded.
        ("\ue000", ["<0xEE>", "<0x80>", "<0x80>", "<0xEE>", "<0x80>", "<0x80>"]),
        ("a\u2581", ["a", "<0xEE>", "<0x80>", "<0x80>", "<0xEE>", "<0x80>", "<0x81>"]),
        ("<|a|>", ["<0x3C>", "<0x7C>", "a", "<0x7C>", "<0x3E>"]),
        # Unicode spaces become the space character.
        ("a\u3000b", ["a", "\u2581b"]),
    ],
)
def test_encode(tokenizer, text, tokens):
    assert tokenizer.encode(text) == tokens
    assert tokenizer.encode_batch([text]) == [tokens]


def test_ids_follow_tokens(tokenizer):
    ids = dict((t, i) for t, _, i in VOCAB)
    for text in ["ab b", "a  b", "ba\u3000ab", ""]:
        assert tokenizer.encode_ids(text) == [ids[t] for t in tokenizer.encode(text)]
    with pytest.raises(ValueError) as excinfo:
        tokenizer.encode_ids("a \u00e9")
    assert str(excinfo.value) == 'decoded token "<0xC3>" has no integer ID'


def test_equals_fused_encode_for_gated_texts(tokenizer):
    trie = RustPrefixTrie()
    for token, score, token_id in VOCAB:
        trie.insert(token, score, token_id)
    for text in ["ab b", "a  b\u00e9 ", "bb\u00a0a", "", "|> a"]:
        assert tokenizer.encode(text) == rust_encode_text_native(text, trie)


@pytest.mark.parametrize("count", [0, 1, 5, 31, 32, 100])
def test_batches_equal_single_encodes(tokenizer, count):
    texts = [["ab b", "", "ba ab", "\u00e9a", "a\ue000"][i % 5] for i in range(count)]
    assert tokenizer.encode_batch(texts) == [tokenizer.encode(t) for t in texts]
    clean = [t for t in texts if "\u00e9" not in t and "\ue000" not in t]
    assert tokenizer.encode_ids_batch(clean) == [tokenizer.encode_ids(t) for t in clean]


@pytest.mark.parametrize("method", ["encode_batch", "encode_ids_batch"])
def test_batch_failures(method):
    tok = RustTokenizer(VOCAB, byte_fallback=False)
    run = getattr(tok, method)
    with pytest.raises(ValueError) as excinfo:
        run(["ab"] * 40 + ["abc"])
    assert str(excinfo.value) == DISCONNECTED.format(3)
    with pytest.raises(ValueError) as excinfo:
        run("ab")
    assert str(excinfo.value) == SINGLE
    with pytest.raises(ValueError) as excinfo:
        run(["ab", 1])
    assert str(excinfo.value) == "batch elements must be strings: TypeError: 'int' object is not an instance of 'str'"


def test_reserved_space_char():
    tok = RustTokenizer(VOCAB, "\ue000")
    for call in (lambda: tok.encode(""), lambda: tok.encode_ids("a"), lambda: tok.encode_batch(["a"]),
                 lambda: tok.encode_ids_batch(["", "b"])):
        with pytest.raises(ValueError) as excinfo:
            call()
        assert str(excinfo.value) == RESERVED
    assert tok.encode_batch([]) == [] and tok.encode_ids_batch([]) == []


def test_argument_errors(tokenizer):
    with pytest.raises(TypeError) as excinfo:
        tokenizer.encode(b"ab")
    assert str(excinfo.value) == "'bytes' object is not an instance of 'str'"
    assert excinfo.value.__notes__ == ["while processing 'text'"]
    with pytest.raises(TypeError) as excinfo:
        tokenizer.encode_ids()
    assert str(excinfo.value) == "RustTokenizer.encode_ids() missing 1 required positional argument: 'text'"
    assert tokenizer.encode_batch(texts=["ab"]) == [["ab"]]


# ---- use of the object from several threads ----


def run_held(start_call, while_held):
    """Runs `start_call(gate)` on a thread; `gate` blocks that call until `while_held` has run."""
    entered, release = threading.Event(), threading.Event()
    outcome = {}

    def gate():
        entered.set()
        release.wait(10)

    def worker():
        try:
            outcome["result"] = start_call(gate)
        except BaseException as exc:  # noqa: BLE001 - reported to the test thread
            outcome["error"] = exc

    thread = threading.Thread(target=worker)
    thread.start()
    try:
        assert entered.wait(10)
        while_held()
    finally:
        release.set()
        thread.join(10)
    return outcome


def gated_texts(texts, gate):
    gate()
    yield from texts


def test_batch_holds_the_object(tokenizer):
    def while_held():
        assert tokenizer.encode("ab") == ["ab"]
        with pytest.raises(RuntimeError) as excinfo:
            tokenizer.from_vocab([("x", -1.0, 1)])
        assert str(excinfo.value) == "Already borrowed"

    outcome = run_held(lambda gate: tokenizer.encode_batch(gated_texts(["ab b"] * 3, gate)), while_held)
    assert outcome == {"result": [["ab", "\u2581b"]] * 3}
    # The batch finished with the old vocabulary; now the object is free again.
    tokenizer.from_vocab([("x", -1.0, 1)])


def test_from_vocab_holds_the_object(tokenizer):
    def while_held():
        with pytest.raises(RuntimeError) as excinfo:
            tokenizer.encode("ab")
        assert str(excinfo.value) == "Already mutably borrowed"

    outcome = run_held(lambda gate: tokenizer.from_vocab(Entries([("x", -1.0, 1)], gate)), while_held)
    assert outcome == {"result": None}
    assert tokenizer.encode_ids("x") == [1]


# ---- the pipeline timing diagnostic ----

KEYS = {"total", "norm", "pre", "viterbi", "alloc", "chunks", "tokens", "edges", "states"}


@pytest.fixture
def trie(make_trie):
    return make_trie([("a", -1.0, 1), ("b", -1.0, 2)])


def counts(result):
    return {k: result[k] for k in ("chunks", "tokens", "edges", "states")}


@pytest.mark.parametrize(
    "texts, byte_fallback, expected",
    [
        ([], False, dict(chunks=0.0, tokens=0.0, edges=0.0, states=0.0)),
        ([""], False, dict(chunks=0.0, tokens=0.0, edges=0.0, states=0.0)),
        (["ab"], False, dict(chunks=1.0, tokens=2.0, edges=2.0, states=3.0)),
        # Characters, not bytes: three two-byte characters count four states.
        (["\u00e9\u00e9\u00e9"], True, dict(chunks=1.0, tokens=6.0, edges=6.0, states=4.0)),
        # The space becomes U+2581 and starts the second piece.
        (("ab", "a b"), True, dict(chunks=3.0, tokens=7.0, edges=7.0, states=8.0)),
    ],
)
def test_diagnostic_counts(trie, texts, byte_fallback, expected):
    result = rust_diagnostic_batch(texts, trie, byte_fallback)
    assert set(result) == KEYS
    assert all(type(v) is float and v >= 0.0 for v in result.values())
    assert counts(result) == expected
    if not texts:
        assert [result[k] for k in ("norm", "pre", "viterbi", "alloc")] == [0.0] * 4
    # The cache is neither read nor filled.
    assert trie.seg_cache_len() == 0


def test_diagnostic_failures(trie):
    with pytest.raises(ValueError) as excinfo:
        rust_diagnostic_batch(["ab", "c"], trie, False)
    assert str(excinfo.value) == DISCONNECTED.format(1)
    with pytest.raises(ValueError) as excinfo:
        rust_diagnostic_batch("ab", trie, True)
    assert str(excinfo.value) == SINGLE
    # `texts` is converted last.
    with pytest.raises(TypeError) as excinfo:
        rust_diagnostic_batch("ab", trie, 1)
    assert excinfo.value.__notes__ == ["while processing 'byte_fallback'"]
    with pytest.raises(TypeError) as excinfo:
        rust_diagnostic_batch(None, None, 1)
    assert excinfo.value.__notes__ == ["while processing 'trie'"]
    assert rust_diagnostic_batch.__text_signature__ == "(texts, trie, byte_fallback)"
    assert rust_diagnostic_batch.__doc__ is None
