"""Sorting through Python: order, stability, NaN and missing cells, views, against plain Python."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from gapped import cells, gapped, same
from kelo_frame import Frame


def python_sort(column, order, descending):
    """The positions of order sorted stably by column: values, then NaN, then missing cells."""
    missing = [p for p in order if column[p] is None]
    nans = [p for p in order if column[p] is not None and isinstance(column[p], float) and math.isnan(column[p])]
    rest = [p for p in order if p not in missing and p not in nans]
    return sorted(rest, key=lambda p: column[p], reverse=descending) + nans + missing


def test_missing_column():
    f = Frame()
    f.add_ints("a", [1])
    with pytest.raises(ValueError) as info:
        f.sort("b", False)
    assert str(info.value) == 'no column "b" (the frame has "a")'


@pytest.mark.parametrize("descending", [True, 1, "yes", None])
def test_descending_must_be_a_bool(descending):
    f = gapped(n=("i64", [1, 2]))
    if descending is True:
        assert f.sort("n", descending).ints("n") == [2, 1]
    else:
        with pytest.raises(TypeError):
            f.sort("n", descending)


def test_successive_sorts_compose():
    f = gapped(k=("str", ["b", "a", "b", "a", None, "a"]), v=("i64", [1, 2, 3, 1, 0, None]))
    assert f.sort("v", True).sort("k", False).ints("p") == [1, 3, 5, 2, 0, 4]


def test_sorting_views():
    f = gapped(n=("i64", [5, 4, 3, 2, 1, 0]))
    assert f.where_ne("n", 3).head(3).sort("n", False).ints("n") == [2, 4, 5]
    assert f.tail(2).sort("n", False).ints("p") == [5, 4]
    assert f.sort("n", False).head(2).ints("n") == [0, 1]
    assert f.ints("n") == [5, 4, 3, 2, 1, 0]


def test_add_to_a_sorted_view_materialises_it():
    f = gapped(n=("i64", [2, None, 1]))
    s = f.sort("n", False)
    s.add_ints("m", [10, 20, 30])
    assert (s.ints("p"), s.ints("n"), s.ints("m")) == ([2, 0, 1], [1, 2, None], [10, 20, 30])
    assert f.names() == ["p", "n"] and f.ints("n") == [2, None, 1]


ints = st.one_of(st.integers(-(2**63), 2**63 - 1), st.integers(-3, 3))
floats = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, math.nan, -math.nan]), st.integers(-3, 3).map(float))
texts = st.text(alphabet="aAbz é\0\U0001f600", max_size=4)


@settings(max_examples=150, deadline=None)
@given(
    st.sampled_from(["i64", "f64", "str"]).flatmap(
        lambda d: st.tuples(st.just(d), st.lists(st.none() | {"i64": ints, "f64": floats, "str": texts}[d], max_size=50))
    ),
    st.booleans(),
    st.booleans(),
)
def test_sort_matches_python(typed_column, descending, through_view):
    dtype, column = typed_column
    if not any(c is not None for c in column):
        column = column + [{"i64": 0, "f64": 0.0, "str": ""}[dtype]]
    f = gapped(c=(dtype, column))
    order = list(range(len(column)))
    if through_view:
        # A view whose rows are in neither storage nor sorted order.
        f = f.sort("p", True).tail(-1)
        order = order[::-1][1:]
    got = f.sort("c", descending)
    want = python_sort(column, order, descending)
    assert got.ints("p") == want
    assert same(cells(got, "c"), [column[p] for p in want])
