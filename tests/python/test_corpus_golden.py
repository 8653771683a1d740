"""Every encoder gives, chunk by chunk, exactly what the engine gave when
tests/data/corpus_golden.json was written."""
import json
import pathlib

import pytest

import corpus_golden

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data" / "corpus_golden.json"

pytestmark = pytest.mark.skipif(not (corpus_golden.BENCH / "corpus.txt").exists(),
                                reason="../shared/bench is absent")


def test_encoders_match_the_golden_digests():
    expected = json.loads(GOLDEN.read_text())
    got = corpus_golden.compute()
    assert {k for k in expected if got[k] != expected[k]} == set()
