"""Frame.to_csv against Python's repr and against reading the text back; the quoting of each
kind of text cell is tabled in the C++ writer tests."""

import math
import random
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gapped import frame
from kelo_frame import Frame, read_csv


def test_first_name_that_begins_with_a_byte_order_mark_survives():
    f = frame(**{"\ufeffa": ["\ufeffv"], "\ufeffb": ["w"]})
    assert f.to_csv() == '"\ufeffa",\ufeffb\n\ufeffv,w\n'
    assert read_csv(f.to_csv()).names() == ["\ufeffa", "\ufeffb"]


def test_tables_without_rows_or_columns():
    f = frame(a=[1, 2], b=["x", "y"])
    assert f.head(0).to_csv() == "a,b\n"
    assert Frame().to_csv() == "\n"
    assert f.select([]).to_csv() == "\n\n\n"
    with pytest.raises(ValueError, match="^no header line$"):
        read_csv(f.select([]).to_csv())


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def test_floats_equal_repr_on_random_bits():
    rng = random.Random(5)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(200_000)]
    # Short decimals take another path inside the writer than long ones.
    values += [rng.randrange(10 ** rng.randrange(1, 18)) * 10.0 ** rng.randrange(-12, 20) for _ in range(200_000)]
    values += [math.nan, math.inf, -math.inf, -0.0, 1e16, 1e15, 1e-5, 0.0001, 5e-324]
    text = frame(x=values).to_csv()
    assert text == "x\n" + "".join(repr(v) + "\n" for v in values)


# --- round trips -----------------------------------------------------------

def cells(f, name, dtype):
    return {"i64": f.ints, "f64": f.floats, "str": f.strings}[dtype](name)


def contents(f):
    """Names, dtypes and cells, with floats as their bits so -0.0 and NaN compare."""
    cols = []
    for name, dtype in zip(f.names(), f.dtypes()):
        values = cells(f, name, dtype)
        if dtype == "f64":
            values = [None if v is None else bits(v) for v in values]
        cols.append((name, dtype, values))
    return cols


def expected_back(f):
    """What read_csv(f.to_csv()) must give: f itself but for the documented exceptions."""
    names, dtypes = f.names(), f.dtypes()
    cols = []
    for name, dtype in zip(names, dtypes):
        values = cells(f, name, dtype)
        if dtype == "f64" and any(v is not None and (math.isnan(v) or v == math.inf) for v in values):
            # "nan" and "inf" are no float texts, so the column comes back as text.
            dtype, values = "str", [None if v is None else repr(v) for v in values]
        if all(v is None for v in values):
            dtype = "i64"
        if dtype == "f64":
            values = [None if v is None else bits(v) for v in values]
        cols.append([name, dtype, values])
    if len(cols) == 1:
        # A missing cell of a one-column table is an empty line, which the reader drops.
        keep = [v is not None for v in cols[0][2]]
        cols[0][2] = [v for v, k in zip(cols[0][2], keep) if k]
        if not cols[0][2]:
            cols[0][1] = "i64"
    return [tuple(c) for c in cols]


def csv_text(columns):
    """CSV text that reads as the given columns (missing cells as empty fields)."""

    def field(v):
        if v is None:
            return ""
        if isinstance(v, str):
            return '"' + v.replace('"', '""') + '"'
        return repr(v) if isinstance(v, float) else str(v)

    names = ",".join(field(name) for name, _ in columns)
    rows = zip(*(values for _, values in columns))
    return names + "\n" + "".join(",".join(field(v) for v in row) + "\n" for row in rows)


float_like = st.from_regex(r"\A[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z|\A[+-](inf|nan|infinity)\Z")
texts = st.one_of(
    st.text(st.characters(exclude_categories=("Cs",)), max_size=12),
    st.sampled_from(["", " ", "nan", "inf", "-inf", "1,5", '"', "\r\n", "\u00a0", "\ufeff1"]),
    float_like,
)
names = st.one_of(
    st.text(st.characters(exclude_categories=("Cs",)), max_size=6),
    float_like,
    st.sampled_from(["\ufeff", "\ufeffx", " x", ""]),
)


@st.composite
def frames(draw):
    height = draw(st.integers(0, 6))
    width = draw(st.integers(1, 4))
    col_names = draw(st.lists(names, min_size=width, max_size=width, unique=True))
    columns = []
    for name in col_names:
        kind = draw(st.sampled_from(["i64", "f64", "str"]))
        value = {
            "i64": st.integers(-(2**63), 2**63 - 1),
            "f64": st.floats(allow_nan=True, allow_infinity=True),
            "str": texts,
        }[kind]
        missing = draw(st.booleans())
        values = draw(st.lists(st.none() | value if missing else value, min_size=height, max_size=height))
        columns.append((name, kind, values))
    if all(None not in values for _, _, values in columns):
        f = Frame()
        for name, kind, values in columns:
            {"i64": f.add_ints, "f64": f.add_floats, "str": f.add_strings}[kind](name, values)
    else:
        # Missing cells only enter through CSV text.
        f = read_csv(csv_text([(name, values) for name, _, values in columns]))
    view = draw(st.sampled_from(["none", "sort", "tail", "select"]))
    if view == "sort" and f.height():
        f = f.sort(f.names()[-1], draw(st.booleans()))
    elif view == "tail":
        f = f.tail(draw(st.integers(0, height)))
    elif view == "select":
        f = f.select(draw(st.permutations(f.names())))
    return f


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames())
def test_round_trip(f):
    text = f.to_csv()
    expected = expected_back(f)
    back = read_csv(text)
    assert contents(back) == expected
    assert back.height() == len(expected[0][2])
