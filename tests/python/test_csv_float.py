"""Which cell texts the CSV reader takes for floats, and their values, against Python's own float()."""

import math
import re
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from kelo_frame import read_csv

# A float text: a decimal number with an optional sign, or a signed word.
# Python's float() accepts more (spaces, underscores, unsigned words, other
# digits), so it is the reference for the value only once this matches.
FLOAT_TEXT = re.compile(
    r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-](?:inf|infinity|nan)", re.IGNORECASE | re.ASCII
)


Z = "0" * 400


def read_cell(text):
    """The reader's view of one cell: its float, or None when the column stays text.

    The cell comes after a cell of 1.5, so the column is never an integer column
    and every cell goes through the float test."""
    f = read_csv(f"x\n1.5\n{text}\n")
    if f.dtypes() == ["f64"]:
        return f.floats("x")[1]
    assert f.dtypes() == ["str"] and f.strings("x") == ["1.5", text]
    return None


def same_float(a, b):
    if math.isnan(b):
        return math.isnan(a) and math.copysign(1, a) == math.copysign(1, b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def check(text):
    got = read_cell(text)
    if FLOAT_TEXT.fullmatch(text):
        assert got is not None, text
        assert same_float(got, float(text)), (text, got, float(text))
    else:
        assert got is None, (text, got)


@pytest.mark.parametrize(
    "text",
    ["0", "-0", "+0", "007", "5.", ".5", "-.5", "+.5e1", "1e3", "1E3", "1e+3", "1e-3", "-1.5E-3", "-0.0", "0.000",
     "-0e-5", "123.4567", "0.1", "1e0", "1e-0", "5.e2", ".5e-1", "1e22", "1e23", "9007199254740993",
     "9007199254740995", "123456789012345678901234567890", "0.30000000000000004", "4.9e-324",
     "2.4703282292062328e-324", "2.4703282292062327e-324", "2.2250738585072014e-308", "1.7976931348623157e308",
     "1.7976931348623158e308", "1.7976931348623159e308",
     # Out of range: signed infinities and zeros, however many digits or exponent digits.
     "1e400", "-1e400", "1e-400", "-1e-400", "1e99999999999999999999999999", "-1e-99999999999999999999999999",
     "0e99999999999999999999999999", "-0.000e99999999999999999999999999", "0.0000000000000000000000000000001e340",
     "1000000000000000000000000000000e-340", "00000000000000000000000000000000001e-330",
     "12345678901234567890123e99999999999999999999", "-12345678901234567890123e-99999999999999999999",
     "-1234567890.1234567890123e300", "0.0000000000000000000012345678901234567890123e-310",
     "-00000000000000000000000000000000001e-320",
     "+inf", "-inf", "+Infinity", "-INFINITY", "+iNfInItY", "-InF", "+nan", "-nan", "+NaN", "-NAN",
     # Long forms, and digits far past the 17th that still decide a tie.
     Z + "1.5" + Z, "-" + Z + "." + Z + "15e401", "1" + Z + "e-400", "0." + Z * 3, "-" + Z,
     "9007199254740993." + Z + "1", "9007199254740993." + Z],
)
def test_float_texts(text):
    check(text)


@pytest.mark.parametrize(
    "text",
    ["+", "-", ".", "+.", "-.", "e5", "E5", ".e5", "-e1", "+E", "1e", "1e+", "1e-", "1.5E", "-.e+", "1.2.3", "1..2",
     "1e5.5", "1e5e5", "23e.23", "2.45+e+3", "++1", "+-1", "--1", "-+12.34", "1e++5", "1e+-5", "1-", ".7+", " 1",
     "1 ", "\t1", "+ 1", "1e 5", "1_000", "1'000", "1\0", "\x001", "1d5", "1f", "1.5f", "1.5L", "١", "1\u00a0",
     "0x10", "0X1p3", "-0x1.8p1", "0b1", "nan", "NaN", "inf", "Inf", "infinity", "Infinity", "+in", "+infinit",
     "+infinityy", "+infs", "-nana", "+nan(1)", "-nan()", "nan(abc)", "+inf1", "-nan0", "+infe", "+ inf", "+i", "-n",
     "+ınf"],
)
def test_not_float_texts(text):
    check(text)


# Cell texts the CSV dialect can hold unquoted: no comma, quote or line end,
# not empty (an empty cell is missing).
cell_chars = st.characters(blacklist_characters=',"\r\n', blacklist_categories=("Cs",))
float_like = st.text(alphabet="0123456789+-.eEinfatyINFATY_ x", min_size=1, max_size=12)


@settings(max_examples=500, deadline=None)
@given(st.from_regex(FLOAT_TEXT, fullmatch=True).filter(lambda t: "\n" not in t))
def test_random_float_texts(text):
    check(text)


@settings(max_examples=500, deadline=None)
@given(st.one_of(float_like, st.text(cell_chars, min_size=1, max_size=8)))
@example("+iNf")
@example("-.e1")
def test_random_texts(text):
    check(text)
