import pathlib

import pytest

import brindlore_core

SHARED_BENCH = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "bench"


@pytest.fixture
def make_trie():
    """Builds a trie from (token, log_p, token_id) triples."""

    def build(entries, max_subword_len=None):
        trie = brindlore_core.RustPrefixTrie(max_subword_len)
        for token, log_p, token_id in entries:
            trie.insert(token, log_p, token_id)
        return trie

    return build
