"""Lattice decoding, ViterbiSpan, the segmentation cache, forward-backward and the lattice diagnostic."""

import math

import pytest

import brindlore_core
from brindlore_core import (
    RustPrefixTrie,
    ViterbiSpan,
    rust_diagnostic_viterbi,
    rust_encode_ids_batch,
    rust_encode_tokens_batch,
    rust_forward_backward_expectations,
    rust_viterbi_decode,
    rust_viterbi_decode_batch,
)

DISCONNECTED = (
    "lattice disconnected at character index {}; enable byte fallback or provide complete vocabulary coverage"
)


def spans(result):
    return [(s.token, s.token_id, s.start, s.end) for s in result]


def decode(trie, text, byte_fallback=True, limit=None):
    return spans(rust_viterbi_decode(text, trie, byte_fallback, limit))


# ---- the decoder ----


@pytest.mark.parametrize(
    "entries, text, byte_fallback, limit, expected",
    [
        # A single token beats two of the same negative score.
        ([("a", -1.0, 1), ("b", -1.0, 2), ("ab", -1.0, 3)], "ab", False, None, [("ab", 3, 0, 2)]),
        # Equal path scores: the longest last token wins.
        ([("a", 0.0, 1), ("b", 0.0, 2), ("ab", 0.0, 3)], "ab", False, None, [("ab", 3, 0, 2)]),
        # Byte fallback with an empty vocabulary: one edge, two pieces with the character's offsets.
        ([], "\u00e9", True, None, [("<0xC3>", None, 0, 1), ("<0xA9>", None, 0, 1)]),
        # A byte piece found in the vocabulary lends its id.
        ([("<0xC3>", -1.5, 7)], "\u00e9", True, None, [("<0xC3>", 7, 0, 1), ("<0xA9>", None, 0, 1)]),
        # Fallback only where no token starts: 'a' is no token, so both become bytes.
        ([("ab", -1.0, 1)], "ac", True, None, [("<0x61>", None, 0, 1), ("<0x63>", None, 1, 2)]),
        # Position 1 falls back, but 'ab' (-1) beats 'a' + '<0x62>' (-11).
        ([("a", -1.0, 1), ("ab", -1.0, 2)], "abc", True, None, [("ab", 2, 0, 2), ("<0x63>", None, 2, 3)]),
        # Offsets count characters, not bytes.
        ([("\u65e5", -1.0, 1), ("\u672c", -1.0, 2)], "\u65e5\u672c", False, None, [("\u65e5", 1, 0, 1), ("\u672c", 2, 1, 2)]),
        # Characters outside the BMP count once.
        ([("\U0001f600", -1.0, 9), ("x", -1.0, 1)], "x\U0001f600x", False, None,
         [("x", 1, 0, 1), ("\U0001f600", 9, 1, 2), ("x", 1, 2, 3)]),
        ([], "\U0001f600", True, None,
         [("<0xF0>", None, 0, 1), ("<0x9F>", None, 0, 1), ("<0x98>", None, 0, 1), ("<0x80>", None, 0, 1)]),
        # Empty text: empty result, also without byte fallback.
        ([], "", False, None, []),
        ([], "", True, 1, []),
        # Pruning to 1 keeps the edge of highest own score; +0.0 ranks above -0.0.
        ([("a", -1.0, 1), ("ab", -0.0, 2), ("b", 0.0, 3)], "ab", False, 1, [("a", 1, 0, 1), ("b", 3, 1, 2)]),
        ([("a", -1.0, 1), ("ab", 0.0, 2), ("b", -0.0, 3)], "ab", False, 1, [("ab", 2, 0, 2)]),
        ([("a", -1.0, 1), ("ab", -0.0, 2), ("b", 0.0, 3)], "ab", False, None, [("ab", 2, 0, 2)]),
        # Equal own scores under pruning: the smaller start (the longer edge) stays.
        ([("a", -1.0, 1), ("ab", -0.5, 2), ("b", -0.5, 3)], "ab", False, 1, [("ab", 2, 0, 2)]),
        # A limit above every list size changes nothing.
        ([("a", -1.0, 1), ("b", -1.0, 2), ("ab", -3.0, 3)], "ab", False, 2, [("a", 1, 0, 1), ("b", 2, 1, 2)]),
        # Same text in ASCII and through the code-point path.
        ([("\u2581a", -1.0, 1), ("b", -1.0, 2), ("\u2581", -1.0, 3), ("ab", -0.5, 4)], "\u2581ab", False, None,
         [("\u2581", 3, 0, 1), ("ab", 4, 1, 3)]),
    ],
)
def test_decode(make_trie, entries, text, byte_fallback, limit, expected):
    trie = make_trie(entries)
    assert decode(trie, text, byte_fallback, limit) == expected


@pytest.mark.parametrize(
    "entries, text, byte_fallback, limit, length",
    [
        ([("a", -1.0, 1)], "ax", False, None, 2),
        ([("a", -1.0, 1)], "xa\u00e9", False, None, 3),
        # Pruning cuts the only edge that reached the end.
        ([("ab", -1.0, 1), ("b", -0.5, 2)], "ab", False, 1, 2),
    ],
)
def test_disconnected(make_trie, entries, text, byte_fallback, limit, length):
    trie = make_trie(entries)
    with pytest.raises(ValueError) as excinfo:
        rust_viterbi_decode(text, trie, byte_fallback, limit)
    assert str(excinfo.value) == DISCONNECTED.format(length)


def test_unpruned_path_of_the_pruning_example(make_trie):
    trie = make_trie([("ab", -1.0, 1), ("b", -0.5, 2)])
    assert decode(trie, "ab", False) == [("ab", 1, 0, 2)]


def test_hidden_tokens_make_fallback_positions(make_trie):
    trie = make_trie([("ab", -1.0, 1), ("b", -1.0, 2)], max_subword_len=1)
    assert decode(trie, "ab") == [("<0x61>", None, 0, 1), ("b", 2, 1, 2)]


def test_byte_piece_scores_sum_per_character(make_trie):
    # Fallback edge for U+00E9 scores -1.5 + -10.0 = -11.5; the two-character
    # token at -11.4 wins, at -11.6 it loses.
    for score, expected in ((-11.4, [("x\u00e9", 5, 0, 2)]),
                            (-11.6, [("x", 1, 0, 1), ("<0xC3>", 7, 1, 2), ("<0xA9>", None, 1, 2)])):
        trie = make_trie([("x", 0.0, 1), ("<0xC3>", -1.5, 7), ("x\u00e9", score, 5), ("\u00e9z", 0.0, 6)])
        assert decode(trie, "x\u00e9") == expected


# ---- ViterbiSpan ----


def test_span_class_is_read_only(make_trie):
    span = rust_viterbi_decode("a", make_trie([("a", -1.0, 4)]), False)[0]
    assert type(span) is ViterbiSpan
    assert (span.token, span.token_id, span.start, span.end) == ("a", 4, 0, 1)
    with pytest.raises(AttributeError):
        span.token = "b"
    with pytest.raises(TypeError):
        ViterbiSpan()
    assert ViterbiSpan.__doc__ is None
    assert [n for n in ("token", "token_id", "start", "end") if n in vars(ViterbiSpan)] == [
        "token", "token_id", "start", "end"]


# ---- the functions' surface ----


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (rust_viterbi_decode, "(text, trie, byte_fallback, max_edges_per_node=None)",
         "Computes the most probable segmentation using Python character offsets."),
        (rust_encode_ids_batch, "(texts, trie, byte_fallback, max_edges_per_node=None)",
         "Batch encodes strings directly to token integer IDs using parallel Rayon workers (releases GIL)."),
        (rust_encode_tokens_batch, "(texts, trie, byte_fallback, max_edges_per_node=None)",
         "Batch encodes strings to token strings (no ViterbiSpan wrapper) \u2014 single FFI, minimal conversion."),
        (rust_viterbi_decode_batch, "(texts, trie, byte_fallback, max_edges_per_node=None)",
         "Computes most probable segmentations for a batch of strings concurrently using Rayon (releases GIL)."),
        (rust_forward_backward_expectations, "(text, trie, freq)",
         "Forward-backward statistics for text fully covered by the supplied trie."),
        (rust_diagnostic_viterbi, "(text, trie, byte_fallback)", None),
    ],
)
def test_signatures_and_docstrings(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "brindlore_core"


def test_module_registers_the_decode_names_in_order():
    names = [n for n in brindlore_core.__all__ if n in {
        "RustPrefixTrie", "ViterbiSpan", "rust_viterbi_decode", "rust_diagnostic_viterbi",
        "rust_viterbi_decode_batch", "rust_encode_tokens_batch", "rust_encode_ids_batch",
        "rust_forward_backward_expectations"}]
    assert names == ["RustPrefixTrie", "ViterbiSpan", "rust_viterbi_decode", "rust_diagnostic_viterbi",
                     "rust_viterbi_decode_batch", "rust_encode_tokens_batch", "rust_encode_ids_batch",
                     "rust_forward_backward_expectations"]


@pytest.mark.parametrize(
    "call, exception, message, note",
    [
        (lambda t: rust_viterbi_decode(1, t, True), TypeError, "'int' object is not an instance of 'str'", "text"),
        (lambda t: rust_viterbi_decode("a", "t", True), TypeError,
         "'str' object is not an instance of 'RustPrefixTrie'", "trie"),
        (lambda t: rust_viterbi_decode("a", t, 1), TypeError, "'int' object is not an instance of 'bool'",
         "byte_fallback"),
        (lambda t: rust_viterbi_decode("a", t, True, -1), OverflowError, None, "max_edges_per_node"),
        (lambda t: rust_encode_ids_batch(["a"], None, True), TypeError,
         "'None' is not an instance of 'RustPrefixTrie'", "trie"),
        (lambda t: rust_encode_ids_batch(["a"], t, True, 2**64), OverflowError, None, "max_edges_per_node"),
        (lambda t: rust_diagnostic_viterbi("a", t, 1), TypeError, "'int' object is not an instance of 'bool'",
         "byte_fallback"),
        (lambda t: rust_forward_backward_expectations("a", t, "x"), TypeError, "must be real number, not str",
         "freq"),
    ],
)
def test_conversion_errors_name_the_parameter(call, exception, message, note):
    with pytest.raises(exception) as excinfo:
        call(RustPrefixTrie())
    if message is not None:
        assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize(
    "call",
    [
        lambda t: rust_viterbi_decode("a", t, True, 0),
        lambda t: rust_viterbi_decode_batch("not a batch", t, True, 0),
        lambda t: rust_encode_tokens_batch(None, t, True, max_edges_per_node=0),
        lambda t: rust_encode_ids_batch(["a"], t, False, 0),
    ],
)
def test_zero_limit_is_refused_first(call):
    with pytest.raises(ValueError) as excinfo:
        call(RustPrefixTrie())
    assert str(excinfo.value) == "max_edges_per_node must be greater than zero"


def test_missing_argument_wording():
    with pytest.raises(TypeError) as excinfo:
        rust_viterbi_decode("a", RustPrefixTrie())
    assert str(excinfo.value) == "rust_viterbi_decode() missing 1 required positional argument: 'byte_fallback'"


def test_keywords_are_accepted(make_trie):
    trie = make_trie([("a", -1.0, 1)])
    result = rust_encode_ids_batch(texts=["aa"], trie=trie, byte_fallback=False, max_edges_per_node=None)
    assert result == [[1, 1]]


def test_decode_holds_the_trie_in_shared_use(make_trie):
    trie = make_trie([("a", -1.0, 1)])

    class Text(str):
        pass

    # A float-like log_p whose conversion decodes with the same trie while
    # insert holds it exclusively.
    seen = []

    class Score:
        def __float__(self):
            try:
                rust_viterbi_decode("a", trie, False)
            except RuntimeError as exc:
                seen.append(str(exc))
            return -1.0

    trie.insert("b", Score(), 2)
    assert seen == ["Already mutably borrowed"]


# ---- ids, tokens and the quoting of tokens without an id ----


def test_tokens_keep_byte_pieces_ids_refuse_them(make_trie):
    trie = make_trie([("a", -1.0, 1)])
    assert rust_encode_tokens_batch(["ax"], trie, True) == [["a", "<0x78>"]]
    with pytest.raises(ValueError) as excinfo:
        rust_encode_ids_batch(["ax"], trie, True)
    assert str(excinfo.value) == 'decoded token "<0x78>" has no integer ID'


@pytest.mark.parametrize(
    "token, quoted",
    [
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("\t\r\n\0", '"\\t\\r\\n\\0"'),
        ("a b", '"a b"'),
        ("a\u00a0b", '"a\\u{a0}b"'),
        ("\u200b", '"\\u{200b}"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\u2028\u2029", '"\\u{2028}\\u{2029}"'),
        ("\ue000", '"\\u{e000}"'),
        ("\x7f\x01", '"\\u{7f}\\u{1}"'),
        ("\u2581it's", '"\u2581it\'s"'),
        ("\u65e5\u00e9", '"\u65e5\u00e9"'),
    ],
)
def test_tokens_without_id_are_debug_quoted(make_trie, token, quoted):
    trie = make_trie([(token, -1.0, None)])
    with pytest.raises(ValueError) as excinfo:
        rust_encode_ids_batch([token], trie, False)
    assert str(excinfo.value) == f"decoded token {quoted} has no integer ID"


# ---- the segmentation cache ----


@pytest.mark.parametrize(
    "text, cached",
    [
        ("a" * 1024, True),
        ("a" * 1025, False),
        ("\u65e5" * 341, True),  # 1023 bytes
        ("\u65e5" * 400, False),  # 1200 bytes, only 400 characters
        ("", False),
    ],
)
def test_cache_size_limit_counts_bytes(make_trie, text, cached):
    trie = make_trie([("a", -1.0, 1), ("\u65e5", -1.0, 2)])
    expected = [1] * len(text) if text.startswith("a") else [2] * len(text)
    assert rust_encode_ids_batch([text], trie, False) == [expected]
    assert trie.seg_cache_len() == (1 if cached else 0)


def test_cache_keys_hold_the_flag_and_skip_failures_and_limits(make_trie):
    trie = make_trie([("a", -1.0, 1)])
    rust_viterbi_decode("aa", trie, True)
    rust_viterbi_decode("aa", trie, False)
    assert trie.seg_cache_len() == 2
    for _ in range(2):
        with pytest.raises(ValueError) as excinfo:
            rust_viterbi_decode("ax", trie, False)
        assert str(excinfo.value) == DISCONNECTED.format(2)
    assert trie.seg_cache_len() == 2
    rust_viterbi_decode("aaa", trie, False, 5)
    rust_encode_ids_batch(["aaaa"] * 40, trie, False, 1)
    assert trie.seg_cache_len() == 2


def test_cached_results_outlive_vocabulary_changes(make_trie):
    trie = make_trie([("a", -1.0, 1), ("b", -1.0, 2)])
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    trie.insert("ab", -0.5, 3)
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    assert decode(trie, "ab", limit=4) == [("ab", 3, 0, 2)]
    trie.clear_seg_cache()
    assert decode(trie, "ab") == [("ab", 3, 0, 2)]
    trie.max_subword_len = 1
    assert decode(trie, "ab") == [("ab", 3, 0, 2)]
    assert decode(trie, "abab") == [("a", 1, 0, 1), ("b", 2, 1, 2), ("a", 1, 2, 3), ("b", 2, 3, 4)]
    trie.clear_seg_cache()
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    # A token inserted again keeps its cached id until the cache is cleared.
    trie.insert("a", -1.0, 9)
    trie.insert("<0xC3>", -1.0, 8)
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    assert rust_encode_ids_batch(["ab"], trie, True) == [[1, 2]]
    assert rust_encode_tokens_batch(["\u00e9"], trie, True) == [["<0xC3>", "<0xA9>"]]
    trie.insert("<0xC3>", -1.0, None)
    assert decode(trie, "\u00e9") == [("<0xC3>", 8, 0, 1), ("<0xA9>", None, 0, 1)]


def test_id_encodes_see_every_clear_and_emptying(make_trie):
    trie = make_trie([("a", -1.0, 1), ("b", -1.0, 2)] + [(str(d), -1.0, 10 + d) for d in range(10)])
    assert rust_encode_ids_batch(["ab"], trie, True) == [[1, 2]]
    trie.insert("ab", -0.5, 3)
    assert rust_encode_ids_batch(["ab"], trie, True) == [[1, 2]]
    trie.clear_seg_cache()
    assert rust_encode_ids_batch(["ab"], trie, True) == [[3]]
    trie.insert("ab", -0.5, 4)
    assert rust_encode_ids_batch(["ab"], trie, True) == [[3]]
    rust_encode_ids_batch([str(i) for i in range(100_000)], trie, True)
    assert trie.seg_cache_len() == 1
    assert rust_encode_ids_batch(["ab"], trie, True) == [[4]]


def test_cache_empties_only_for_a_new_key_at_the_ceiling(make_trie):
    trie = make_trie([(str(d), -1.0, d) for d in range(10)])
    texts = [str(i) for i in range(100_000)]
    rust_encode_ids_batch(texts, trie, True)
    assert trie.seg_cache_len() == 100_000
    assert rust_encode_ids_batch(["7"], trie, True) == [[7]]
    assert trie.seg_cache_len() == 100_000
    assert rust_encode_ids_batch(["123456"], trie, True) == [[1, 2, 3, 4, 5, 6]]
    assert trie.seg_cache_len() == 1


def test_parallel_stores_never_pass_the_ceiling(make_trie):
    trie = make_trie([(str(d), -1.0, d) for d in range(10)])
    texts = [str(i) for i in range(100_001)]
    for _ in range(3):
        rust_encode_ids_batch(texts, trie, True)
        assert trie.seg_cache_len() == 1
        trie.clear_seg_cache()


def test_results_after_an_emptying_reflect_an_insert(make_trie):
    trie = make_trie([("a", -1.0, 1), ("b", -1.0, 2)] + [(str(d), -1.0, 10 + d) for d in range(10)])
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    trie.insert("ab", -0.5, 3)
    rust_encode_ids_batch([str(i) for i in range(99_999)], trie, True)
    assert trie.seg_cache_len() == 100_000
    assert decode(trie, "ab") == [("a", 1, 0, 1), ("b", 2, 1, 2)]
    rust_encode_ids_batch(["100000"], trie, True)
    assert trie.seg_cache_len() == 1
    assert decode(trie, "ab") == [("ab", 3, 0, 2)]


# ---- forward-backward ----


@pytest.mark.parametrize(
    "entries, text, freq, counts, log_z",
    [
        ([("ab", -1.0, 1)], "ab", 2.0, {"ab": 2.0}, -2.0),
        ([("a", -1.0, 1), ("b", -1.0, 2), ("ab", -1.0, 3)], "ab", 2.0,
         {"ab": 1.462117, "a": 0.537883, "b": 0.537883}, -1.373477),
        ([("a", -1.0, 1)], "aa", 1.5, {"a": 3.0}, -3.0),
        ([("a", -1.0, 1), ("ab", -1.0, 2), ("bc", -1.0, 3)], "abc", 3.0, {"a": 3.0, "bc": 3.0}, -6.0),
        ([("\u65e5", -1.0, 1), ("\u65e5\u672c", -2.0, 2), ("\u672c", -0.5, 3)], "\u65e5\u672c", 1.0,
         {"\u65e5": 0.622459, "\u672c": 0.622459, "\u65e5\u672c": 0.377541}, -1.025923),
        ([], "", 1.0, {}, 0.0),
        ([], "zz", 0.0, {}, 0.0),
        ([], "zz", -0.0, {}, 0.0),
        ([("a", -1.0, 1)], "a", 5e-324, {"a": 5e-324}, -5e-324),
        ([("a", -1.0, 1)], "a", True, {"a": 1.0}, -1.0),
    ],
)
def test_forward_backward(make_trie, entries, text, freq, counts, log_z):
    result, value = rust_forward_backward_expectations(text, make_trie(entries), freq)
    assert result.keys() == counts.keys()
    for token, count in counts.items():
        assert result[token] == pytest.approx(count, abs=1e-6)
    assert value == pytest.approx(log_z, abs=1e-6)
    if log_z == 0.0:
        assert math.copysign(1.0, value) == 1.0


def test_forward_backward_counts_weighted_by_length_sum_to_the_text(make_trie):
    trie = make_trie([("a", -1.2, 1), ("b", -0.7, 2), ("ab", -1.9, 3), ("ba", -2.5, 4), ("aba", -3.0, 5)])
    counts, log_z = rust_forward_backward_expectations("ababa", trie, 1.0)
    assert sum(len(t) * c for t, c in counts.items()) == pytest.approx(5.0, abs=1e-9)
    assert log_z < 0


@pytest.mark.parametrize("freq", [math.nan, math.inf, -math.inf, -1.0, -5e-324])
def test_forward_backward_refuses_bad_freq(make_trie, freq):
    with pytest.raises(ValueError) as excinfo:
        rust_forward_backward_expectations("a", make_trie([("a", -1.0, 1)]), freq)
    assert str(excinfo.value) == "freq must be finite and non-negative"


@pytest.mark.parametrize(
    "entries, text, limit",
    [
        ([("a", -1.0, 1)], "ab", None),
        ([("a", -1.0, 1), ("ab", -1.0, 2), ("b", -1.0, 3)], "abx", None),
        ([("ab", -1.0, 1)], "ab", 1),
    ],
)
def test_forward_backward_disconnected(make_trie, entries, text, limit):
    with pytest.raises(ValueError) as excinfo:
        rust_forward_backward_expectations(text, make_trie(entries, max_subword_len=limit), 1.0)
    assert str(excinfo.value) == "lattice is disconnected; forward-backward requires complete trie coverage"


def test_forward_backward_leaves_the_cache_alone(make_trie):
    trie = make_trie([("a", -1.0, 1)])
    rust_forward_backward_expectations("aaa", trie, 1.0)
    assert trie.seg_cache_len() == 0


# ---- the lattice diagnostic ----


@pytest.mark.parametrize(
    "entries, text, byte_fallback, limit, edges, nodes",
    [
        ([], "", True, None, 0, 1),
        ([("\u00e9", -1.0, 1)], "\u00e9", False, None, 1, 2),
        ([("a", -1.0, 1), ("b", -1.0, 2), ("c", -1.0, 3), ("ab", -1.0, 4)], "abc", False, None, 4, 4),
        ([], "\u65e5", True, None, 1, 2),
        ([], "\u65e5", False, None, 0, 2),
        ([("a", -1.0, 1), ("ab", -1.0, 2)], "ab", False, 1, 1, 3),
        ([("a", -1.0, 1)], "axa", True, None, 3, 4),
    ],
)
def test_diagnostic_counts(make_trie, entries, text, byte_fallback, limit, edges, nodes):
    trie = make_trie(entries, max_subword_len=limit)
    lookup, dp, edge_count, node_count = rust_diagnostic_viterbi(text, trie, byte_fallback)
    assert (edge_count, node_count) == (edges, nodes)
    assert type(lookup) is float and type(dp) is float
    assert lookup >= 0.0 and dp >= 0.0
    if not text:
        assert lookup == 0.0
    assert trie.seg_cache_len() == 0
