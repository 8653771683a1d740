"""The module frame: import, registration order, docstrings, re-import, signatures."""

import importlib
import inspect
import sys

import brindlore_core

# Every name of the module, in registration order.
REGISTRATION_ORDER = [
    "RustPrefixTrie",
    "RustTokenizer",
    "ViterbiSpan",
    "rust_viterbi_decode",
    "rust_diagnostic_viterbi",
    "rust_viterbi_decode_batch",
    "rust_encode_tokens_batch",
    "rust_encode_ids_batch",
    "rust_encode_text_batch",
    "rust_encode_text_native",
    "rust_encode_text_native_batch",
    "rust_encode_text_native_ids",
    "rust_encode_text_native_ids_batch",
    "rust_forward_backward_expectations",
    "rust_normalize",
    "rust_normalize_with_alignment",
    "rust_mine_ngrams",
    "rust_pre_tokenize",
    "rust_diagnostic_batch",
]


def test_docstring():
    assert brindlore_core.__doc__ == "Native Brindlore Core Python Module"


def test_all_follows_registration_order():
    names = brindlore_core.__all__
    assert names == REGISTRATION_ORDER
    for name in names:
        assert hasattr(brindlore_core, name)


def test_functions_belong_to_the_module():
    for name in brindlore_core.__all__:
        obj = getattr(brindlore_core, name)
        if not isinstance(obj, type):
            assert obj.__module__ == "brindlore_core"
            assert obj.__name__ == name


def test_reimport_reuses_type_objects():
    first = sys.modules.pop("brindlore_core")
    try:
        second = importlib.import_module("brindlore_core")
        assert second is not first
        assert second.__all__ == first.__all__
        assert second.RustPrefixTrie is first.RustPrefixTrie
    finally:
        sys.modules["brindlore_core"] = first


def test_class_text_signature_and_doc():
    cls = brindlore_core.RustPrefixTrie
    assert cls.__text_signature__ == "(max_subword_len=None)"
    assert str(inspect.signature(cls)) == "(max_subword_len=None)"
    assert not cls.__doc__


def test_method_documentation():
    cls = brindlore_core.RustPrefixTrie
    expected = {
        "insert": ("($self, token, log_p, token_id)",
                   "Inserts a non-empty subword with a finite log probability."),
        "common_prefix_search": ("($self, text)",
                                 "Finds all matching prefixes for a slice of text starting at position 0.\n"
                                 "Returns tuples of (token, token_id, log_p, char_length)."),
        "contains": ("($self, token)", "Checks whether the exact token exists in the Trie."),
        "clear_seg_cache": ("($self)", "Clears the shared word-level segmentation memoization cache."),
        "seg_cache_len": ("($self)", "Returns the number of cached segmentations."),
    }
    for name, (signature, doc) in expected.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
    assert str(inspect.signature(cls.insert)) == "(self, /, token, log_p, token_id)"
    assert cls.max_subword_len.__doc__ is None
