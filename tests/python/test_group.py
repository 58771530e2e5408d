"""Grouping and aggregation through the public API: Frame.group and Grouped."""

import gc
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelo_frame as kf
from gapped import cells, frame, gapped, same

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def table(f):
    return {name: cells(f, name) for name in f.names()}


# Which groups and aggregates every kind of table gives is the property test below and the group
# fuzz target's check (run by the C++ tests); these are the texts, shapes and messages.


@pytest.mark.parametrize(
    ("f", "keys", "text"),
    [
        (frame(k=[1, 2]).head(0), ["k"], "Grouped(0 groups by k)"),
        (frame(k=[1, 2, 1]), [], "Grouped(1 groups by )"),
        (frame(a=[1, 1], b=["x", "y"]), ["b", "a"], "Grouped(2 groups by b, a)"),
        (frame(**{'a"b': [1]}), ['a"b'], 'Grouped(1 groups by a"b)'),
    ],
)
def test_describe_text(f, keys, text):
    g = f.group(keys)
    assert g.describe() == str(g) == repr(g) == text


def test_zero_rows_give_zero_groups_and_empty_results():
    f = frame(k=["a"], i=[1], x=[1.0], s=["t"]).head(0)
    g = f.group(["k"])
    assert g.groups() == 0
    for method, name, dtypes in [("sum", "i", ["str", "i64"]), ("sum", "x", ["str", "f64"]),
                                 ("mean", "i", ["str", "f64"]), ("min", "s", ["str", "str"]),
                                 ("max", "x", ["str", "f64"])]:
        r = getattr(g, method)(name)
        assert (r.height(), r.names(), r.dtypes()) == (0, ["k", name], dtypes)
    assert g.count().names() == ["k", "count"]


def test_a_grouped_outlives_its_frame():
    g = kf.read_csv("k,v\nx,1\ny,2\nx,3\n").group(["k"])
    gc.collect()
    assert table(g.sum("v")) == {"k": ["x", "y"], "v": [4, 2]}
    assert table(g.max("v")) == {"k": ["x", "y"], "v": [3, 2]}


def test_count_names_its_column_count_then_len_then_nothing():
    f = frame(count=[1, 1, 2], len=[0, 0, 0])
    assert table(f.group(["len"]).count()) == {"len": [0], "count": [3]}
    assert table(f.group(["count"]).count()) == {"count": [1, 2], "len": [2, 1]}
    assert table(f.group(["len", "count"]).count()) == {"len": [0, 0], "count": [1, 2]}


# --- aggregates ---


def test_int_mean_is_a_float_of_the_exact_sum():
    big = 2**53 + 1
    f = frame(k=[1, 1, 2, 2], v=[1, 2, big, -(big - 1)])
    assert f.group(["k"]).mean("v").floats("v") == [1.5, 0.5]


# --- failures ---


def test_group_refuses_unknown_and_repeated_names():
    f = frame(a=[1], b=[2])
    with pytest.raises(ValueError, match=r'^no column "x" \(the frame has "a", "b"\)$'):
        f.group(["a", "x"])
    with pytest.raises(ValueError, match=r'^column "a" selected twice$'):
        f.group(["a", "a"])


@pytest.mark.parametrize(
    ("keys", "method", "name", "message"),
    [
        (["k"], "sum", "nope", 'no column "nope" (the frame has "k", "n", "s")'),
        (["k"], "sum", "s", 'column "s" is str: it has no sum or mean'),
        (["k"], "mean", "s", 'column "s" is str: it has no sum or mean'),
        (["s"], "mean", "s", 'column "s" is str: it has no sum or mean'),
        (["s"], "max", "s", 'column "s" is a key of this grouping'),
        (["k"], "sum", "k", 'column "k" is a key of this grouping'),
        (["k"], "sum", "n", 'the sum of column "n" overflows i64'),
        (["k"], "mean", "n", 'the sum of column "n" overflows i64'),
        (["n", "k"], "sum", "n", 'column "n" is a key of this grouping'),
    ],
)
def test_aggregate_messages(keys, method, name, message):
    # Group k=1 holds I64_MAX then 1 then -1: the total fits, a partial sum does not.
    f = frame(k=[1, 1, 1, 2], n=[I64_MAX, 1, -1, 5], s=["a", "a", "a", "b"])
    g = f.group(keys)
    with pytest.raises(ValueError) as err:
        getattr(g, method)(name)
    assert str(err.value) == message
    assert g.groups() == len({tuple(cells(f, k)[i] for k in keys) for i in range(4)})


def test_an_aggregate_of_a_key_reports_its_overflow_first():
    g = frame(n=[I64_MAX, I64_MAX]).group(["n"])
    with pytest.raises(ValueError, match=r'^the sum of column "n" overflows i64$'):
        g.sum("n")


# --- properties against plain Python ---

TEXTS = st.sampled_from(["", "a", "b", "ab", "ba", "é", 'q"', "a,b", "long text of some length"])
INTS = st.one_of(st.integers(-3, 3), st.sampled_from([I64_MIN, I64_MAX, 2**62]))
# Python's sum() is compensated too: 1e100 + 1.0 - 1e100 is 1.0.
FLOATS = st.one_of(
    st.sampled_from([0.0, -0.0, 1.5, -2.25, 0.1, 1e100, -1e100, 1e308, -1e308, math.inf, -math.inf, math.nan]),
    st.floats(-1e6, 1e6),
)


@st.composite
def tables(draw):
    width, height = draw(st.integers(1, 4)), draw(st.integers(0, 25))
    values = {"i64": INTS, "f64": FLOATS, "str": TEXTS}
    cols = {}
    for i in range(width):
        dtype = draw(st.sampled_from(sorted(values)))
        cell = st.one_of(st.none(), values[dtype]) if draw(st.booleans()) else values[dtype]
        cols[f"c{i}"] = (dtype, [draw(cell) for _ in range(height)])
    keys = draw(st.lists(st.sampled_from(list(cols)), unique=True, max_size=width))
    return gapped(**cols).select(list(cols)), keys


def key_of(value):
    """A dict key that is equal exactly when grouping calls cells equal."""
    if isinstance(value, float) and math.isnan(value):
        return ("nan", struct.pack("<d", value))
    return (type(value).__name__, value)  # 0.0 == -0.0, as grouping has it


def reference_groups(f, keys):
    cols = [cells(f, k) for k in keys]
    groups = {}
    for row in range(f.height()):
        groups.setdefault(tuple(key_of(c[row]) for c in cols), []).append(row)
    return list(groups.values())


def first_wins(values, better):
    out = None
    for v in values:
        if out is None or better(v, out):
            out = v
    return out


def expected(dtype, method, cells):
    present = [c for c in cells if c is not None]
    if method in ("sum", "mean") and dtype == "i64":
        total = 0
        for v in present:
            total += v
            if not I64_MIN <= total <= I64_MAX:
                raise OverflowError
        if method == "sum":
            return total
        return float(total) / len(present) if present else None
    if method == "sum":
        return float(sum(present))
    if method == "mean":
        return sum(present) / len(present) if present else None
    return first_wins(present, (lambda a, b: a < b) if method == "min" else (lambda a, b: a > b))


def check_aggregate(f, g, keys, groups, name, method):
    dtype = f.dtypes()[f.names().index(name)]
    col = cells(f, name)
    agg = getattr(g, method)
    if dtype == "str" and method in ("sum", "mean"):
        with pytest.raises(ValueError, match="is str: it has no sum or mean"):
            agg(name)
        return
    try:
        want = [expected(dtype, method, [col[r] for r in rows]) for rows in groups]
    except OverflowError:
        with pytest.raises(ValueError, match=r"overflows i64$"):
            agg(name)
        return
    if name in keys:
        with pytest.raises(ValueError, match="is a key of this grouping$"):
            agg(name)
        return
    result = agg(name)
    assert result.names() == keys + [name]
    assert same(cells(result, name), want), (method, cells(result, name), want)


@settings(max_examples=300, deadline=None)
@given(tables())
def test_grouping_and_aggregates_match_plain_python(case):
    f, keys = case
    g = f.group(keys)
    groups = reference_groups(f, keys)
    assert g.groups() == len(groups)

    counted = g.count()
    firsts = [rows[0] for rows in groups]
    for k in keys:
        assert same(cells(counted, k), [cells(f, k)[r] for r in firsts])
    if "count" not in keys:
        assert counted.ints("count") == [len(rows) for rows in groups]

    for name in f.names():
        for method in ("sum", "mean", "min", "max"):
            check_aggregate(f, g, keys, groups, name, method)


# Larger random tables for the grouping paths that small ones never reach: many groups (ids past 8 and
# 16 bits), integer keys over a small range or a wide one, several keys whose group counts multiply past
# a direct table or past 64 bits, missing keys, NaN and -0.0, and views (a sort, then a slice).
KEY_CELLS = {
    "i64 few": lambda r: r.choice([None, 0, 1, -1, 7]),
    "i64 range": lambda r: r.choice([None, r.randrange(-50, 300)]) if r.random() < 0.1 else r.randrange(-50, 300),
    "i64 wide": lambda r: r.randrange(I64_MIN, I64_MAX),
    "f64": lambda r: r.choice([None, 0.0, -0.0, math.nan, math.inf, r.random(), float(r.randrange(900))]),
    "str few": lambda r: r.choice([None, "", "a", "abcdabcd", "abcdabcdabcdabcdabcd"]),
    "str many": lambda r: r.choice([None, f"id{r.randrange(10**6)}", "x" * r.randrange(40)]),
}


@pytest.mark.parametrize(
    "kinds",
    [["i64 few"], ["i64 range"], ["i64 wide"], ["f64"], ["str few"], ["str many"], ["str few", "i64 range"],
     ["str many", "f64", "i64 range"], ["i64 wide", "str many", "i64 wide", "f64", "i64 wide"]],
)
def test_large_groupings_match_plain_python(kinds):
    import random

    r = random.Random(" ".join(kinds))
    height = 80_000 if kinds in (["str many"], ["i64 wide"]) else 6000  # ids past 16 bits
    dtypes = [k.split()[0] for k in kinds]
    cols = [[KEY_CELLS[k](r) for _ in range(height)] for k in kinds]
    names = [f"c{i}" for i in range(len(kinds))]
    f = gapped(o=("i64", [r.randrange(height) for _ in range(height)]),
               v=("i64", [r.randrange(-9, 9) for _ in range(height)]), **dict(zip(names, zip(dtypes, cols))))
    for view in (f, f.sort("o", False).tail(height - 7)):
        g = view.group(names)
        groups = reference_groups(view, names)
        counted = view.group(names).count()
        firsts = [rows[0] for rows in groups]
        for k in names:
            src = cells(view, k)
            assert same(cells(counted, k), [src[i] for i in firsts])
        assert counted.ints("count") == [len(rows) for rows in groups]
        v = cells(view, "v")
        assert g.sum("v").ints("v") == [sum(v[i] for i in rows) for rows in groups]
