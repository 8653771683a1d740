"""RustPrefixTrie: insertion, lookup and prefix search."""

import math

import pytest

from brindlore_core import RustPrefixTrie


def test_new_trie_is_empty():
    trie = RustPrefixTrie()
    assert trie.max_subword_len is None
    assert trie.seg_cache_len() == 0
    assert trie.clear_seg_cache() is None
    assert trie.common_prefix_search("") == []
    assert trie.contains("") is False


@pytest.mark.parametrize(
    "token, log_p, message",
    [
        ("", 0.0, "token must not be empty"),
        ("", math.nan, "token must not be empty"),
        ("a", math.nan, "log_p must be finite"),
        ("a", math.inf, "log_p must be finite"),
        ("a", -math.inf, "log_p must be finite"),
    ],
)
def test_refused_insertions_leave_the_trie_unchanged(token, log_p, message):
    trie = RustPrefixTrie()
    with pytest.raises(ValueError) as excinfo:
        trie.insert(token, log_p, 1)
    assert str(excinfo.value) == message
    assert not trie.contains("a")
    assert trie.common_prefix_search("a") == []


def test_lookup_and_search_after_one_insertion(make_trie):
    trie = make_trie([("ab", -2.0, 7)])
    assert trie.contains("ab") is True
    assert trie.contains("a") is False
    assert trie.contains("abc") is False
    assert trie.common_prefix_search("abc") == [("ab", 7, -2.0, 2)]
    trie.max_subword_len = 1
    assert trie.common_prefix_search("abc") == []
    assert trie.contains("ab") is True


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, [("a", 1, -1.0, 1), ("ab", 2, -2.0, 2), ("abc", 3, -3.0, 3)]),
        (2, [("a", 1, -1.0, 1), ("ab", 2, -2.0, 2)]),
        (1, [("a", 1, -1.0, 1)]),
        (0, []),
    ],
)
def test_search_is_bounded_by_the_limit(make_trie, limit, expected):
    trie = make_trie([("a", -1.0, 1), ("ab", -2.0, 2), ("abc", -3.0, 3)], max_subword_len=limit)
    assert trie.common_prefix_search("abcd") == expected
    assert trie.contains("abc")


def test_reinsertion_replaces_id_and_score(make_trie):
    trie = make_trie([("tok", -1.0, 5), ("tok", -4.0, None)])
    assert trie.common_prefix_search("tok") == [("tok", None, -4.0, 3)]


@pytest.mark.parametrize(
    "tokens, text, expected_lengths",
    [
        (["日", "日本", "日本語"], "日本語です", [1, 2, 3]),
        (["é", "éa"], "éab", [1, 2]),
        (["\U0001F600", "\U0001F600x"], "\U0001F600xy", [1, 2]),  # outside the BMP: one character
        (["a\U0001F600b"], "a\U0001F600bc", [3]),
    ],
)
def test_lengths_count_characters(make_trie, tokens, text, expected_lengths):
    trie = make_trie([(t, -1.0, i) for i, t in enumerate(tokens)])
    result = trie.common_prefix_search(text)
    assert [r[3] for r in result] == expected_lengths
    assert [r[0] for r in result] == tokens[: len(result)]


def test_non_ascii_search_respects_limit(make_trie):
    trie = make_trie([("日", -1.0, 1), ("日本", -1.0, 2), ("日本語", -1.0, 3)], max_subword_len=2)
    assert [r[0] for r in trie.common_prefix_search("日本語")] == ["日", "日本"]


def test_many_children_of_one_node(make_trie):
    # A node with many ASCII children and many non-ASCII ones.
    tokens = [f"x{chr(c)}" for c in range(33, 127)] + [f"x{chr(c)}" for c in range(0x400, 0x500)]
    trie = make_trie([(t, -float(i % 7), i) for i, t in enumerate(tokens)])
    for i, t in enumerate(tokens):
        assert trie.common_prefix_search(t + "!") == [(t, i, -float(i % 7), 2)]
    assert trie.common_prefix_search("x") == []


def test_large_limit_and_no_limit_agree(make_trie):
    entries = [("a" * n, -float(n), n) for n in range(1, 40)]
    unlimited = make_trie(entries)
    limited = make_trie(entries, max_subword_len=2**64 - 1)
    assert unlimited.common_prefix_search("a" * 50) == limited.common_prefix_search("a" * 50)
    assert len(unlimited.common_prefix_search("a" * 50)) == 39
