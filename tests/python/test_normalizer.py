"""rust_normalize and rust_normalize_with_alignment: registration, arguments,
every step on its own and in combination, and the alignment spans."""

import pytest

import brindlore_core
from brindlore_core import rust_normalize, rust_normalize_with_alignment

FUNCTIONS = [rust_normalize, rust_normalize_with_alignment]
SWITCHES = [
    "normalize_unicode",
    "normalize_unicode_spaces",
    "normalize_punctuation",
    "lowercase",
    "collapse_whitespaces",
    "strip_whitespace",
]
ALL_OFF = dict.fromkeys(SWITCHES, False)
RESERVED_MESSAGE = "space_char conflicts with reserved metaspace escape characters"
SIGNATURE = (
    "(text, space_char='\\u{2581}', normalize_unicode=True, normalize_unicode_spaces=True, "
    "normalize_punctuation=False, lowercase=False, collapse_whitespaces=False, "
    "strip_whitespace=False)"
)


def normalized_text(function, *args, **kwargs):
    result = function(*args, **kwargs)
    return result[0] if function is rust_normalize_with_alignment else result


# ---- registration and signatures ----


def test_both_functions_sit_next_to_each_other_after_the_classes():
    names = brindlore_core.__all__
    position = names.index("rust_normalize")
    assert names[position + 1] == "rust_normalize_with_alignment"
    assert names.index("RustPrefixTrie") < position


@pytest.mark.parametrize("function", FUNCTIONS)
def test_text_signature_and_no_docstring(function):
    assert function.__text_signature__ == SIGNATURE
    assert function.__doc__ is None
    assert function.__module__ == "brindlore_core"


# ---- arguments ----


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize(
    "args, kwargs, error, message, note",
    [
        ((), {}, TypeError, "{}() missing 1 required positional argument: 'text'", None),
        (("a", "x", True, True, False, False, False, False, False), {}, TypeError,
         "{}() takes from 1 to 8 positional arguments but 9 were given", None),
        (("a",), {"spacechar": "x"}, TypeError, "{}() got an unexpected keyword argument 'spacechar'", None),
        (("a", "x"), {"space_char": "y"}, TypeError, "{}() got multiple values for argument 'space_char'", None),
        ((b"a",), {}, TypeError, "'bytes' object is not an instance of 'str'", "text"),
        (("a", ""), {}, ValueError, "expected a string of length 1", "space_char"),
        (("a", "ab"), {}, ValueError, "expected a string of length 1", "space_char"),
        (("a", 95), {}, TypeError, "'int' object is not an instance of 'str'", "space_char"),
        # Conversion runs in parameter order: the first bad argument is reported.
        ((1, ""), {}, TypeError, "'int' object is not an instance of 'str'", "text"),
        (("a", "ab", 1), {}, ValueError, "expected a string of length 1", "space_char"),
    ],
)
def test_argument_errors(function, args, kwargs, error, message, note):
    with pytest.raises(error) as excinfo:
        function(*args, **kwargs)
    assert str(excinfo.value) == message.format(function.__name__)
    assert getattr(excinfo.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("switch", SWITCHES)
@pytest.mark.parametrize("value", [1, 0, None, "True"])
def test_switches_refuse_anything_but_bool(function, switch, value):
    with pytest.raises(TypeError) as excinfo:
        function("a", **{switch: value})
    assert excinfo.value.__notes__ == [f"while processing '{switch}'"]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("name, args", [("text", ("\ud800",)), ("space_char", ("a", "\udfff"))])
def test_surrogates_are_refused_by_the_encoder(function, name, args):
    with pytest.raises(UnicodeEncodeError) as excinfo:
        function(*args)
    assert excinfo.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("space_char", ["\ue000", "\ue001"])
@pytest.mark.parametrize("text, switches", [("", ALL_OFF), ("a b", {}), ("\ue000", {"lowercase": True})])
def test_reserved_space_characters_fail_whatever_the_text(function, space_char, text, switches):
    with pytest.raises(ValueError) as excinfo:
        function(text, space_char, **switches)
    assert str(excinfo.value) == RESERVED_MESSAGE
    assert getattr(excinfo.value, "__notes__", None) is None


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("switches", [{}, ALL_OFF, dict.fromkeys(SWITCHES, True)])
def test_empty_text_stays_empty(function, switches):
    expected = ("", []) if function is rust_normalize_with_alignment else ""
    assert function("", **switches) == expected
    assert function(text="", space_char=" ", **switches) == expected


# ---- the steps of rust_normalize ----

# The characters the spaces step folds (U+0020 itself would make seventeen).
SPACES_16 = "\u00a0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u202f\u205f\u3000"
STRIP_SET = "".join(map(chr, range(0x09, 0x0E))) + "\x1c\x1d\x1e\x1f \x85" + SPACES_16 + "\u2028\u2029"


@pytest.mark.parametrize(
    "text, kwargs, expected",
    [
        # defaults: NFKC and Unicode spaces, then escaping
        ("ab  cd", {}, "ab\u2581\u2581cd"),
        ("a\u2581b", {}, "a\ue000\ue001b"),
        ("a\ue000b", {}, "a\ue000\ue000b"),
        ("a\ue001b", {}, "a\ue001b"),
        ("\ue000\ue001 \u2581", {}, "\ue000\ue000\ue001\u2581\ue000\ue001"),
        # a space character of U+0020 turns every U+0020 into the escape pair
        ("a b", {"space_char": " "}, "a\ue000\ue001b"),
        ("\ue000 \u2581\ue001", {"space_char": " "}, "\ue000\ue000\ue000\ue001\u2581\ue001"),
        ("x_y z", {"space_char": "_"}, "x\ue000\ue001y_z"),
        # characters that only one step changes
        ("\u2026\u00a0\u3000", {}, "...\u2581\u2581"),
        ("\u2026\u00a0\u3000", {"normalize_unicode_spaces": False}, "...\u2581\u2581"),
        ("\u2026\u00a0\u3000", {"normalize_unicode": False}, "\u2026\u2581\u2581"),
        ("\u2026\u00a0\u3000", {"normalize_unicode": False, "normalize_unicode_spaces": False}, "\u2026\u00a0\u3000"),
        ("\u2026", {"normalize_unicode": False, "normalize_punctuation": True}, "..."),
        ("\u1680", {"normalize_unicode_spaces": False}, "\u1680"),
        ("\u1680", {}, "\u2581"),
        (SPACES_16, {"normalize_unicode": False}, "\u2581" * 16),
        ("\x85\u180e\u200b\u2028\u2029\ufeff\t\n", {}, "\x85\u180e\u200b\u2028\u2029\ufeff\t\n"),
        ("\U0001ccd6\ufb01\uff21", {}, "AfiA"),
        # punctuation folds, and what they leave alone
        ("\u2018\u2019\u201a\u201c\u201d\u201e\u2013\u2014\u2212\u2026", {"normalize_punctuation": True},
         "'''\"\"\"---..."),
        ("\u201b\u201f\u2010\u2011\u2012\u2015", {"normalize_punctuation": True, "normalize_unicode": False},
         "\u201b\u201f\u2010\u2011\u2012\u2015"),
        # lower-casing with the final sigma
        ("\u0391\u03a3", {"lowercase": True}, "\u03b1\u03c2"),
        ("\u03a3", {"lowercase": True}, "\u03c3"),
        ("\u03a3\u0391", {"lowercase": True}, "\u03c3\u03b1"),
        ("\u0391\u03a3 \u0391\u03a3.", {"lowercase": True}, "\u03b1\u03c2\u2581\u03b1\u03c2."),
        ("\u0391'\u03a3'", {"lowercase": True}, "\u03b1'\u03c2'"),
        ("A\u03a3\u0301B", {"lowercase": True, "normalize_unicode": False}, "a\u03c3\u0301b"),
        ("\u0130", {"lowercase": True}, "i\u0307"),
        ("HeLLo W\u00d6RLD", {"lowercase": True}, "hello\u2581w\u00f6rld"),
        # collapsing
        ("a\t\t b", {"collapse_whitespaces": True}, "a\u2581b"),
        ("a\tb", {"collapse_whitespaces": True}, "a\u2581b"),
        ("a\nb\r\nc", {"collapse_whitespaces": True}, "a\nb\r\nc"),
        (" \t a \u00a0 b  ", {"collapse_whitespaces": True}, "\u2581a\u2581b\u2581"),
        (" \t a \u00a0 b  ", {"collapse_whitespaces": True, "normalize_unicode": False,
                              "normalize_unicode_spaces": False}, "\u2581a\u2581\u00a0\u2581b\u2581"),
        # stripping, at the ends only
        (" \u3000a  b\x1c ", {"collapse_whitespaces": True, "strip_whitespace": True}, "a\u2581b"),
        (" \u3000a  b\x1c ", {"strip_whitespace": True}, "a\u2581\u2581b"),
        ("\x85a\u2028b\u2028", {"strip_whitespace": True}, "a\u2028b"),
        (STRIP_SET + "a" + STRIP_SET + "b" + STRIP_SET, {"strip_whitespace": True, "normalize_unicode": False,
                                                       "normalize_unicode_spaces": False},
         "a" + STRIP_SET.replace(" ", "\u2581") + "b"),
        (STRIP_SET, {"strip_whitespace": True}, ""),
        ("\u200ba\u200b", {"strip_whitespace": True}, "\u200ba\u200b"),
        # everything at once
        ("  \u201cH\u00c9LLO\u201d\u2026 \u00a0 \u039f\u03a3\ufb01\u2581 ", dict.fromkeys(SWITCHES, True),
         "\"h\u00e9llo\"...\u2581\u03bf\u03c3fi\ue000\ue001"),
    ],
)
def test_normalize_cases(text, kwargs, expected):
    assert rust_normalize(text, **kwargs) == expected


def test_arguments_by_position_and_keyword_agree():
    text = " A\u2019\u03a3\u00a0\t b"
    positional = rust_normalize(text, "_", False, True, True, True, True, True)
    keyword = rust_normalize(
        strip_whitespace=True, collapse_whitespaces=True, lowercase=True, normalize_punctuation=True,
        normalize_unicode_spaces=True, normalize_unicode=False, space_char="_", text=text,
    )
    assert positional == keyword == "a'\u03c2_b"


# ---- alignment ----


@pytest.mark.parametrize(
    "text, kwargs, expected_text, expected_spans",
    [
        ("a b", {}, "a\u2581b", [(0, 1), (1, 2), (2, 3)]),
        ("e\u0301", {}, "\u00e9", [(0, 2)]),
        ("e\u0301", {"normalize_unicode": False}, "e\u0301", [(0, 1), (1, 2)]),
        ("\ufb01", {}, "fi", [(0, 1), (0, 1)]),
        ("\u2026", {}, "...", [(0, 1)] * 3),
        ("x\u2026", {"normalize_unicode": False, "normalize_punctuation": True}, "x...", [(0, 1)] + [(1, 2)] * 3),
        ("\u1100\u1161\u11a8", {}, "\uac01", [(0, 3)]),
        ("\u1100\u1161\u11a8\u1100", {}, "\uac01\u1100", [(0, 3), (3, 4)]),
        ("\uac00\u11a8x", {}, "\uac01x", [(0, 2), (2, 3)]),
        ("a\u0316\u0301", {}, "\u00e1\u0316", [(0, 1), (1, 3)]),
        ("\u0391\u0313\u0300\u0345!", {}, "\u1f8a!", [(0, 4), (4, 5)]),
        ("\u00bd", {}, "1\u20442", [(0, 1)] * 3),
        ("\u0f73", {}, "\u0f71\u0f72", [(0, 1)] * 2),
        ("a \t b", {"collapse_whitespaces": True}, "a\u2581b", [(0, 1), (1, 4), (4, 5)]),
        ("a\u3000\u00a0b", {"collapse_whitespaces": True}, "a\u2581b", [(0, 1), (1, 3), (3, 4)]),
        (" a ", {"strip_whitespace": True}, "a", [(1, 2)]),
        ("x\ue000", {}, "x\ue000\ue000", [(0, 1), (1, 2), (1, 2)]),
        ("\u2581y", {}, "\ue000\ue001y", [(0, 1), (0, 1), (1, 2)]),
        ("a b", {"space_char": " "}, "a\ue000\ue001b", [(0, 1), (1, 2), (1, 2), (2, 3)]),
        ("\u0391\u03a3", {"lowercase": True}, "\u03b1\u03c3", [(0, 1), (1, 2)]),
        ("\u0130x", {"lowercase": True}, "i\u0307x", [(0, 1), (0, 1), (1, 2)]),
        ("\u2126", {"lowercase": True}, "\u03c9", [(0, 1)]),
    ],
)
def test_alignment_cases(text, kwargs, expected_text, expected_spans):
    assert rust_normalize_with_alignment(text, **kwargs) == (expected_text, expected_spans)


def test_alignment_result_types():
    text, spans = rust_normalize_with_alignment("\ufb01 x")
    assert type(text) is str and type(spans) is list
    assert all(type(span) is tuple and [type(v) for v in span] == [int, int] for span in spans)
