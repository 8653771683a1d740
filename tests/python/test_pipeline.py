"""The fused encoders (single text and batch), their gate, and the whole-batch id encoder."""

import pytest

from brindlore_core import (
    RustPrefixTrie,
    rust_encode_text_batch,
    rust_encode_text_native,
    rust_encode_text_native_batch,
    rust_encode_text_native_ids,
    rust_encode_text_native_ids_batch,
)

ESCAPES = "text contains private-use metaspace escape characters; use the Python pipeline"
CONTROL = "text contains control-token syntax after NFKC; use the Python pipeline"
RESERVED = "space_char conflicts with reserved metaspace escape characters"
SINGLE = "batch input must be a list or sequence of strings, not a single string/bytes object"
DISCONNECTED = (
    "lattice disconnected at character index {}; enable byte fallback or provide complete vocabulary coverage"
)
NATIVE_IDS_MISSING = "rust_encode_text_native_ids: decoded token {} has no integer ID"
SIGNATURE_TAIL = (
    "trie, byte_fallback=True, space_char='\\u{2581}', normalize_unicode=True, normalize_unicode_spaces=True, "
    "normalize_punctuation=False, lowercase=False, collapse_whitespaces=False, strip_whitespace=False)"
)

LETTERS = "abcdefghijklmnopqrstuvwxyz"
VOCAB = (
    [(c, -3.0, i) for i, c in enumerate(LETTERS)]
    + [("\u2581" + c, -2.5, 100 + i) for i, c in enumerate(LETTERS)]
    + [("\u2581", -4.0, 200), ("<", -3.0, 201), ("|", -3.0, 202), (">", -3.0, 203), (".", -3.0, 204)]
    + [("\ue000", -3.0, 205), ("\ue001", -3.0, 206), ("he", -1.0, 207), ("llo", -1.0, 208)]
    + [("\u2581world", -1.0, 209), ("noid", -1.0, None)]
)
TOKEN_IDS = {token: token_id for token, _, token_id in VOCAB}


@pytest.fixture
def trie(make_trie):
    return make_trie(VOCAB)


# ---- the single-text encoders ----


@pytest.mark.parametrize(
    "function, first, doc",
    [
        (rust_encode_text_native, "text",
         "Fused single-text encode: normalize + full pre-tokenizer regex + Viterbi in\nONE FFI crossing. Only "
         "equivalent to the Python pipeline when the caller\ngates on the same config the Python path would use "
         "(see\n`CustomTokenizer._native_pipeline_kwargs`); this function additionally\nrefuses texts that would "
         "need security-shield escaping."),
        (rust_encode_text_native_ids, "text",
         "Fused single-text encode to token IDs: normalize + full pre-tokenizer regex + Viterbi -> u32 IDs in "
         "ONE FFI call."),
        (rust_encode_text_native_batch, "texts",
         "Fused batch encode: one FFI + Rayon across texts. On any per-text rejection\n(e.g. control-token "
         "syntax) the whole batch errors so the caller can fall\nback to the Python pipeline wholesale."),
        (rust_encode_text_native_ids_batch, "texts",
         "Fused batch encode to token IDs: one FFI + Rayon across texts directly returning Vec<Vec<u32>>."),
    ],
)
def test_signatures_and_docstrings(function, first, doc):
    assert function.__text_signature__ == f"({first}, " + SIGNATURE_TAIL
    assert function.__doc__ == doc


def test_text_batch_signature():
    assert rust_encode_text_batch.__text_signature__ == "(texts, trie, byte_fallback=True, space_char=' ')"
    assert rust_encode_text_batch.__doc__ == (
        "Native end-to-end pipeline: raw texts -> normalize -> regex pre-tokenize -> Viterbi DAG -> token IDs.\n"
        "Executes completely in parallel across all CPU cores with the Python GIL released."
    )


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []),
        ("hello world", ["he", "llo", "\u2581world"]),
        # Only the opener counts for the gate.
        ("a |> b", ["a", "\u2581", "|", ">", "\u2581b"]),
        # The space character is escaped by normalization and decoded like any text.
        ("a\u2581b", ["a", "\ue000", "\ue001", "b"]),
    ],
)
def test_encodes_and_ids_follow_tokens(trie, text, expected):
    assert rust_encode_text_native(text, trie) == expected
    assert rust_encode_text_native_ids(text, trie) == [TOKEN_IDS[t] for t in expected]


@pytest.mark.parametrize(
    "text, kwargs, message",
    [
        ("a\ue000b", {}, ESCAPES),
        ("a\ue001b", {}, ESCAPES),
        ("<|\ue000", {}, ESCAPES),
        ("x <| y", {}, CONTROL),
        ("<|user|> hi", {}, CONTROL),
        # The gate always applies NFKC, whatever the switch says.
        ("\uff1c\uff5c", {"normalize_unicode": False}, CONTROL),
        # The gate comes before the normalizer's check of the space character.
        ("\ue000", {"space_char": "\ue000"}, ESCAPES),
        ("abc", {"space_char": "\ue000"}, RESERVED),
        ("abc", {"space_char": "\ue001"}, RESERVED),
        ("", {"space_char": "\ue001"}, RESERVED),
        # Without byte fallback a character that no token covers fails in the decoder.
        ("ab\u00e9", {"byte_fallback": False}, DISCONNECTED.format(3)),
    ],
)
@pytest.mark.parametrize("encoder", [rust_encode_text_native, rust_encode_text_native_ids])
def test_refusals_and_failures(trie, encoder, text, kwargs, message):
    with pytest.raises(ValueError) as excinfo:
        encoder(text, trie, **kwargs)
    assert str(excinfo.value) == message


def test_byte_pieces_without_ids(trie):
    assert rust_encode_text_native("\u00e9", trie) == ["<0xC3>", "<0xA9>"]
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_native_ids("a \u00e9", trie)
    assert str(excinfo.value) == NATIVE_IDS_MISSING.format('"<0xC3>"')
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_native_ids("noid", trie)
    assert str(excinfo.value) == NATIVE_IDS_MISSING.format('"noid"')


@pytest.mark.parametrize(
    "call, exception, message, note",
    [
        (lambda t: rust_encode_text_native(1, t), TypeError, "'int' object is not an instance of 'str'", "text"),
        (lambda t: rust_encode_text_native("a", "t"), TypeError,
         "'str' object is not an instance of 'RustPrefixTrie'", "trie"),
        (lambda t: rust_encode_text_native_ids("a", t, 1), TypeError, None, "byte_fallback"),
        # The length check of space_char comes before the gate.
        (lambda t: rust_encode_text_native("\ue000", t, True, "ab"), ValueError,
         "expected a string of length 1", "space_char"),
        (lambda t: rust_encode_text_native("a", t, strip_whitespace=None), TypeError, None, "strip_whitespace"),
        (lambda t: rust_encode_text_native("a", t, bogus=1), TypeError,
         "rust_encode_text_native() got an unexpected keyword argument 'bogus'", None),
        # Batches convert `texts` last: a bad trie is named even when `texts` is bad too.
        (lambda t: rust_encode_text_native_batch("x", None), TypeError,
         "'None' is not an instance of 'RustPrefixTrie'", "trie"),
        (lambda t: rust_encode_text_native_ids_batch(1, t, space_char=""), ValueError,
         "expected a string of length 1", "space_char"),
        (lambda t: rust_encode_text_batch(1, t, True, "  "), ValueError, "expected a string of length 1", "space_char"),
        (lambda t: rust_encode_text_batch(1, t, 0), TypeError, None, "byte_fallback"),
    ],
)
def test_argument_errors(trie, call, exception, message, note):
    with pytest.raises(exception) as excinfo:
        call(trie)
    if message is not None:
        assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", [None]) == [f"while processing '{note}'" if note else None]



# ---- the fused batches ----

TEXTS = ["hello world", "", "a\u2581b", "abc def", "a |> b", "\u00e9", "zz.top"]


@pytest.mark.parametrize("count", [len(TEXTS), 31, 32, 40])
def test_batch_entries_equal_single_results(trie, count):
    texts = [TEXTS[i % len(TEXTS)] for i in range(count)]
    assert rust_encode_text_native_batch(texts, trie) == [rust_encode_text_native(t, trie) for t in texts]
    clean = [t for t in texts if t != "\u00e9"] * 2
    assert rust_encode_text_native_ids_batch(clean, trie, True, "\u2581", True, True) == [
        rust_encode_text_native_ids(t, trie) for t in clean
    ]


@pytest.mark.parametrize("encoder", [rust_encode_text_native_batch, rust_encode_text_native_ids_batch])
@pytest.mark.parametrize(
    "count, failing, message",
    [
        (31, {5: "x\ue000", 20: "y\ue000"}, ESCAPES),
        (40, {5: "x\ue000", 20: "y\ue000"}, ESCAPES),
        # Below 32 texts the lowest failing index is reported.
        (10, {2: "a <| b", 7: "\ue001"}, CONTROL),
        (10, {2: "\ue001", 7: "a <| b"}, ESCAPES),
    ],
)
def test_batch_failures(trie, encoder, count, failing, message):
    texts = [failing.get(i, "abc") for i in range(count)]
    with pytest.raises(ValueError) as excinfo:
        encoder(texts, trie)
    assert str(excinfo.value) == message


def test_batch_missing_id_fails_ids_only(trie):
    texts = ["abc"] * 31 + ["x noid"]
    assert rust_encode_text_native_batch(texts, trie)[-1] == ["x", "\u2581", "noid"]
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_native_ids_batch(texts, trie)
    assert str(excinfo.value) == NATIVE_IDS_MISSING.format('"noid"')


@pytest.mark.parametrize("encoder", [rust_encode_text_native_batch, rust_encode_text_native_ids_batch])
def test_batch_edges(trie, encoder):
    assert encoder([], trie) == []
    # A reserved space character only fails once a text reaches normalization.
    assert encoder([], trie, space_char="\ue000") == []
    with pytest.raises(ValueError) as excinfo:
        encoder(["abc"], trie, space_char="\ue000")
    assert str(excinfo.value) == RESERVED
    with pytest.raises(ValueError) as excinfo:
        encoder("abc", trie)
    assert str(excinfo.value) == SINGLE


# ---- the whole-batch id encoder ----

SPACE_VOCAB = VOCAB + [(" ", -4.0, 300), ("\u200b", -3.0, 301), ("\u2028", -3.0, 302), ("\u0308", -3.0, 303)]


@pytest.fixture
def space_trie(make_trie):
    return make_trie(SPACE_VOCAB)


def ids(*tokens):
    return [dict((t, i) for t, _, i in SPACE_VOCAB)[t] for t in tokens]


@pytest.mark.parametrize(
    "text, space_char, expected",
    [
        ("", " ", []),
        # Three chunks under the plain pattern: the word, the space, the word.
        ("ab cd", " ", ids("a", "b", " ", "c", "d")),
        ("ab\u3000cd", " ", ids("a", "b", " ", "c", "d")),
        # No escaping: reserved characters and control syntax go to the decoder.
        ("\ue000<|", " ", ids("\ue000", "<", "|")),
        # U+200B and U+2028 are no Unicode spaces and are copied.
        ("a\u200bb\u2028", " ", ids("a", "\u200b", "b", "\u2028")),
        # NFKC turns U+00A8 into a space and a combining mark.
        ("\u00a8", " ", ids(" ", "\u0308")),
    ],
)
def test_text_batch_ids(space_trie, text, space_char, expected):
    assert rust_encode_text_batch([text], space_trie, True, space_char) == [expected]


@pytest.mark.parametrize("space", ["\u3000", "\u00a0", "\u1680", " ", "\u2581"])
def test_text_batch_maps_spaces(space_trie, space):
    reference = rust_encode_text_batch(["ab\u2581cd"], space_trie, space_char="\u2581")
    assert rust_encode_text_batch(["ab" + space + "cd"], space_trie, space_char="\u2581") == reference


def test_text_batch_failures(space_trie):
    texts = ["abc"] * 3 + ["ab \u00e9"] + ["abc"] * 2
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_batch(texts, space_trie, False)
    assert str(excinfo.value) == (
        'rust_encode_text_batch: Viterbi decode failed for input #3 (chunk "\u00e9"): ' + DISCONNECTED.format(1)
    )
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_batch(["a noid"], space_trie)
    assert str(excinfo.value) == 'rust_encode_text_batch: decoded token "noid" has no integer ID'
    # The space character is checked before the texts are looked at.
    for texts in ("abc", [], None):
        with pytest.raises(ValueError) as excinfo:
            rust_encode_text_batch(texts, space_trie, True, "\ue001")
        assert str(excinfo.value) == RESERVED
    with pytest.raises(ValueError) as excinfo:
        rust_encode_text_batch("abc", space_trie)
    assert str(excinfo.value) == SINGLE


def test_text_batch_alone_and_in_a_large_batch(space_trie):
    texts = [f"ab cd {LETTERS[i % 26]}" for i in range(100)]
    whole = rust_encode_text_batch(texts, space_trie)
    assert whole == [rust_encode_text_batch([t], space_trie)[0] for t in texts]
    assert rust_encode_text_batch([], space_trie) == []
