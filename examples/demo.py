"""Encodes the example text with the example vocabulary, stage by stage."""

import json
import pathlib

import brindlore_core

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    vocab = [tuple(entry) for entry in json.loads((HERE / "vocab.json").read_text(encoding="utf-8"))]
    tokenizer = brindlore_core.RustTokenizer(vocab)
    trie = brindlore_core.RustPrefixTrie()
    for token, score, token_id in vocab:
        trie.insert(token, score, token_id)
    print(f"vocabulary: {len(vocab)} entries")

    lines = (HERE / "sample.txt").read_text(encoding="utf-8").splitlines()
    for line in lines:
        print()
        print(f"text:        {line!r}")
        normalized = brindlore_core.rust_normalize(line, lowercase=True)
        print(f"normalized:  {normalized!r}")
        print(f"pre-tokens:  {brindlore_core.rust_pre_tokenize(normalized)}")
        print(f"tokens:      {brindlore_core.rust_encode_text_native(line, trie, lowercase=True)}")
        print(f"ids:         {brindlore_core.rust_encode_text_native_ids(line, trie, lowercase=True)}")

    batch = tokenizer.encode_ids_batch([line.lower() for line in lines])
    print()
    print(f"batch of {len(batch)} texts through RustTokenizer: {[len(ids) for ids in batch]} ids")
    print(f"cached segmentations in the trie: {trie.seg_cache_len()}")


if __name__ == "__main__":
    main()
