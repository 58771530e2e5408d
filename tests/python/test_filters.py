"""Filters through Python: exact messages, the int-versus-float edge, and properties against plain Python."""

import math
import operator

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from gapped import gapped
from kelo_frame import Frame

OPS = {"where_eq": operator.eq, "where_ne": operator.ne, "where_lt": operator.lt, "where_le": operator.le,
       "where_gt": operator.gt, "where_ge": operator.ge}
TWO_53 = 2**53
TWO_63 = 2.0**63


def typed():
    f = Frame()
    f.add_ints("n", [1, 2, 3])
    f.add_floats("x", [1.0, 2.0, 3.0])
    f.add_strings("s", ["a", "b", "c"])
    return f


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.where_eq("q", 1), 'no column "q" (the frame has "n", "x", "s")'),
        (lambda f: f.where_among("q", [1]), 'no column "q" (the frame has "n", "x", "s")'),
        (lambda f: f.where_in("q", ["a"]), 'no column "q" (the frame has "n", "x", "s")'),
        (lambda f: f.where_gt("s", 1), 'column "s" is str: compare it with where_is or where_in'),
        (lambda f: f.where_among("s", [1.5]), 'column "s" is str: where_in takes its strings'),
        (lambda f: f.where_in("n", ["1"]), 'column "n" is i64: where_is and where_in take a str column'),
        (lambda f: f.where_is("x", "1"), 'column "x" is f64: where_is and where_in take a str column'),
    ],
)
def test_messages(call, message):
    with pytest.raises(ValueError) as info:
        call(typed())
    assert str(info.value) == message


def test_missing_column_is_reported_before_the_values_are_looked_at():
    with pytest.raises(ValueError, match='^no column "q"'):
        typed().where_in("q", [])


# The engine's exact comparisons at the i64 and 2**53 edges are swept in C++, and
# float values by the property below; these rows are about the ints and NaN Python passes in.
@pytest.mark.parametrize(
    "method, value, kept",
    [
        ("where_eq", TWO_53 + 1, [TWO_53]),  # the int is rounded to a float first
        ("where_eq", math.nan, []),
        ("where_ne", math.nan, [TWO_53 + 1, TWO_53, 0, -1, -(2**63), 2**63 - 1]),
    ],
)
def test_int_cells_compare_exactly(method, value, kept):
    f = gapped(n=("i64", [TWO_53 + 1, TWO_53, None, 0, -1, -(2**63), 2**63 - 1]))
    assert getattr(f, method)("n", value).ints("n") == kept


def test_empty_lists_and_where_is():
    f = gapped(n=("i64", [1, 2, None, 1, 3]), s=("str", ["a", "A", None, "a ", "a"]))
    empty = f.where_among("n", [])
    assert (empty.height(), empty.names()) == (0, ["p", "n", "s"])
    assert f.where_in("s", []).height() == 0
    assert f.where_is("s", "a").ints("p") == f.where_in("s", ["a"]).ints("p") == [0, 4]


@pytest.mark.parametrize("call", [lambda f: f.where_is("s", None), lambda f: f.where_in("s", ["a", None])])
def test_none_is_refused_before_filtering(call):
    with pytest.raises(TypeError):
        call(gapped(s=("str", ["a", None])))


ints = st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-3, 3),
                 st.sampled_from([TWO_53 - 1, TWO_53, TWO_53 + 1, -(2**63), 2**63 - 1]))
floats = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, 0.5, -0.5, float(TWO_53), TWO_63, -TWO_63]))


# Every method against Python's comparisons (exact between int and float) on an i64 and an f64 column.
@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.none() | ints, st.none() | floats), min_size=1, max_size=40),
       st.one_of(floats, ints.map(float)), st.sampled_from(sorted(OPS)))
def test_filters_match_python(rows, value, method):
    f = gapped(n=("i64", [r[0] for r in rows]), x=("f64", [r[1] for r in rows]))
    for k, name in enumerate("nx"):
        want = [p for p, r in enumerate(rows) if r[k] is not None and OPS[method](r[k], value)]
        assert getattr(f, method)(name, value).ints("p") == want
