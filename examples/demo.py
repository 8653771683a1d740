"""Loads the example vocabulary into a trie and shows what it finds."""

import json
import pathlib

import brindlore_core

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    vocab = json.loads((HERE / "vocab.json").read_text(encoding="utf-8"))
    trie = brindlore_core.RustPrefixTrie()
    for token, score, token_id in vocab:
        trie.insert(token, score, token_id)
    print(f"loaded {len(vocab)} vocabulary entries")

    text = (HERE / "sample.txt").read_text(encoding="utf-8")
    for word in text.lower().split()[:8]:
        piece = "\u2581" + word
        matches = trie.common_prefix_search(piece)
        shown = ", ".join(f"{tok!r} (id {tid}, {logp:.2f}, {n} chars)" for tok, tid, logp, n in matches)
        print(f"{piece!r}: {shown or 'no vocabulary prefix'}")


if __name__ == "__main__":
    main()
