"""Properties of the fused encoders and RustTokenizer on random texts, against
the composition of the separate steps (normalize, pre-tokenize, decode) and
against each other."""

import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlore_core import (
    RustPrefixTrie,
    RustTokenizer,
    rust_encode_text_native,
    rust_encode_text_native_batch,
    rust_encode_text_native_ids,
    rust_encode_text_native_ids_batch,
    rust_normalize,
    rust_pre_tokenize,
    rust_viterbi_decode,
)
from test_normalizer import SWITCHES

# Letters with and without tokens, marks that join clusters, spaces of every
# kind, the escape and space characters, control syntax and its fullwidth form.
ALPHABET = "abcAB .,1\u00e9e\u0301\u0308 \u00a0\u3000\t\n\u2581\ue000\ue001<|>\uff1c\uff5c\u2019\u2026\U0001f600"
VOCAB = [(t, -1.0 - 0.1 * i, i) for i, t in enumerate(
    ["a", "b", "c", "ab", "bc", "\u2581", "\u2581a", "\u2581b", ".", ",", "1", "\u00e9", "e", "<", "|", ">",
     "\ue000", "\ue001", "\u2581\u2581", "A", "B", "<0xC3>", "<0xA9>"])]

texts = st.text(alphabet=st.sampled_from(ALPHABET), max_size=24)
switch_sets = st.fixed_dictionaries({name: st.booleans() for name in SWITCHES})
space_chars = st.sampled_from(["\u2581", "_", "a", "\u00a0"])


@pytest.fixture(scope="module")
def trie():
    trie = RustPrefixTrie()
    for token, score, token_id in VOCAB:
        trie.insert(token, score, token_id)
    return trie


def passes_gate(text):
    return "\ue000" not in text and "\ue001" not in text and "<|" not in unicodedata.normalize("NFKC", text)


def composed(text, trie, byte_fallback, space_char, switches):
    normalized = rust_normalize(text, space_char, **switches)
    pieces = rust_pre_tokenize(normalized)
    return [span.token for piece in pieces for span in rust_viterbi_decode(piece, trie, byte_fallback)]


@settings(max_examples=400, deadline=None)
@given(texts, space_chars, switch_sets)
def test_fused_encode_is_the_composition(trie, text, space_char, switches):
    if not passes_gate(text):
        with pytest.raises(ValueError):
            rust_encode_text_native(text, trie, True, space_char, **switches)
        return
    tokens = rust_encode_text_native(text, trie, True, space_char, **switches)
    assert tokens == composed(text, trie, True, space_char, switches)
    ids = dict((t, i) for t, _, i in VOCAB)
    if all(t in ids for t in tokens):
        assert rust_encode_text_native_ids(text, trie, True, space_char, **switches) == [ids[t] for t in tokens]


@settings(max_examples=200, deadline=None)
@given(texts, space_chars)
def test_tokenizer_encode_equals_fused_encode(trie, text, space_char):
    tokenizer = RustTokenizer(VOCAB, space_char)
    tokens = tokenizer.encode(text)
    if passes_gate(text):
        assert tokens == rust_encode_text_native(text, trie, True, space_char)
    else:
        assert tokens == composed(text, trie, True, space_char, {})


@settings(max_examples=60, deadline=None)
@given(st.lists(texts.filter(passes_gate), max_size=70))
def test_batch_entries_are_single_results(trie, batch):
    assert rust_encode_text_native_batch(batch, trie) == [rust_encode_text_native(t, trie) for t in batch]
    tokenizer = RustTokenizer(VOCAB)
    assert tokenizer.encode_batch(batch) == [tokenizer.encode(t) for t in batch]
    try:
        singles = [rust_encode_text_native_ids(t, trie) for t in batch]
    except ValueError as error:
        # Below 32 texts the first failing text is the one reported.
        if len(batch) < 32:
            with pytest.raises(ValueError) as excinfo:
                rust_encode_text_native_ids_batch(batch, trie)
            assert str(excinfo.value) == str(error)
        return
    assert rust_encode_text_native_ids_batch(batch, trie) == singles
    assert tokenizer.encode_ids_batch(batch) == singles
