"""Date parts through Python: the grammar, the order of failures, positions in messages, views."""

import datetime
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from gapped import gapped
from kelo_frame import Frame


def dates(*texts):
    return gapped(d=("str", list(texts)))


@pytest.mark.parametrize(
    "part, want", [("year", [2024, None, 1999]), ("month", [3, None, 12]), ("day", [15, None, 31])]
)
def test_each_part(part, want):
    f = dates("2024-03-15", None, "1999-12-31")
    assert f.add_date_part("y", "d", part) is None
    assert f.dtypes() == ["i64", "str", "i64"]
    assert f.ints("y") == want


@pytest.mark.parametrize(
    "text", ["2024-02-29", "2000-02-29", "1600-02-29", "0004-02-29", "0001-01-01", "9999-12-31", "1999-04-30"]
)
def test_dates(text):
    f = dates(text)
    f.add_date_part("y", "d", "year")
    assert f.ints("y") == [int(text[:4])]


@pytest.mark.parametrize(
    "text",
    ["2023-02-29", "1900-02-29", "2100-02-29", "0000-01-01", "2024-04-31", "2024-13-01", "2024-00-10",
     "2024-01-00", "2024-01-32", " 2024-01-05", "2024-01-05 ", "2024/01/05", "20240105", "2024-1-5", "2024-1-05",
     "2024-01-05T00:00", "", "2024-01-0a", "+024-01-05", "2024--1-05", "2024-0\0-05", "２０２４-01-05", "2024-01-0٥"],
)
def test_not_dates(text):
    f = dates("2024-01-01", text)
    with pytest.raises(ValueError) as info:
        f.add_date_part("y", "d", "day")
    quoted = '"' + text.replace("\0", "\\0") + '"'
    assert str(info.value) == f"column \"d\", row 1: {quoted} is not a YYYY-MM-DD date"
    assert f.names() == ["p", "d"]


@pytest.mark.parametrize("part", ["Year", "YEAR", "years", "", "day\0"])
def test_part_message_comes_before_the_lookup(part):
    with pytest.raises(ValueError) as info:
        Frame().add_date_part("y", "nowhere", part)
    assert str(info.value) == 'part {}: give "year", "month" or "day"'.format(
        '"' + part.replace("\0", "\\0") + '"'
    )


def test_failures_in_order():
    f = gapped(n=("i64", [1]), d=("str", ["2023-02-29"]))
    with pytest.raises(ValueError) as info:
        f.add_date_part("y", "q", "year")
    assert str(info.value) == 'no column "q" (the frame has "p", "n", "d")'
    with pytest.raises(ValueError) as info:
        f.add_date_part("y", "n", "year")
    assert str(info.value) == 'column "n" is i64, not str'
    with pytest.raises(ValueError) as info:
        f.add_date_part("n", "d", "year")  # the bad date is found before the taken name
    assert str(info.value) == 'column "d", row 0: "2023-02-29" is not a YYYY-MM-DD date'


def test_taken_name_is_reported_after_parsing():
    f = dates("2024-01-02")
    with pytest.raises(ValueError) as info:
        f.add_date_part("d", "d", "year")
    assert str(info.value) == 'the frame has a column "d" already'


def test_views_use_positions_and_materialise():
    f = dates("2003-03-03", "bad", None, "2001-01-01", "2002-02-02")
    good = f.where_ne("p", 1).sort("d", False)
    good.add_date_part("y", "d", "year")
    assert (good.ints("p"), good.ints("y")) == ([3, 4, 0, 2], [2001, 2002, 2003, None])
    assert f.names() == ["p", "d"]
    view = f.sort("d", True)  # "bad" sorts first, at position 0
    with pytest.raises(ValueError, match=r'^column "d", row 0: "bad" is not'):
        view.add_date_part("y", "d", "year")
    late = f.sort("p", True)  # "bad" at position 3
    with pytest.raises(ValueError, match=r'^column "d", row 3: "bad" is not'):
        late.add_date_part("y", "d", "year")
    # A failed add on a view leaves its content as it was.
    taken = f.head(1)
    with pytest.raises(ValueError, match="already"):
        taken.add_date_part("p", "d", "year")
    assert (taken.ints("p"), taken.strings("d")) == ([0], ["2003-03-03"])
    # No rows, so no cell to refuse.
    empty = f.head(0)
    empty.add_date_part("y", "d", "year")
    assert (empty.height(), empty.dtypes()) == (0, ["i64", "str", "i64"])


def python_part(text, part):
    if not re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
        return None
    try:
        d = datetime.date(int(text[:4]), int(text[5:7]), int(text[8:]))
    except ValueError:
        return None
    return getattr(d, part)


@settings(max_examples=200, deadline=None)
@given(
    st.one_of(
        st.dates().map(lambda d: f"{d.year:04d}-{d.month:02d}-{d.day:02d}"),
        st.from_regex(r"\A[0-9]{4}-[0-9]{2}-[0-9]{2}\Z"),
        st.text(alphabet="0123-9 ", min_size=8, max_size=11),
    ),
    st.sampled_from(["year", "month", "day"]),
)
def test_grammar_matches_python(text, part):
    f = dates("2020-01-01", text)
    want = python_part(text, part)
    if want is None:
        with pytest.raises(ValueError, match=r'^column "d", row 1: '):
            f.add_date_part("x", "d", part)
    else:
        f.add_date_part("x", "d", part)
        assert f.ints("x")[1] == want
