"""Properties of both normalization functions on random texts, against
references written from the rules: a composition of str methods and
unicodedata2 for the text, and the prefix-count definition (one NFKC per
prefix) for the spans."""

import re
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindlore_core import rust_normalize, rust_normalize_with_alignment
from test_normalizer import SWITCHES

unicodedata2 = pytest.importorskip("unicodedata2")

SPACES = dict.fromkeys(map(ord, "\u00a0\u1680\u202f\u205f\u3000"), " ") | {c: " " for c in range(0x2000, 0x200B)}
PUNCTUATION = {0x2018: "'", 0x2019: "'", 0x201A: "'", 0x201C: '"', 0x201D: '"', 0x201E: '"',
               0x2013: "-", 0x2014: "-", 0x2212: "-", 0x2026: "..."}
STRIP = "".join(map(chr, range(0x09, 0x0E))) + "\x1c\x1d\x1e\x1f \x85\u2028\u2029" + "".join(map(chr, SPACES))

# Characters that make every step work: marks of several classes, jamo,
# ligatures, compatibility forms, decompositions that start with a mark,
# starters that compose with the previous starter, the cased letters of the
# final-sigma rule, whitespace of every kind and the escape characters.
HOSTILE = (
    "aeAZ .'\u0391\u03a3\u03c3\u0130\u1e9e\u00c9\u2126\u00b7"
    "\u0300\u0301\u0313\u0316\u0323\u0327\u0342\u0345\u0308\u05b0\u0591\u0340\u0344"
    "\u0f71\u0f72\u0f73\u0f75\u0f77\u0f80\u0f81\u0fb2"
    "\u1100\u1112\u1161\u1175\u11a8\u11c2\uac00\uac01\u3131\u314f"
    "\ufb01\ufb03\uff21\uff41\uff9e\u30ab\u3099\u00bd\u2474\ufdfa\U0001ccd6\U00016d63\U00016d67\U00016d68"
    "\u0b47\u0b3e\u0dd9\u0dcf\u0dca\u1f82\u0385\u212b"
    "\t\n\x1c\x85\u00a0\u1680\u2002\u2028\u3000\u2018\u2019\u201c\u2013\u2026\u201b"
    "\ue000\ue001\u2581_"
)

texts = st.one_of(
    st.text(alphabet=st.sampled_from(HOSTILE), max_size=30),
    st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=20),
)
switch_sets = st.fixed_dictionaries({name: st.booleans() for name in SWITCHES})
space_chars = st.sampled_from(["\u2581", " ", "_", "\u2581", "x", "\ue002", "\u00a0"])


def escape(chars, space_char):
    """The escaping step over a list of (character, anything) pairs."""
    out = []
    for c, tag in chars:
        if c == "\ue000":
            out += [("\ue000", tag), ("\ue000", tag)]
        elif c == space_char:
            out += [("\ue000", tag), ("\ue001", tag)]
        else:
            out.append((space_char if c == " " else c, tag))
    return out


def escape_text(text, space_char):
    return "".join(c for c, _ in escape([(c, None) for c in text], space_char))


def reference_normalize(text, space_char, switches):
    if switches["normalize_unicode"]:
        text = unicodedata2.normalize("NFKC", text)
    if switches["normalize_unicode_spaces"]:
        text = text.translate(SPACES)
    if switches["normalize_punctuation"]:
        text = text.translate(PUNCTUATION)
    if switches["lowercase"]:
        text = text.lower()
    if switches["collapse_whitespaces"]:
        text = re.sub("[ \t]+", " ", text)
    if switches["strip_whitespace"]:
        text = text.strip(STRIP)
    return escape_text(text, space_char)


def reference_nfkc_spans(text):
    normalized = unicodedata2.normalize("NFKC", text)
    if normalized == text:
        return list(normalized), [(i, i + 1) for i in range(len(text))]
    counts = [0] + [len(unicodedata2.normalize("NFKC", text[:k])) for k in range(1, len(text) + 1)]
    m = len(normalized)
    spans = [None] * m
    for i in range(len(text)):
        a, b = counts[i], counts[i + 1]
        if b > a:
            for k in range(a, min(b, m)):
                spans[k] = (i, i + 1)
        else:
            for k in range(min(a, m)):
                if spans[k][1] == i:
                    spans[k] = (spans[k][0], i + 1)
    return list(normalized), spans


def reference_aligned(text, space_char, switches):
    if switches["normalize_unicode"]:
        chars = list(zip(*reference_nfkc_spans(text)))
    else:
        chars = [(c, (i, i + 1)) for i, c in enumerate(text)]
    if switches["normalize_unicode_spaces"]:
        chars = [(" " if ord(c) in SPACES else c, s) for c, s in chars]
    if switches["normalize_punctuation"]:
        chars = [(d, s) for c, s in chars for d in c.translate(PUNCTUATION)]
    if switches["lowercase"]:
        chars = [(d, s) for c, s in chars for d in c.lower()]
    if switches["collapse_whitespaces"]:
        collapsed = []
        for c, s in chars:
            if c in " \t" and collapsed and collapsed[-1][0] == " " and collapsed[-1][2]:
                collapsed[-1] = (" ", (collapsed[-1][1][0], s[1]), True)
            else:
                collapsed.append((" " if c in " \t" else c, s, c in " \t"))
        chars = [(c, s) for c, s, _ in collapsed]
    if switches["strip_whitespace"]:
        while chars and chars[0][0] in STRIP:
            chars.pop(0)
        while chars and chars[-1][0] in STRIP:
            chars.pop()
    chars = escape(chars, space_char)
    return "".join(c for c, _ in chars), [s for _, s in chars]


def known_to_this_interpreter(text):
    """str.lower follows the interpreter's Unicode version; compare lower-casing
    only on characters that version already assigns."""
    return all(unicodedata.category(c) != "Cn" for c in text)


@settings(max_examples=600, deadline=None)
@given(texts, space_chars, switch_sets)
def test_normalize_equals_the_composition_of_its_steps(text, space_char, switches):
    if switches["lowercase"] and not known_to_this_interpreter(text):
        switches["lowercase"] = False
    assert rust_normalize(text, space_char, **switches) == reference_normalize(text, space_char, switches)


@settings(max_examples=600, deadline=None)
@given(texts, space_chars, switch_sets)
def test_alignment_matches_its_definition(text, space_char, switches):
    if switches["lowercase"] and not known_to_this_interpreter(text):
        switches["lowercase"] = False
    assert rust_normalize_with_alignment(text, space_char, **switches) == reference_aligned(
        text, space_char, switches
    )


@settings(max_examples=600, deadline=None)
@given(texts, space_chars, switch_sets)
def test_alignment_text_differs_from_normalize_only_in_final_sigma(text, space_char, switches):
    plain = rust_normalize(text, space_char, **switches)
    aligned, spans = rust_normalize_with_alignment(text, space_char, **switches)
    assert len(aligned) == len(plain) == len(spans)
    for got, expected in zip(aligned, plain):
        assert got == expected or (switches["lowercase"] and (got, expected) == ("\u03c3", "\u03c2"))
    if not switches["lowercase"]:
        assert aligned == plain


@settings(max_examples=600, deadline=None)
@given(texts, space_chars, switch_sets)
def test_spans_lie_within_the_input_and_produce_their_characters(text, space_char, switches):
    aligned, spans = rust_normalize_with_alignment(text, space_char, **switches)
    starts = [start for start, _ in spans]
    assert starts == sorted(starts)
    for start, end in spans:
        assert 0 <= start < end <= len(text)
    if switches["normalize_unicode"]:
        return
    # Without NFKC every output character comes from one input character or
    # from one collapsed run: the span's characters alone give it (or, for
    # whitespace, one of the space character's forms).
    per_char = dict(switches, collapse_whitespaces=False, strip_whitespace=False)
    for k, (start, end) in enumerate(spans):
        piece = rust_normalize_with_alignment(text[start:end], space_char, **per_char)[0]
        collapsed_run = set(text[start:end]) <= {" ", "\t"}
        assert aligned[k] in piece or (collapsed_run and aligned[k] in escape_text(" ", space_char))


@settings(max_examples=600, deadline=None)
@given(texts)
def test_nfkc_spans_keep_each_output_character_with_the_input_that_produces_it(text):
    text = re.sub("[ \u2581\ue000]", "", text)
    off = dict.fromkeys(SWITCHES, False)
    aligned, spans = rust_normalize_with_alignment(text, **dict(off, normalize_unicode=True))
    # NFKC never reaches across an ASCII letter or digit: the text splits into
    # pieces there, and each piece's output characters (those whose spans lie
    # in it) are exactly the piece's own NFKC.
    cuts = [0] + [m.start() for m in re.finditer("[A-Za-z0-9]", text) if m.start() > 0] + [len(text)]
    produced = []
    for begin, end in zip(cuts, cuts[1:]):
        inside = "".join(c for c, (s, e) in zip(aligned, spans) if begin <= s and e <= end)
        produced.append(inside)
        assert inside == escape_text(unicodedata2.normalize("NFKC", text[begin:end]), "\u2581")
    assert "".join(produced) == aligned


@settings(max_examples=400, deadline=None)
@given(texts)
def test_nfkc_alone_is_unicodedata2_nfkc(text):
    text = text.replace(" ", "").replace("\u2581", "").replace("\ue000", "")
    expected = unicodedata2.normalize("NFKC", text)
    off = dict.fromkeys(SWITCHES, False)
    got = rust_normalize(text, **dict(off, normalize_unicode=True))
    assert got == escape_text(expected, "\u2581")
    if " " not in expected and "\u2581" not in expected and "\ue000" not in expected:
        assert got == expected


def test_unicodedata2_is_the_unicode_16_release():
    assert unicodedata2.unidata_version == "16.0.0"
