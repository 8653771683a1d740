"""rust_mine_ngrams: registration, argument conversion, the counting rules
(clusters, leading marks, the CJK cap, skipped chunks) and a property test
against a small pure-Python miner."""

import collections
import types

import pytest
import regex
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlore_core
from brindlore_core import rust_mine_ngrams

U64_MAX = 2**64 - 1


def cluster_lengths(result):
    """The n-gram lengths of a result, in clusters (for chunks where \\X is exact)."""
    return sorted({len(regex.findall(r"\X", key)) for key in result})


# ---- registration ----


def test_registered_between_normalization_and_pre_tokenization():
    names = brindlore_core.__all__
    position = names.index("rust_mine_ngrams")
    assert names[position - 1] == "rust_normalize_with_alignment"
    assert names[position + 1 :] in ([], ["rust_pre_tokenize"], ["rust_pre_tokenize", "rust_diagnostic_batch"])


def test_text_signature_and_no_docstring():
    assert rust_mine_ngrams.__text_signature__ == "(chunk_counts, max_ngram_length, special_tokens=None)"
    assert rust_mine_ngrams.__doc__ is None
    assert rust_mine_ngrams.__module__ == "brindlore_core"


def test_all_parameters_by_keyword():
    assert rust_mine_ngrams(special_tokens={"x"}, max_ngram_length=1, chunk_counts={"x": 1, "y": 2}) == {"y": 2}


# ---- arguments ----

NAME = "rust_mine_ngrams()"


@pytest.mark.parametrize(
    "args, kwargs, error, message, note",
    [
        ((), {}, TypeError,
         f"{NAME} missing 2 required positional arguments: 'chunk_counts' and 'max_ngram_length'", None),
        (({},), {}, TypeError, f"{NAME} missing 1 required positional argument: 'max_ngram_length'", None),
        (({}, 1, None, 4), {}, TypeError, f"{NAME} takes from 2 to 3 positional arguments but 4 were given", None),
        (({}, 1), {"special": None}, TypeError, f"{NAME} got an unexpected keyword argument 'special'", None),
        (({}, 1), {"max_ngram_length": 1}, TypeError,
         f"{NAME} got multiple values for argument 'max_ngram_length'", None),
        # chunk_counts: a dict, str keys, unsigned 64-bit values.
        (([("a", 1)], 1), {}, TypeError, "'list' object is not an instance of 'dict'", "chunk_counts"),
        ((None, 1), {}, TypeError, "'None' is not an instance of 'dict'", "chunk_counts"),
        ((types.MappingProxyType({"a": 1}), 1), {}, TypeError,
         "'mappingproxy' object is not an instance of 'dict'", "chunk_counts"),
        (({1: 1}, 1), {}, TypeError, "'int' object is not an instance of 'str'", "chunk_counts"),
        (({b"a": 1}, 1), {}, TypeError, "'bytes' object is not an instance of 'str'", "chunk_counts"),
        (({"a\ud800": 1}, 1), {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed", "chunk_counts"),
        (({"a": 1.0}, 1), {}, TypeError, "'float' object cannot be interpreted as an integer", "chunk_counts"),
        (({"a": "1"}, 1), {}, TypeError, "'str' object cannot be interpreted as an integer", "chunk_counts"),
        (({"a": None}, 1), {}, TypeError, "'NoneType' object cannot be interpreted as an integer", "chunk_counts"),
        (({"a": -1}, 1), {}, OverflowError, "can't convert negative int to unsigned", "chunk_counts"),
        (({"a": 2**64}, 1), {}, OverflowError, "int too big to convert", "chunk_counts"),
        # Items in dict order, each key before its value.
        (({1: -1}, 1), {}, TypeError, "'int' object is not an instance of 'str'", "chunk_counts"),
        (({"a": -1, 1: 1}, 1), {}, OverflowError, "can't convert negative int to unsigned", "chunk_counts"),
        (({"a": 1, 1: -1}, 1), {}, TypeError, "'int' object is not an instance of 'str'", "chunk_counts"),
        # max_ngram_length: unsigned 64-bit.
        (({}, -1), {}, OverflowError, "can't convert negative int to unsigned", "max_ngram_length"),
        (({}, 2**64), {}, OverflowError, "int too big to convert", "max_ngram_length"),
        (({}, 2.0), {}, TypeError, "'float' object cannot be interpreted as an integer", "max_ngram_length"),
        (({}, None), {}, TypeError, "'NoneType' object cannot be interpreted as an integer", "max_ngram_length"),
        # special_tokens: None, set or frozenset of str; the message names set.
        (({}, 1, ["x"]), {}, TypeError, "'list' object is not an instance of 'set'", "special_tokens"),
        (({}, 1, ("x",)), {}, TypeError, "'tuple' object is not an instance of 'set'", "special_tokens"),
        (({}, 1, "x"), {}, TypeError, "'str' object is not an instance of 'set'", "special_tokens"),
        (({}, 1, {"x": 1}), {}, TypeError, "'dict' object is not an instance of 'set'", "special_tokens"),
        (({}, 1, {}.keys()), {}, TypeError,
         "'dict_keys' object is not an instance of 'set'", "special_tokens"),
        (({}, 1, {1}), {}, TypeError, "'int' object is not an instance of 'str'", "special_tokens"),
        (({}, 1, frozenset({b"x"})), {}, TypeError, "'bytes' object is not an instance of 'str'", "special_tokens"),
        (({}, 1, {"\udfff"}), {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed", "special_tokens"),
        # The first bad argument in parameter order is the one reported,
        # also when nothing would be counted.
        (([], -1, []), {}, TypeError, "'list' object is not an instance of 'dict'", "chunk_counts"),
        (({"a": 1}, -1, []), {}, OverflowError, "can't convert negative int to unsigned", "max_ngram_length"),
        (({"a": 1}, 0, ["a"]), {}, TypeError, "'list' object is not an instance of 'set'", "special_tokens"),
        (({}, 0, {None}), {}, TypeError, "'None' is not an instance of 'str'", "special_tokens"),
    ],
)
def test_argument_errors(args, kwargs, error, message, note):
    with pytest.raises(error) as excinfo:
        rust_mine_ngrams(*args, **kwargs)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


class ItemsOnlyDict(dict):
    def __iter__(self):
        raise AssertionError("the dict is read by its own items")


class TokenSet(set):
    pass


class TokenFrozenSet(frozenset):
    pass


@pytest.mark.parametrize(
    "chunk_counts",
    [
        {"ab": 2, "b": 1},
        collections.OrderedDict([("ab", 2), ("b", 1)]),
        collections.Counter({"ab": 2, "b": 1}),
        collections.defaultdict(int, {"ab": 2, "b": 1}),
        ItemsOnlyDict({"ab": 2, "b": 1}),
    ],
)
def test_dict_subclasses_are_read_by_their_items(chunk_counts):
    assert rust_mine_ngrams(chunk_counts, 2) == {"a": 2, "b": 3, "ab": 2}


@pytest.mark.parametrize(
    "special_tokens, expected",
    [
        (None, {"a": 2, "<": 7, "s": 7, ">": 7}),
        (set(), {"a": 2, "<": 7, "s": 7, ">": 7}),
        (frozenset(), {"a": 2, "<": 7, "s": 7, ">": 7}),
        ({"<s>"}, {"a": 2}),
        (frozenset({"<s>"}), {"a": 2}),
        (TokenSet({"<s>"}), {"a": 2}),
        (TokenFrozenSet({"<s>"}), {"a": 2}),
    ],
)
def test_set_and_frozenset_subclasses_are_accepted(special_tokens, expected):
    assert rust_mine_ngrams({"a": 2, "<s>": 7}, 1, special_tokens) == expected


def test_integer_like_values_are_accepted():
    class Seven:
        def __index__(self):
            return 7

    assert rust_mine_ngrams({"a": Seven(), "b": True}, 1) == {"a": 7, "b": 1}


@pytest.mark.parametrize(
    "change, message",
    [
        (dict.clear, "dictionary changed size during iteration"),
        (lambda d: d.update(z=d.pop("first")), "dictionary keys changed during iteration"),
    ],
)
def test_a_dict_changed_while_converting_is_refused(change, message):
    chunk_counts = {}

    class Changer:
        def __index__(self):
            change(chunk_counts)
            return 1

    chunk_counts.update({"first": Changer(), "second": 2})
    with pytest.raises(RuntimeError) as excinfo:
        rust_mine_ngrams(chunk_counts, 2)
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == ["while processing 'chunk_counts'"]


def test_arguments_are_only_read():
    chunk_counts = {"abc": 2, "<s>": 1}
    special_tokens = {"<s>"}
    rust_mine_ngrams(chunk_counts, 3, special_tokens)
    assert chunk_counts == {"abc": 2, "<s>": 1}
    assert special_tokens == {"<s>"}


# ---- counting ----


@pytest.mark.parametrize(
    "chunk_counts, max_ngram_length, expected",
    [
        ({"abc": 2}, 0, {}),
        ({}, 3, {}),
        ({"": 5}, 3, {}),
        ({"": 5, "a": 1}, 3, {"a": 1}),
        ({"abc": 2}, 2, {"a": 2, "b": 2, "c": 2, "ab": 2, "bc": 2}),
        ({"aa": 3}, 2, {"a": 6, "aa": 3}),
        ({"ab": 1, "b": 5}, 1, {"a": 1, "b": 6}),
        ({"ab": 0}, 2, {"a": 0, "b": 0, "ab": 0}),
        ({"ab": 0, "b": 4}, 1, {"a": 0, "b": 4}),
        ({"abc": 1}, U64_MAX, {"a": 1, "b": 1, "c": 1, "ab": 1, "bc": 1, "abc": 1}),
        ({"abc": 1}, 2**63, {"a": 1, "b": 1, "c": 1, "ab": 1, "bc": 1, "abc": 1}),
        # A total that would pass 2^64 - 1 stays there.
        ({"a": U64_MAX, "ba": 1}, 1, {"a": U64_MAX, "b": 1}),
        ({"aa": 2**63}, 2, {"a": U64_MAX, "aa": 2**63}),
        ({"aaa": U64_MAX}, 1, {"a": U64_MAX}),
        ({"ab": U64_MAX, "b": U64_MAX}, 1, {"a": U64_MAX, "b": U64_MAX}),
    ],
)
def test_counts(chunk_counts, max_ngram_length, expected):
    assert rust_mine_ngrams(chunk_counts, max_ngram_length) == expected


@pytest.mark.parametrize(
    "chunk, max_ngram_length, expected",
    [
        # e + combining acute is one cluster.
        ("e\u0301x", 1, {"e\u0301": 1, "x": 1}),
        ("e\u0301x", 2, {"e\u0301": 1, "x": 1, "e\u0301x": 1}),
        # CR LF is one cluster; LF CR is two.
        ("a\r\nb", 3, {"a": 1, "\r\n": 1, "b": 1, "a\r\n": 1, "\r\nb": 1, "a\r\nb": 1}),
        ("\n\r", 1, {"\n": 1, "\r": 1}),
        ("\r\n\u00e9", 1, {"\r\n": 1, "\u00e9": 1}),
        # Regional indicators pair up: FR DE, and a third one alone.
        ("\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 1, {"\U0001F1EB\U0001F1F7": 1, "\U0001F1E9\U0001F1EA": 1}),
        ("\U0001F1EB\U0001F1F7\U0001F1E9", 2,
         {"\U0001F1EB\U0001F1F7": 1, "\U0001F1E9": 1, "\U0001F1EB\U0001F1F7\U0001F1E9": 1}),
        # An emoji ZWJ sequence (family) is one cluster, with its skin tones.
        ("\U0001F468\u200d\U0001F469\u200d\U0001F467!", 1, {"\U0001F468\u200d\U0001F469\u200d\U0001F467": 1, "!": 1}),
        ("\U0001F44D\U0001F3FD\U0001F44D", 1, {"\U0001F44D\U0001F3FD": 1, "\U0001F44D": 1}),
        # Conjoining jamo make one syllable; an Indic conjunct is one cluster.
        ("\u1100\u1161\u11a8", 1, {"\u1100\u1161\u11a8": 1}),
        ("\u0915\u094d\u0937a", 1, {"\u0915\u094d\u0937": 1, "a": 1}),
    ],
)
def test_ngrams_are_made_of_whole_clusters(chunk, max_ngram_length, expected):
    assert rust_mine_ngrams({chunk: 1}, max_ngram_length) == expected


@pytest.mark.parametrize(
    "chunk, max_ngram_length, expected",
    [
        ("\u0301a", 2, {"a": 1}),
        ("\u0301\u0301", 5, {}),
        ("\n\u0301a", 3, {"\n": 1, "\n\u0301": 1, "\n\u0301a": 1, "a": 1}),
        ("\r\n\u0301", 2, {"\r\n": 1, "\r\n\u0301": 1}),
        # Mc (Devanagari visarga) and Me (enclosing circle) lead no n-gram either.
        ("\n\u0903\n\u20dd", 4,
         {"\n": 2, "\n\u0903": 1, "\n\u0903\n": 1, "\n\u0903\n\u20dd": 1, "\n\u20dd": 1}),
        # A mark that lost its base still counts inside later n-grams.
        ("\u0301ab", U64_MAX, {"a": 1, "b": 1, "ab": 1}),
    ],
)
def test_no_ngram_starts_on_a_mark(chunk, max_ngram_length, expected):
    assert rust_mine_ngrams({chunk: 1}, max_ngram_length) == expected


HAN8 = "\u4e00\u4e8c\u4e09\u56db\u4e94\u516d\u4e03\u516b"
KANA8 = "\u3042\u3044\u3046\u3048\u304a\u30ab\u30ad\u30af"


@pytest.mark.parametrize(
    "chunk, max_ngram_length, lengths",
    [
        (HAN8, 6, [1, 2, 3, 4]),
        (KANA8, 6, [1, 2, 3, 4]),
        (HAN8, 2, [1, 2]),
        (HAN8, U64_MAX, [1, 2, 3, 4]),
        ("\uac00\ub098\ub2e4\ub77c\ub9c8\ubc14", 6, [1, 2, 3, 4]),  # Hangul syllables
        (HAN8 + "abcdef", 8, [1, 2, 3, 4]),  # capped throughout
        ("abc" + HAN8, 6, [1, 2, 3, 4, 5, 6]),
        ("1" + HAN8, 6, [1, 2, 3, 4, 5, 6]),
        ("\uff11" + HAN8, 6, [1, 2, 3, 4, 5, 6]),  # a fullwidth digit is numeric
        ("\u00e9" + HAN8, 6, [1, 2, 3, 4, 5, 6]),
        ("\u0915" + HAN8, 6, [1, 2, 3, 4, 5, 6]),
        ("\u0e01" + HAN8, 6, [1, 2, 3, 4, 5, 6]),
        ("\u2581" + HAN8, 6, [1, 2, 3, 4]),
        (" " + HAN8, 6, [1, 2, 3, 4]),
        ("\ue000" + HAN8, 6, [1, 2, 3, 4]),
        ("\u00ab" + HAN8, 6, [1, 2, 3, 4]),
        ("\u3000\u00a0\u000b" + HAN8, 6, [1, 2, 3, 4]),
        ("\u03b1" + HAN8, 6, [1, 2, 3, 4]),  # Greek is passed over
        ("\u043f\u0440\u0438\u0432\u0435\u0442\u043c\u0438", 6, [1, 2, 3, 4, 5, 6]),  # Cyrillic
        ("\u0645\u0631\u062d\u0628\u0627\u0628\u0643\u0645", 6, [1, 2, 3, 4, 5, 6]),  # Arabic
    ],
)
def test_cjk_chunks_are_capped_at_four_clusters(chunk, max_ngram_length, lengths):
    assert cluster_lengths(rust_mine_ngrams({chunk: 1}, max_ngram_length)) == lengths


def test_cjk_cap_is_per_chunk():
    result = rust_mine_ngrams({HAN8: 1, "a" + HAN8: 10}, 6)
    assert result[HAN8[:4]] == 11
    assert result[HAN8[:5]] == 10  # only from the chunk that starts with a letter
    assert result["a" + HAN8[:5]] == 10


@pytest.mark.parametrize(
    "chunk, skipped",
    [
        ("<|unk|>", True),
        ("<|>", True),
        ("<||>", True),
        ("<|endoftext|>", True),
        ("<|", False),
        ("|>", False),
        ("<|x", False),
        ("x|>", False),
        ("<|unk|> ", False),
        ("a<|unk|>", False),
    ],
)
def test_control_token_shaped_chunks_are_skipped(chunk, skipped):
    result = rust_mine_ngrams({chunk: 3}, 16)
    assert (result == {}) is skipped
    if not skipped:
        assert result[chunk] == 3


def test_a_control_token_can_be_an_ngram_of_a_longer_chunk():
    result = rust_mine_ngrams({"a<|unk|>": 2, "<|unk|>": 5}, 7)
    assert result["<|unk|>"] == 2
    assert "a<|unk|>" not in result


@pytest.mark.parametrize(
    "special_tokens, chunk, skipped",
    [
        ({"<s>"}, "<s>", True),
        ({"<s>"}, "x<s>", False),
        ({"<s>"}, "<S>", False),  # case-sensitive
        ({"\u00e9"}, "e\u0301", False),  # no normalization
        ({"e\u0301"}, "e\u0301", True),
        (frozenset({"", "ab"}), "ab", True),
        (set(), "<s>", False),
    ],
)
def test_special_tokens_skip_equal_chunks_only(special_tokens, chunk, skipped):
    result = rust_mine_ngrams({chunk: 1, "z": 1}, 4, special_tokens)
    assert (chunk in result) is not skipped
    assert result["z"] == 1


def test_special_token_text_inside_a_longer_chunk_is_counted():
    result = rust_mine_ngrams({"<s>": 5, "x<s>": 1}, 3, {"<s>"})
    assert result["<s>"] == 1


# ---- against a pure-Python miner ----

# Alphabet on which the regex package's \X agrees with Unicode 16.0 clusters:
# ASCII letters and digits, line breaks, the combining acute, Han, kana,
# Hangul syllables, spaces and the control-token punctuation.
ALPHABET = "ab1 \r\n\u0301\u4e00\u3042\uac00<|>\u2581"


def reference_is_cjk(chunk):
    for c in chunk:
        if c in "ab1":
            return False
        if c in "\u4e00\u3042\uac00":
            return True
    return False


def reference_mine(chunk_counts, max_ngram_length, special_tokens=frozenset()):
    counts = collections.Counter()
    for chunk, count in chunk_counts.items():
        if chunk in special_tokens or (chunk.startswith("<|") and chunk.endswith("|>") and len(chunk) >= 2):
            continue
        clusters = regex.findall(r"\X", chunk)
        limit = min(max_ngram_length, 4) if reference_is_cjk(chunk) else max_ngram_length
        for i in range(len(clusters)):
            if clusters[i][0] == "\u0301":
                continue
            for k in range(1, min(limit, len(clusters) - i) + 1):
                key = "".join(clusters[i : i + k])
                counts[key] = min(counts[key] + count, U64_MAX) if key in counts else count
    return dict(counts)


chunks = st.text(alphabet=ALPHABET, max_size=12)


@settings(max_examples=300, deadline=None)
@given(
    chunk_counts=st.dictionaries(chunks, st.integers(0, U64_MAX) | st.integers(0, 5), max_size=8),
    max_ngram_length=st.integers(0, 7) | st.just(U64_MAX),
    special=st.lists(chunks, max_size=3),
)
def test_matches_a_pure_python_miner(chunk_counts, max_ngram_length, special):
    special_tokens = frozenset(special) | frozenset(list(chunk_counts)[:1])
    expected = reference_mine(chunk_counts, max_ngram_length, special_tokens)
    assert rust_mine_ngrams(chunk_counts, max_ngram_length, special_tokens) == expected
