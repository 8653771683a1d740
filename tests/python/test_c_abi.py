"""The C interface through ctypes, in the C library and in the extension module
(which exports the same functions)."""

import ctypes
import json
import os
import pathlib
import struct
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import brindlore_core
from c_abi_ctypes import U8P, U32P, load

ROOT = pathlib.Path(__file__).resolve().parents[2]
LIBRARIES = {
    "libbrindlore": ROOT / os.environ.get("BUILD_DIR", "build") / "libbrindlore.so",
    "module": pathlib.Path(brindlore_core.__file__),
}

OK, INVALID_VOCAB = 0, -4


@pytest.fixture(scope="module", params=sorted(LIBRARIES))
def lib(request):
    path = LIBRARIES[request.param]
    if not path.exists():
        pytest.skip(f"{path} not built")
    return load(path)


def encode(lib, handle, data):
    """(status, ids)."""
    ids, size = U32P(), ctypes.c_size_t(0)
    status = lib.brindlore_encode(handle, data, len(data), ctypes.byref(ids), ctypes.byref(size))
    result = [ids[i] for i in range(size.value)]
    assert bool(ids) == bool(result)
    lib.brindlore_free_tokens(ids, size.value)
    return status, result


def oracle_ids(trie, unk_id, text):
    """The ids that the module's Python functions give for `text` (whose pieces
    need no grapheme snapping)."""
    ids = []
    for piece in brindlore_core.rust_pre_tokenize(brindlore_core.rust_normalize(text)):
        for span in brindlore_core.rust_viterbi_decode(piece, trie, True):
            ids.append(unk_id if span.token_id is None else span.token_id)
    return ids


def joins_clusters(text):
    """True when a character may join a grapheme cluster across a match."""
    for ch in text:
        cp = ord(ch)
        if unicodedata.category(ch)[0] == "M" or unicodedata.category(ch) in ("Cf", "Cn", "Co"):
            return True
        if 0x1100 <= cp <= 0x11FF or 0xA960 <= cp <= 0xA97F or 0xD7B0 <= cp <= 0xD7FF:
            return True
        if 0x1F1E6 <= cp <= 0x1F1FF or 0x1F3FB <= cp <= 0x1F3FF or 0xE0000 <= cp <= 0xE0FFF:
            return True
    return False


SMALL_VOCAB = [
    ["<|unk|>", 0.0, 0],
    ["a", -1.0, 1],
    ["\u2581b", -1.0, 2],
    ["<0xC3>", -1.0, 3],
    ["<|x|>", -1.0, 4],
    ["b", -1.0, 5],
    ["\u2581", -2.0, 6],
    ["ab", -1.5, 7],
    ["1", -1.0, 8],
    ["\u65e5\u672c", -1.0, 9],
]


def make_pair(lib, vocab):
    handle = lib.brindlore_create(json.dumps(vocab).encode())
    assert handle
    trie = brindlore_core.RustPrefixTrie()
    for token, score, token_id in vocab:
        trie.insert(token, score, token_id)
    return handle, trie


def export(lib, path):
    """(status, image bytes or None)."""
    buf, size = U8P(), ctypes.c_size_t(0)
    raw = path if isinstance(path, bytes) else str(path).encode()
    status = lib.brindlore_export_gguf_vocab(raw, ctypes.byref(buf), ctypes.byref(size))
    if status != OK:
        assert not buf and size.value == 0
        return status, None
    image = ctypes.string_at(buf, size.value)
    lib.brindlore_free_buffer(buf, size.value)
    return status, image


def export_json(lib, tmp_path, content):
    path = tmp_path / "vocab.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return export(lib, path)


def read_gguf(image):
    """The metadata of a tensor-free GGUF v3 image as a dict, checking that
    nothing follows the last value."""
    pos = 0

    def take(fmt):
        nonlocal pos
        values = struct.unpack_from("<" + fmt, image, pos)
        pos += struct.calcsize("<" + fmt)
        return values[0]

    def string():
        nonlocal pos
        n = take("Q")
        pos += n
        return image[pos - n : pos].decode()

    scalar = {4: "I", 5: "i", 6: "f"}

    def value(kind):
        if kind == 8:
            return string()
        if kind == 9:
            element, count = take("I"), take("Q")
            return [value(element) for _ in range(count)]
        return take(scalar[kind])

    assert image[:4] == b"GGUF"
    pos = 4
    assert (take("I"), take("Q")) == (3, 0)
    metadata = {}
    for _ in range(take("Q")):
        key = string()
        metadata[key] = value(take("I"))
    assert pos == len(image)
    return metadata


def test_image_metadata(lib, tmp_path):
    vocab = [["<|unk|>", 0.0, 3], ["<s>", -1, 1], ["<0x0A>", -10.0, 0], ["<|user_x|>", 0.5, 2]]
    status, image = export_json(lib, tmp_path, json.dumps({"vocab": vocab}))
    assert status == OK
    assert read_gguf(image) == {
        "tokenizer.ggml.model": "llama",
        "tokenizer.ggml.tokens": ["<0x0A>", "<s>", "<|user_x|>", "<|unk|>"],
        "tokenizer.ggml.scores": [-10.0, -1.0, 0.5, 0.0],
        "tokenizer.ggml.token_type": [6, 3, 4, 2],
        "tokenizer.ggml.bos_token_id": 1,
        "tokenizer.ggml.eos_token_id": 0xFFFFFFFF,
        "tokenizer.ggml.unknown_token_id": 3,
        "tokenizer.ggml.padding_token_id": 0xFFFFFFFF,
    }


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.text(max_size=8), st.floats(-1e30, 1e30, allow_nan=False)),
        min_size=1,
        max_size=20,
    ),
    st.randoms(use_true_random=False),
)
def test_export_round_trip(tmp_path_factory, entries, rnd):
    lib = load(LIBRARIES["module"])
    ids = list(range(len(entries)))
    rnd.shuffle(ids)
    vocab = [[token, score, i] for (token, score), i in zip(entries, ids)]
    path = tmp_path_factory.mktemp("vocab") / "v.json"
    path.write_text(json.dumps(vocab), encoding="utf-8")
    status, image = export(lib, path)
    assert status == OK
    metadata = read_gguf(image)
    by_id = sorted(vocab, key=lambda e: e[2])
    assert metadata["tokenizer.ggml.tokens"] == [e[0] for e in by_id]
    assert metadata["tokenizer.ggml.scores"] == [
        struct.unpack("<f", struct.pack("<f", e[1]))[0] for e in by_id
    ]
    assert len(image) == 388 + 16 * len(vocab) + sum(len(e[0].encode()) for e in vocab)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=8),
    lambda children: st.lists(children, max_size=4),
    max_leaves=12,
)


@settings(max_examples=200, deadline=None)
@given(json_values, st.sampled_from(["", " ", "x", ",", "]"]))
def test_create_never_fails_badly(value, tail):
    lib = load(LIBRARIES["module"])
    text = json.dumps(value) + tail
    handle = lib.brindlore_create(text.encode())
    lib.brindlore_destroy(handle)
    if tail.strip():
        assert handle is None


@pytest.mark.parametrize("depth, status", [(100, OK), (5000, INVALID_VOCAB)])
def test_deep_nesting_is_refused(lib, tmp_path, depth, status):
    # The export reads the "vocab" member and ignores the others, so nesting
    # in another member changes the document's depth and nothing else.
    text = '{"vocab": [["<|unk|>", 0.0, 0]], "notes": ' + "[" * depth + "]" * depth + "}"
    assert export_json(lib, tmp_path, text)[0] == status


@settings(max_examples=150, deadline=None)
@given(st.text(alphabet="ab1 .,!?<|>x\u00e9\u65e5\u672c\u00a0\uff42\ue000\ue001\u2581\n\t", max_size=30))
def test_encode_matches_the_python_functions(text):
    lib = load(LIBRARIES["module"])
    handle, trie = make_pair(lib, SMALL_VOCAB)
    try:
        assert encode(lib, handle, text.encode()) == (OK, oracle_ids(trie, 0, text))
    finally:
        lib.brindlore_destroy(handle)


BENCH = ROOT.parent / "shared" / "bench"


@pytest.mark.skipif(not (BENCH / "vocab-unigram-32k.json").exists(), reason="no benchmark data")
def test_encode_corpus_lines_match_the_python_functions(lib):
    vocab = json.loads((BENCH / "vocab-unigram-32k.json").read_text(encoding="utf-8"))
    handle, trie = make_pair(lib, vocab)
    checked = 0
    try:
        with open(BENCH / "corpus.txt", encoding="utf-8") as corpus:
            for _, line in zip(range(3000), corpus):
                if joins_clusters(line):
                    continue
                assert encode(lib, handle, line.encode()) == (OK, oracle_ids(trie, 0, line))
                checked += 1
    finally:
        lib.brindlore_destroy(handle)
    assert checked > 100
