"""Writes tests/data/corpus_golden.json: digests of what the encoders give on
the shared benchmark corpus, so that a faster engine can be checked to give
bit-identical results. Run from the project root with the module importable:

    PYTHONPATH=build/python .venv/bin/python tools/make_corpus_golden.py
"""
import hashlib
import json
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from corpus_golden import compute  # noqa: E402

out = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "corpus_golden.json"
out.write_text(json.dumps(compute(), indent=1, sort_keys=True) + "\n")
print("wrote", out)
