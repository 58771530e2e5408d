"""Row and column views: head, tail, select, sort, views of views, and sharing with the source. The
order of a sort is test_sort.cpp's and the sort fuzz target's, which the C++ tests run."""

import gc

import pytest

from gapped import gapped
from kelo_frame import Frame


def numbered(h):
    f = Frame()
    f.add_ints("a", list(range(10, 10 * h + 1, 10)))
    f.add_strings("s", [str(i) for i in range(h)])
    return f


def take_count(n, h):
    return min(n, h) if n >= 0 else max(h + n, 0)


@pytest.mark.parametrize("h", [0, 1, 3, 6])
@pytest.mark.parametrize("n", [-(2**63), -7, -6, -2, -1, 0, 1, 2, 5, 6, 7, 2**63 - 1])
def test_head_and_tail_counts(h, n):
    f = numbered(h)
    rows = f.ints("a")
    k = take_count(n, h)
    head, tail = f.head(n), f.tail(n)
    assert head.ints("a") == rows[:k] and head.height() == k
    assert tail.ints("a") == rows[h - k :] and tail.height() == k
    assert head.names() == tail.names() == ["a", "s"]


def test_views_of_views():
    f = gapped(n=("i64", [4, None, 1, 3, 2, 5]))
    s = f.sort("n", False)
    assert s.head(2).ints("n") == [1, 2]
    assert s.tail(2).ints("n") == [5, None]
    w = f.where_gt("n", 1)
    assert w.tail(2).ints("p") == [4, 5]
    assert w.head(-1).tail(-1).ints("p") == [3, 4]
    assert f.tail(-1).ints("p") == [1, 2, 3, 4, 5]
    g = gapped(n=("i64", [5, 4, 3, 2, 1, 0]))
    assert g.where_ne("n", 3).head(3).sort("n", False).ints("n") == [2, 4, 5]
    assert g.tail(2).sort("n", False).ints("p") == [5, 4]
    # Sorts compose: ties of the last keep the order of the one before.
    h = gapped(k=("str", ["b", "a", "b", "a", None, "a"]), v=("i64", [1, 2, 3, 1, 0, None]))
    assert h.sort("v", True).sort("k", False).ints("p") == [1, 3, 5, 2, 0, 4]


def test_select_orders_and_keeps_rows():
    f = Frame()
    for name in "abc":
        f.add_ints(name, [1, 2, 3])
    assert f.select(["c", "a"]).names() == ["c", "a"]
    none = f.select([])
    assert (none.width(), none.height(), none.names()) == (0, 3, [])
    w = f.where_ne("b", 2).select(["b"])
    assert (w.names(), w.ints("b")) == (["b"], [1, 3])
    assert w.head(1).ints("b") == [1]
    assert f.select(("a",)).ints("a") == [1, 2, 3]


def test_empty_selection_accepts_a_column_of_any_length():
    f = numbered(5)
    none = f.head(3).select([])
    assert none.height() == 3
    none.add_ints("z", [1, 2])
    assert (none.height(), none.ints("z")) == (2, [1, 2])


def test_views_outlive_their_source():
    f = gapped(n=("i64", [3, None, 1, 2]), s=("str", ["c", "x", "a", "b"]))
    views = [f.sort("n", False), f.where_ge("n", 2), f.head(2), f.tail(3).select(["s"])]
    del f
    gc.collect()
    assert views[0].ints("n") == [1, 2, 3, None]
    assert views[1].strings("s") == ["c", "b"]
    assert views[2].ints("p") == [0, 1]
    assert views[3].strings("s") == ["x", "a", "b"]
    # Views of views, after their own sources are gone.
    deeper = views[0].where_ne("n", 2).head(2)
    del views
    gc.collect()
    assert deeper.strings("s") == ["a", "c"]


def test_adding_to_a_view_leaves_source_and_siblings_alone():
    f = numbered(4)
    v = f.tail(2)
    sibling = f.tail(2)
    v.add_ints("b", [7, 8])
    assert (v.names(), v.ints("a"), v.ints("b")) == (["a", "s", "b"], [30, 40], [7, 8])
    assert f.names() == sibling.names() == ["a", "s"]
    assert f.ints("a") == [10, 20, 30, 40] and sibling.ints("a") == [30, 40]
    with pytest.raises(ValueError) as info:
        v.add_ints("c", [1, 2, 3])
    assert str(info.value) == 'column "c" has 3 values; the frame has 2 rows'
