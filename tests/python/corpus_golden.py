"""Digests of every encoder's output on the shared benchmark corpus (see
tools/make_corpus_golden.py). Each digest covers one chunk of lines, so that a
difference points at the lines it is in."""
import hashlib
import json
import pathlib

import brindlore_core as bc

BENCH = pathlib.Path(__file__).resolve().parents[3] / "shared" / "bench"
CHUNK = 8000


def load():
    lines = (BENCH / "corpus.txt").read_text(encoding="utf-8").splitlines()
    vocab = [tuple(e) for e in json.loads((BENCH / "vocab-unigram-32k.json").read_text())]
    return lines, vocab


def _digest(values):
    return hashlib.sha256(repr(values).encode()).hexdigest()[:16]


def compute():
    lines, vocab = load()
    tok = bc.RustTokenizer(vocab)
    trie = bc.RustPrefixTrie()
    for token, score, token_id in vocab:
        trie.insert(token, score, token_id)
    words = [w for line in lines[:20000] for w in line.split(" ") if w]
    result = {}
    for start in range(0, len(lines), CHUNK):
        part = lines[start:start + CHUNK]
        key = f"{start:06d}"
        result[f"tokenizer_ids/{key}"] = _digest(tok.encode_ids_batch(part))
        result[f"text_batch/{key}"] = _digest(bc.rust_encode_text_batch(part, trie))
        result[f"native_tokens/{key}"] = _digest(bc.rust_encode_text_native_batch(part, trie))
    for start in range(0, len(words), 4 * CHUNK):
        part = words[start:start + 4 * CHUNK]
        key = f"{start:06d}"
        spans = bc.rust_viterbi_decode_batch(part, trie, True)
        result[f"word_spans/{key}"] = _digest(
            [[(s.token, s.token_id, s.start, s.end) for s in r] for r in spans])
        result[f"word_pruned_ids/{key}"] = _digest(bc.rust_encode_ids_batch(part, trie, True, 2))
    return result
