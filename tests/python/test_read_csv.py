"""read_csv through Python: dtypes from the contents, missing versus empty cells, and every message."""

import json
import math
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kelo_frame import read_csv

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
ROOT = DATA.parents[1]
SPECTRUM = DATA / "csv-corpus" / "csv-spectrum"


def cells(f, name):
    kind = f.dtypes()[f.names().index(name)]
    return {"i64": f.ints, "f64": f.floats, "str": f.strings}[kind](name)


def show(f):
    """A frame as one line: name:dtype=[cells] per column, None for a missing cell."""
    return " | ".join(f"{name}:{kind}={cells(f, name)!r}" for name, kind in zip(f.names(), f.dtypes()))


@pytest.mark.parametrize(
    "text, want",
    [
        # Record ends, final line end or not, blank lines.
        ('a,b\n1,2\n', 'a:i64=[1] | b:i64=[2]'),
        ('a,b\n1,2', 'a:i64=[1] | b:i64=[2]'),
        ('a,b\r\n1,2\r\n', 'a:i64=[1] | b:i64=[2]'),
        ('x\n1\r2\r', 'x:i64=[1, 2]'),
        ('x\r\r\n1\n\r\n\n2\r\n\r\n', 'x:i64=[1, 2]'),
        ('a\n1\n\n2\n', 'a:i64=[1, 2]'),
        ('\n\r\n\na,b\n1,2\n', 'a:i64=[1] | b:i64=[2]'),
        # No rows.
        ('a,b\n', 'a:i64=[] | b:i64=[]'),
        ('a\n\n\n', 'a:i64=[]'),
        ('a,b', 'a:i64=[] | b:i64=[]'),
        ('""', ':i64=[]'),
        ('""\n', ':i64=[]'),
        # Missing cells: empty unquoted fields; a trailing comma adds one.
        ('a,b\n1,\n', 'a:i64=[1] | b:i64=[None]'),
        ('a,b\n1,', 'a:i64=[1] | b:i64=[None]'),
        ('a,b\n,\n', 'a:i64=[None] | b:i64=[None]'),
        ('a,b,c\n,x,\n', "a:i64=[None] | b:str=['x'] | c:i64=[None]"),
        ('a,b\n,1.5\n2,\n', 'a:i64=[None, 2] | b:f64=[1.5, None]'),
        ('a,b\nx,\n,y\n', "a:str=['x', None] | b:str=[None, 'y']"),
        # An empty quoted field is a present, empty text.
        ('x\n""\n', "x:str=['']"),
        ('a,b\n"",\n', "a:str=[''] | b:i64=[None]"),
        ('a,b\n1,""', "a:i64=[1] | b:str=['']"),
        # Integers.
        ('x\n+5\n007\n-0\n', 'x:i64=[5, 7, 0]'),
        ('x\n9223372036854775807\n-9223372036854775808\n', 'x:i64=[9223372036854775807, -9223372036854775808]'),
        ('x\n00000000000000000000000000042\n', 'x:i64=[42]'),
        ('x\n12345678\n123456789012\n1234567890123456789\n', 'x:i64=[12345678, 123456789012, 1234567890123456789]'),
        ('x\n123456789\n-1234567812345678\n+0009223372036854775807\n',
         'x:i64=[123456789, -1234567812345678, 9223372036854775807]'),
        # Past the i64 range, digits next to '/' and ':' (the bytes around '0' to '9'), signs, other digits.
        ('x\n18446744073709551616\n99999999999999999999\n', 'x:f64=[1.8446744073709552e+19, 1e+20]'),
        ('x\n1234567/\n12345678:\n+-1\n--1\n1e3\n\u0661\n',
         "x:str=['1234567/', '12345678:', '+-1', '--1', '1e3', '\u0661']"),
        # Floats; integers read before the first float are converted.
        ('x\n9223372036854775808\n', 'x:f64=[9.223372036854776e+18]'),
        ('x\n-9223372036854775809\n', 'x:f64=[-9.223372036854776e+18]'),
        ('x\n1\n2.5\n', 'x:f64=[1.0, 2.5]'),
        ('x\n-0\n1.5\n', 'x:f64=[-0.0, 1.5]'),
        ('x\n+0\n0\n-00\n.5\n', 'x:f64=[0.0, 0.0, -0.0, 0.5]'),
        ('x\n9007199254740993\n0.5\n', 'x:f64=[9007199254740992.0, 0.5]'),
        ('x\n-nan\n', 'x:f64=[nan]'),
        ('x\n1\n\n2.25\n', 'x:f64=[1.0, 2.25]'),
        # Texts: anything else (test_csv_float has the float grammar), or any quoted cell.
        ('x\n1\n \n', "x:str=['1', ' ']"),
        ('x\n5\n"6"\n', "x:str=['5', '6']"),
        ('x\n1\n2.5\nz\n', "x:str=['1', '2.5', 'z']"),
        ('x,y\n1,a\n,b\n', "x:i64=[1, None] | y:str=['a', 'b']"),
        # Quoted fields: doubled quotes, separators and line ends inside.
        ('x\n"a""b"\n', 'x:str=[\'a"b\']'),
        ('x\n""""\n', 'x:str=[\'"\']'),
        ('x\n"a,b"\n', "x:str=['a,b']"),
        ('x\n"a\nb"\n', "x:str=['a\\nb']"),
        ('x\n"a\r\nb"\r\n', "x:str=['a\\r\\nb']"),
        ('x\nab"c\n', 'x:str=[\'ab"c\']'),
        ('x\na""\n', 'x:str=[\'a""\']'),
        ('"a,b","c"""\n1,2\n', 'a,b:i64=[1] | c":i64=[2]'),
        # Byte-order mark.
        ('\ufeffx\n1\n', 'x:i64=[1]'),
        ('\ufeff"x"\n1\n', 'x:i64=[1]'),
        ('x\n\ufeff\n', "x:str=['\\ufeff']"),
        # Header names may be empty; UTF-8 passes through.
        (',b\n1,2\n', ':i64=[1] | b:i64=[2]'),
        ('hé\n€\n', "hé:str=['€']"),
    ],
)
def test_tables(text, want):
    assert show(read_csv(text)) == want


def test_signs_of_zero_and_nan():
    f = read_csv("x,y\n-0,1\n1.5,-nan\n")
    x, y = f.floats("x"), f.floats("y")
    assert math.copysign(1, x[0]) == -1 and x[1] == 1.5
    assert y[0] == 1 and math.isnan(y[1]) and math.copysign(1, y[1]) == -1


@pytest.mark.parametrize(
    "text, message",
    [
        ('', 'no header line'),
        ('\ufeff', 'no header line'),
        ('\n', 'no header line'),
        ('\r\n\r\n', 'no header line'),
        ('\r\r\n\n', 'no header line'),
        # Field counts: the first mismatch wins, and the read goes on past it.
        ('a,b\n1,2,\n', 'line 2: 3 fields; the header has 2'),
        ('a,b\n1\n2,3\n4\n', 'line 2: 1 fields; the header has 2'),
        ('a,b\n1,2\n\n3,4,5,6\n', 'line 4: 4 fields; the header has 2'),
        ('a\n"x\ny"\n1,2\n', 'line 4: 2 fields; the header has 1'),
        ('a\n"x\ry"\n1,2\n', 'line 3: 2 fields; the header has 1'),
        ('a\n"x\ny\n"\n1,2\n', 'line 5: 2 fields; the header has 1'),
        ('a,b\n"\n",\n1\n', 'line 4: 1 fields; the header has 2'),
        ('\n\na,b\n1\n', 'line 4: 1 fields; the header has 2'),
        ('a,b\r\n\r\n1\r\n', 'line 3: 1 fields; the header has 2'),
        ('a,b\r1\r', 'line 2: 1 fields; the header has 2'),
        # Quote errors end the read at once and win over a pending count.
        ('a,b\n1\n"x', 'line 3: a quoted field is never closed'),
        ('a\n"', 'line 2: a quoted field is never closed'),
        ('a\n"x""', 'line 2: a quoted field is never closed'),
        ('a,b\n"x\ny","z\n', 'line 2: a quoted field is never closed'),
        ('"a', 'line 1: a quoted field is never closed'),
        ('a\n"x"y\n', 'line 2: text after a closing quote'),
        ('a\n"x\ny"z\n', 'line 3: text after a closing quote'),
        ('a\n"x" \n', 'line 2: text after a closing quote'),
        ('a\n"x\ry"z\n', 'line 2: text after a closing quote'),
        ('a,b\n1\n"x"y,2\n', 'line 3: text after a closing quote'),
        ('a\n"x"""y\n', 'line 2: text after a closing quote'),
        # Repeated names, only after a clean scan, first repeat in header order.
        ('a,a\n1,2\n', 'the frame has a column "a" already'),
        (',\n1,2\n', 'the frame has a column "" already'),
        ('a,b,b,a\n', 'the frame has a column "b" already'),
        ('a,a\n1\n', 'line 2: 1 fields; the header has 2'),
        ('a,a\n"1', 'line 2: a quoted field is never closed'),
        ('x\n1\n\nz\n,\n', 'line 5: 2 fields; the header has 1'),
        ('a\n"x\ny"\n\n1,2\n', 'line 5: 2 fields; the header has 1'),
        ('a\tb,a\tb\n', 'the frame has a column "a\\tb" already'),
    ],
)
def test_messages(text, message):
    with pytest.raises(ValueError) as e:
        read_csv(text)
    assert str(e.value) == message
    assert type(e.value) is ValueError


def test_line_numbers_in_a_long_text():
    # Long enough for the block scanner; the error sits past many quoted LFs.
    rows = "".join(f'{i},"note\n{i}"\r\n' for i in range(5000))
    with pytest.raises(ValueError, match=r"^line 10003: 1 fields; the header has 2$"):
        read_csv("id,note\n\n" + rows + "7\n")
    with pytest.raises(ValueError, match=r"^line 10003: text after a closing quote$"):
        read_csv("id,note\n" + rows + '1,"x\ny"z\n')


def test_argument_checks():
    with pytest.raises(TypeError):
        read_csv(b"a\n1\n")
    with pytest.raises(TypeError):
        read_csv()
    assert read_csv(text="a\n1\n").ints("a") == [1]


def spectrum_cases():
    return sorted(p.stem for p in (SPECTRUM / "csvs").glob("*.csv") if p.stem != "location_coordinates")


@pytest.mark.parametrize("name", spectrum_cases())
def test_csv_spectrum(name):
    text = (SPECTRUM / "csvs" / f"{name}.csv").read_bytes().decode("utf-8")
    want = json.loads((SPECTRUM / "json" / f"{name}.json").read_text(encoding="utf-8"))
    f = read_csv(text)
    assert f.height() == len(want)
    assert f.names() == list(want[0])
    for column in f.names():
        got = cells(f, column)
        for cell, row in zip(got, want):
            expected = row[column]
            if cell is None or cell == "":
                assert expected == ""
            elif isinstance(cell, str):
                assert cell == expected
            else:
                assert cell == type(cell)(expected)


def write_field(text):
    return '"' + text.replace('"', '""') + '"'


@settings(max_examples=150, deadline=None)
@given(
    st.lists(
        st.lists(st.text(alphabet=st.sampled_from('ab,"\n\r é1-'), max_size=90), min_size=3, max_size=3),
        min_size=1,
        max_size=30,
    ),
    st.sampled_from(["\n", "\r\n", "\r"]),
)
def test_quoted_texts_read_back(rows, end):
    text = "a,b,c" + end + "".join(",".join(write_field(c) for c in row) + end for row in rows)
    f = read_csv(text)
    assert f.height() == len(rows)
    for i, name in enumerate("abc"):
        assert f.strings(name) == [row[i] for row in rows]


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1)), min_size=1, max_size=200))
def test_integers_read_back(values):
    text = "n,pad\n" + "".join(("" if v is None else str(v)) + ",x\n" for v in values)
    f = read_csv(text)
    assert f.dtypes() == ["i64", "str"]
    assert f.ints("n") == values


@pytest.mark.parametrize("late_columns", [1, 8])
def test_columns_that_turn_late_in_a_long_text(late_columns):
    # Megabytes, read in several stretches; each late column turns to str (or
    # f64) in a different stretch, so eight of them take more rescans of the
    # earlier text than the stretch-wise reading allows.
    n = 90000
    names = [f"c{i}" for i in range(late_columns)]
    rows = [[str(r * 7 + i) for i in range(late_columns)] for r in range(n)]
    turns = {}
    for i in range(late_columns):
        at = n - 1 - (n // 8) * i
        rows[at][i] = ["word", '"12"', "2.5"][i % 3]
        turns[names[i]] = at
    text = "id," + ",".join(names) + "\n" + "".join(f"{r}," + ",".join(row) + "\n" for r, row in enumerate(rows))
    f = read_csv(text)
    assert f.ints("id") == list(range(n))
    for i, name in enumerate(names):
        kind = ["str", "str", "f64"][i % 3]
        assert f.dtypes()[i + 1] == kind
        want = [row[i].strip('"') for row in rows]
        got = cells(f, name)
        if kind == "f64":
            assert got == [float(w) for w in want]
        else:
            assert got == want
