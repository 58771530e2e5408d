"""read_csv through Python: cells and messages reach Python whole, line numbers in long texts, the
public CSV test suite, integers and float texts against Python's own int() and float(), and columns
that change dtype late in a long text. The tabled edge cases of tables, messages and float texts are
the csv_read and csv_float fuzz targets' corpora, which the C++ tests run."""

import json
import math
import pathlib
import re
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from kelo_frame import read_csv

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SPECTRUM = DATA / "csv-corpus" / "csv-spectrum"


def cells(f, name):
    kind = f.dtypes()[f.names().index(name)]
    return {"i64": f.ints, "f64": f.floats, "str": f.strings}[kind](name)


def show(f):
    """A frame as one line: name:dtype=[cells] per column, None for a missing cell."""
    return " | ".join(f"{name}:{kind}={cells(f, name)!r}" for name, kind in zip(f.names(), f.dtypes()))


# Which tables and messages texts give is checked in C++ against a reference reader (the csv_read
# fuzz target, over its corpus of edge cases); here, that they reach Python whole.
def test_cells_and_messages_reach_python():
    assert show(read_csv('a,b,"c"\n1,"",\n,x,2.5\n')) == "a:i64=[1, None] | b:str=['', 'x'] | c:f64=[None, 2.5]"
    with pytest.raises(ValueError) as e:
        read_csv('a,b\n1\n"x')
    assert type(e.value) is ValueError and e.value.args == ("line 3: a quoted field is never closed",)


def test_signs_of_zero_and_nan():
    f = read_csv("x,y\n-0,1\n1.5,-nan\n")
    x, y = f.floats("x"), f.floats("y")
    assert math.copysign(1, x[0]) == -1 and x[1] == 1.5
    assert y[0] == 1 and math.isnan(y[1]) and math.copysign(1, y[1]) == -1


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


@settings(max_examples=100, deadline=None)
@given(st.lists(st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1)), min_size=1, max_size=200))
def test_integers_read_back(values):
    f = read_csv("n,pad\n" + "".join(("" if v is None else str(v)) + ",x\n" for v in values))
    assert f.dtypes() == ["i64", "str"] and f.ints("n") == values


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


# A float text: a decimal number with an optional sign, or a signed word.
# Python's float() accepts more (spaces, underscores, unsigned words, other
# digits), so it is the reference for the value only once this matches.
FLOAT_TEXT = re.compile(
    r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[+-](?:inf|infinity|nan)", re.IGNORECASE | re.ASCII
)
# Cell texts the CSV dialect can hold unquoted: no comma, quote or line end, not empty.
cell_chars = st.characters(blacklist_characters=',"\r\n', blacklist_categories=("Cs",))
float_like = st.text(alphabet="0123456789+-.eEinfatyINFATY_ x", min_size=1, max_size=12)


@settings(max_examples=500, deadline=None)
@given(st.one_of(float_like, st.text(cell_chars, min_size=1, max_size=8)))
@example("+iNf")
@example("-.e1")
@example("-nan")
def test_float_texts_against_python(text):
    # After a cell of 1.5 the column is never i64, so every cell takes the float test.
    f = read_csv(f"x\n1.5\n{text}\n")
    if not FLOAT_TEXT.fullmatch(text):
        assert f.dtypes() == ["str"] and f.strings("x") == ["1.5", text]
        return
    assert f.dtypes() == ["f64"], text
    got, want = f.floats("x")[1], float(text)
    if want != want:  # NaN: by its sign
        assert got != got and math.copysign(1, got) == math.copysign(1, want), text
    else:  # bit for bit, so -0.0 is not 0.0
        assert struct.pack("<d", got) == struct.pack("<d", want), (text, got, want)
