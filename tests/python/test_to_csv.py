"""Frame.to_csv: the text written for every dtype, quoting, views, and reading the text back."""

import math
import random
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gapped import frame
from kelo_frame import Frame, read_csv


def test_every_dtype_with_missing_cells():
    text = 'i,f,s\n1,,""\n,2.5,\n-3,-0.0,"a,b"\n'
    assert read_csv(text).to_csv() == text


@pytest.mark.parametrize(
    ("cell", "written"),
    [
        # Texts the reader would take for a float go in quotes, unchanged.
        ("5", '"5"'),
        ("1e3", '"1e3"'),
        ("-nan", '"-nan"'),
        ("+Infinity", '"+Infinity"'),
        (".5", '".5"'),
        ("007", '"007"'),
        ("5.", '"5."'),
        ("-0", '"-0"'),
        ("9" * 400, '"' + "9" * 400 + '"'),
        # Texts that only look like numbers are not float texts.
        ("nan", "nan"),
        ("inf", "inf"),
        ("abc", "abc"),
        ("1_000", "1_000"),
        ("2024-01-05", "2024-01-05"),
        ("0x1p3", "0x1p3"),
        ("-", "-"),
        (".", "."),
        ("1e", "1e"),
        # Quoting for the dialect's special bytes and leading white space.
        ('a"b', '"a""b"'),
        ("a,b", '"a,b"'),
        ("", '""'),
        (" x", '" x"'),
        ("x ", "x "),
        ("a\nb", '"a\nb"'),
        ("a\rb", '"a\rb"'),
        ("\tx", '"\tx"'),
        ("\u00a0x", '"\u00a0x"'),
        ("\u3000", '"\u3000"'),
        ("\u2029x", '"\u2029x"'),
        ("x\u00a0", "x\u00a0"),
        ("\u200bx", "\u200bx"),
        ("\ufeffx", "\ufeffx"),
        ("é,ü", '"é,ü"'),
    ],
)
def test_text_cells(cell, written):
    # Once with a long cell after it and once at the end: a short cell is
    # copied as whole blocks when enough bytes follow it.
    long = "z" * 40
    f = frame(s=[cell, long, cell, "z"])
    assert f.to_csv() == f"s\n{written}\n{long}\n{written}\nz\n"
    assert read_csv(f.to_csv()).strings("s") == [cell, long, cell, "z"]


def test_float_cells():
    values = [1.0, 0.1, -0.0, 1e16, math.nan, math.inf, -math.inf, 1e15, 1e-5, 0.0001, 5e-324, 0.1 + 0.2]
    texts = ["1.0", "0.1", "-0.0", "1e+16", "nan", "inf", "-inf", "1000000000000000.0", "1e-05", "0.0001",
             "5e-324", "0.30000000000000004"]
    assert frame(f=values).to_csv() == "f\n" + "".join(t + "\n" for t in texts)


def test_int_cells_in_full():
    values = [-(2**63), 2**63 - 1, 0, -1, 10]
    assert frame(i=values).to_csv() == "i\n-9223372036854775808\n9223372036854775807\n0\n-1\n10\n"


def test_header_names():
    f = Frame()
    for name in ["x,y", "5", "", 'a"b', " s", "l\nf"]:
        f.add_ints(name, [1])
    assert f.to_csv() == '"x,y",5,"","a""b"," s","l\nf"\n1,1,1,1,1,1\n'
    assert read_csv(f.to_csv()).names() == f.names()


def test_first_name_that_begins_with_a_byte_order_mark_survives():
    f = frame(**{"\ufeffa": ["\ufeffv"], "\ufeffb": ["w"]})
    assert f.to_csv() == '"\ufeffa",\ufeffb\n\ufeffv,w\n'
    assert read_csv(f.to_csv()).names() == ["\ufeffa", "\ufeffb"]


def test_views_are_written_in_view_order():
    f = read_csv("a,b\n0,p\n1,\n2,r\n3,s\n")
    assert f.to_csv() == "a,b\n0,p\n1,\n2,r\n3,s\n"
    assert f.where_ne("a", 1).sort("a", True).to_csv() == "a,b\n3,s\n2,r\n0,p\n"
    assert f.tail(2).to_csv() == "a,b\n2,r\n3,s\n"
    assert f.sort("b", False).head(3).to_csv() == "a,b\n0,p\n2,r\n3,s\n"
    assert f.select(["b"]).to_csv() == "b\np\n\nr\ns\n"


def test_tables_without_rows_or_columns():
    f = frame(a=[1, 2], b=["x", "y"])
    assert f.head(0).to_csv() == "a,b\n"
    assert Frame().to_csv() == "\n"
    assert f.select([]).to_csv() == "\n\n\n"
    with pytest.raises(ValueError, match="^no header line$"):
        read_csv(f.select([]).to_csv())


def test_receiver_unchanged():
    f = read_csv("a,b\n2,x\n1,\n").sort("a", False)
    before = (f.names(), f.dtypes(), f.ints("a"), f.strings("b"))
    assert f.to_csv() == f.to_csv() == "a,b\n1,\n2,x\n"
    assert (f.names(), f.dtypes(), f.ints("a"), f.strings("b")) == before


def test_signature():
    assert Frame.to_csv.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        Frame().to_csv(1)


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def test_floats_equal_repr_on_random_bits():
    rng = random.Random(5)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(200_000)]
    # Short decimals take another path inside the writer than long ones.
    values += [rng.randrange(10 ** rng.randrange(1, 18)) * 10.0 ** rng.randrange(-12, 20) for _ in range(200_000)]
    text = frame(x=values).to_csv()
    assert text == "x\n" + "".join(repr(v) + "\n" for v in values)


def test_large_mixed_frame_reads_back():
    rng = random.Random(9)
    n = 50_000
    ints = [rng.randrange(-(2**63), 2**63) for _ in range(n)]
    floats = [rng.random() * 10 ** rng.randrange(-6, 20) for _ in range(n)]
    texts = [rng.choice(["", " ", "a,b", 'q"', "5", "x" * rng.randrange(200), "-1e5", "é"]) for _ in range(n)]
    f = frame(i=ints, f=floats, s=texts)
    back = read_csv(f.to_csv())
    assert back.dtypes() == ["i64", "f64", "str"]
    assert back.ints("i") == ints
    assert [bits(v) for v in back.floats("f")] == [bits(v) for v in floats]
    assert back.strings("s") == texts


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
