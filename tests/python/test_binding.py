"""The conventions every entry point follows, seen through the trie class."""

import math

import pytest

import brindlore_core
from brindlore_core import RustPrefixTrie


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.insert("a", 1.0), "RustPrefixTrie.insert() missing 1 required positional argument: 'token_id'"),
        (lambda t: t.insert("a"),
         "RustPrefixTrie.insert() missing 2 required positional arguments: 'log_p' and 'token_id'"),
        (lambda t: t.insert(),
         "RustPrefixTrie.insert() missing 3 required positional arguments: 'token', 'log_p', and 'token_id'"),
        (lambda t: t.insert(log_p=1.0, token_id=None),
         "RustPrefixTrie.insert() missing 1 required positional argument: 'token'"),
        (lambda t: t.insert("a", 1.0, 1, 2), "RustPrefixTrie.insert() takes 3 positional arguments but 4 were given"),
        (lambda t: t.insert("a", 1.0, 1, token="b"), "RustPrefixTrie.insert() got multiple values for argument 'token'"),
        (lambda t: t.insert("a", 1.0, None, bogus=1),
         "RustPrefixTrie.insert() got an unexpected keyword argument 'bogus'"),
        (lambda t: t.seg_cache_len(1), "RustPrefixTrie.seg_cache_len() takes 0 positional arguments but 1 was given"),
        (lambda t: t.clear_seg_cache(x=1), "RustPrefixTrie.clear_seg_cache() got an unexpected keyword argument 'x'"),
        (lambda t: RustPrefixTrie(1, 2), "RustPrefixTrie.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda t: RustPrefixTrie(limit=2), "RustPrefixTrie.__new__() got an unexpected keyword argument 'limit'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call(RustPrefixTrie())
    assert str(excinfo.value) == message


def test_keywords_bind_like_positions():
    trie = RustPrefixTrie(max_subword_len=3)
    trie.insert(token_id=4, token="ab", log_p=-1.5)
    assert trie.common_prefix_search(text="ab") == [("ab", 4, -1.5, 2)]
    assert trie.contains(token="ab")


class FloatLike:
    def __float__(self):
        return -0.25


class IndexLike:
    def __index__(self):
        return 9


@pytest.mark.parametrize(
    "args, exc, message, note",
    [
        ((1, 1.0, 1), TypeError, "'int' object is not an instance of 'str'", "token"),
        ((None, 1.0, 1), TypeError, "'None' is not an instance of 'str'", "token"),
        (("a", "x", 1), TypeError, "must be real number, not str", "log_p"),
        (("a", 1.0, -1), OverflowError, "out of range integral type conversion attempted", "token_id"),
        (("a", 1.0, 2**32), OverflowError, "out of range integral type conversion attempted", "token_id"),
        (("a", 1.0, 2**64), OverflowError, "out of range integral type conversion attempted", "token_id"),
        (("a", 1.0, -(2**70)), OverflowError, "out of range integral type conversion attempted", "token_id"),
        (("a", 1.0, 1.5), TypeError, "'float' object cannot be interpreted as an integer", "token_id"),
        (("\ud800", 1.0, 1), UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed", "token"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(args, exc, message, note):
    trie = RustPrefixTrie()
    with pytest.raises(exc) as excinfo:
        trie.insert(*args)
    assert str(excinfo.value) == message
    assert notes(excinfo) == [f"while processing '{note}'"]
    assert trie.common_prefix_search("a") == []


def test_first_failing_conversion_ends_the_call():
    with pytest.raises(TypeError) as excinfo:
        RustPrefixTrie().insert(1, "x", -1)
    assert notes(excinfo) == ["while processing 'token'"]


def test_accepted_conversions():
    trie = RustPrefixTrie(IndexLike())
    assert trie.max_subword_len == 9
    trie.insert("a", FloatLike(), IndexLike())
    trie.insert("b", 2, 4294967295)
    trie.insert("c", True, None)
    assert trie.common_prefix_search("a") == [("a", 9, -0.25, 1)]
    assert trie.common_prefix_search("b") == [("b", 4294967295, 2.0, 1)]
    assert trie.common_prefix_search("c") == [("c", None, 1.0, 1)]


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_max_subword_len_conversions(value, exc, message):
    with pytest.raises(exc) as excinfo:
        RustPrefixTrie(value)
    assert str(excinfo.value) == message
    assert notes(excinfo) == ["while processing 'max_subword_len'"]
    trie = RustPrefixTrie()
    with pytest.raises(exc) as excinfo:
        trie.max_subword_len = value
    assert str(excinfo.value) == message
    assert notes(excinfo) == ["while processing 'val'"]
    assert trie.max_subword_len is None


def test_max_subword_len_has_no_deleter():
    trie = RustPrefixTrie(2)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del trie.max_subword_len
    assert trie.max_subword_len == 2


def test_core_errors_become_value_errors():
    trie = RustPrefixTrie()
    with pytest.raises(ValueError) as excinfo:
        trie.insert("", math.nan, None)
    assert str(excinfo.value) == "token must not be empty"
    assert notes(excinfo) == []


class Reentrant:
    """A float whose conversion uses the trie that is being converted for."""

    def __init__(self, action):
        self.action = action
        self.error = None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.error = str(exc)
        return -1.0


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda t: t.contains("a"), "Already mutably borrowed"),
        (lambda t: t.common_prefix_search("a"), "Already mutably borrowed"),
        (lambda t: t.seg_cache_len(), "Already mutably borrowed"),
        (lambda t: t.clear_seg_cache(), "Already mutably borrowed"),
        (lambda t: t.max_subword_len, "Already mutably borrowed"),
        (lambda t: t.insert("b", 1.0, None), "Already borrowed"),
        (lambda t: setattr(t, "max_subword_len", 3), "Already borrowed"),
    ],
)
def test_use_of_a_trie_while_insert_holds_it(action, message):
    trie = RustPrefixTrie()
    probe = Reentrant(lambda: action(trie))
    trie.insert("a", probe, 1)
    assert probe.error == message
    # The flag is released after the call, also for the inner failures.
    assert trie.contains("a")
    trie.insert("c", -1.0, 2)
    assert trie.max_subword_len is None


def test_insert_takes_exclusive_use_before_converting():
    trie = RustPrefixTrie()
    seen = []

    def inner():
        try:
            trie.insert(1, "bad", -1)  # bad arguments, but the borrow check comes first
        except RuntimeError as exc:
            seen.append(str(exc))

    trie.insert("a", Reentrant(inner), None)
    assert seen == ["Already borrowed"]


def test_setter_converts_before_taking_exclusive_use():
    trie = RustPrefixTrie()
    seen = []

    class Limit:
        def __index__(self):
            seen.append(trie.contains("a"))  # shared use is still free here
            return 5

    trie.max_subword_len = Limit()
    assert seen == [False]
    assert trie.max_subword_len == 5


def test_internal_failure_type_is_not_exported():
    assert not any("Internal" in name for name in dir(brindlore_core))
