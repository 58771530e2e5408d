"""Grouping and aggregation through the public API: Frame.group and Grouped."""

import gc
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kelo_frame as kf
from gapped import cells, frame, same

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def table(f):
    return {name: cells(f, name) for name in f.names()}


# --- describing and counting groups ---


def test_groups_in_first_appearance_order_with_missing_as_a_key():
    f = kf.read_csv("k,v\nb,1\na,2\nb,3\n,4\na,5\n,6\n")
    g = f.group(["k"])
    assert g.groups() == 3
    assert g.describe() == str(g) == repr(g) == "Grouped(3 groups by k)"
    assert table(g.count()) == {"k": ["b", "a", None], "count": [2, 2, 2]}
    assert table(g.sum("v")) == {"k": ["b", "a", None], "v": [4, 7, 10]}


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
    for method, name, dtypes in [
        ("sum", "i", ["str", "i64"]),
        ("sum", "x", ["str", "f64"]),
        ("mean", "i", ["str", "f64"]),
        ("min", "s", ["str", "str"]),
        ("max", "x", ["str", "f64"]),
    ]:
        r = getattr(g, method)(name)
        assert (r.height(), r.names(), r.dtypes()) == (0, ["k", name], dtypes)
    assert g.count().names() == ["k", "count"]


def test_no_keys_is_one_group_of_every_row():
    g = frame(v=[1, 2, 3, 4]).group([])
    assert table(g.count()) == {"count": [4]}
    assert table(g.sum("v")) == {"v": [10]}


def test_float_keys_join_signed_zeros_and_equal_nans():
    f = kf.read_csv("k,v\n-0.0,1\n+nan,2\n0.0,3\n-nan,4\n+nan,5\n,6\n")
    r = f.group(["k"]).sum("v")
    keys = r.floats("k")
    assert math.copysign(1, keys[0]) == -1  # the first row of the group was -0.0
    assert math.isnan(keys[1]) and math.isnan(keys[2]) and keys[3] is None
    assert r.ints("v") == [4, 7, 4, 6]


def test_grouping_a_view_follows_its_order():
    f = frame(k=[1, 2, 1, 3, 2], v=[1, 10, 100, 1000, 10000])
    g = f.tail(4).head(3).group(["k"])
    assert table(g.sum("v")) == {"k": [2, 1, 3], "v": [10, 100, 1000]}


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


@pytest.mark.parametrize(
    "keys, groups",
    [
        (
            [5, 2**40, -(2**40), 5, 2**40 + 2**32, 2**40, I64_MIN, I64_MAX, I64_MIN],
            [5, 2**40, -(2**40), 2**40 + 2**32, I64_MIN, I64_MAX],
        ),
        ([0.0, -0.0, math.inf, 1.5, math.inf, 0.0, 1.5, 2.0**60, 2.0**60], [0.0, math.inf, 1.5, 2.0**60]),
        # Short texts whose leading and trailing words agree, told apart by length.
        (
            ["abcdabcd", "abcdabcdabcd", "", "abcdabcd", "a", "", "abcdabcdabcdabcd", "aa", "a" * 17, "a" * 17],
            ["abcdabcd", "abcdabcdabcd", "", "a", "abcdabcdabcdabcd", "aa", "a" * 17],
        ),
    ],
)
def test_number_keys_then_text_extremes_after_sums_on_one_grouping(keys, groups):
    f = frame(k=keys, v=list(range(len(keys))), s=[f"t{i % 4}" for i in range(len(keys))])
    g = f.group(["k"])
    sums = g.sum("v")
    assert cells(sums, "k") == groups
    expected = [sum(i for i, k in enumerate(keys) if k == key) for key in groups]
    assert sums.ints("v") == expected
    texts = [[f"t{i % 4}" for i, k in enumerate(keys) if k == key] for key in groups]
    assert g.min("s").strings("s") == [min(t) for t in texts]
    assert g.max("s").strings("s") == [max(t) for t in texts]
    assert g.count().ints("count") == [len(t) for t in texts]
    assert g.sum("v").ints("v") == expected


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
        (["n", "k"], "min", "n", 'column "n" is a key of this grouping'),
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


def cell_text(dtype, value):
    if value is None:
        return ""
    if dtype == "str":
        return '"' + value.replace('"', '""') + '"'
    if dtype == "f64":
        if math.isnan(value):
            return "+nan"
        return "+inf" if value == math.inf else repr(value)
    return str(value)


@st.composite
def tables(draw):
    width = draw(st.integers(1, 4))
    height = draw(st.integers(0, 25))
    dtypes = [draw(st.sampled_from(["i64", "f64", "str"])) for _ in range(width)]
    values = {"i64": INTS, "f64": FLOATS, "str": TEXTS}
    cols = []
    for d in dtypes:
        cell = st.one_of(st.none(), values[d]) if draw(st.booleans()) else values[d]
        cols.append([draw(cell) for _ in range(height)])
    names = [f"c{i}" for i in range(width)]
    text = ",".join(names) + "\n"
    text += "".join(",".join(cell_text(d, c[r]) for d, c in zip(dtypes, cols)) + "\n" for r in range(height))
    f = kf.read_csv(text)
    keys = draw(st.lists(st.sampled_from(names), unique=True, max_size=width))
    return f, keys


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


def same_float(a, b):
    """Equal floats with the same sign (so 0.0 is not -0.0), both NaN, or both missing."""
    if a is None or b is None:
        return a is b
    return (a == b and math.copysign(1, a) == math.copysign(1, b)) or (a != a and b != b)


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
        return sum(present)
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
    got = cells(result, name)
    assert len(got) == len(want)
    if result.dtypes()[-1] == "f64":
        assert all(same_float(a, b) for a, b in zip(got, want)), (method, got, want)
    else:
        assert got == want, method


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
        got, src = cells(counted, k), cells(f, k)
        assert all(same_float(a, src[r]) if isinstance(a, float) else a == src[r] for a, r in zip(got, firsts))
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
    height = 80_000 if kinds == ["str many"] else 6000
    dtypes = [k.split()[0] for k in kinds]
    cols = [[KEY_CELLS[k](r) for _ in range(height)] for k in kinds]
    names = [f"c{i}" for i in range(len(kinds))]
    text = ",".join(["o", "v", *names]) + "\n" + "".join(
        f"{r.randrange(height)},{r.randrange(-9, 9)}," + ",".join(cell_text(d, c[i]) for d, c in zip(dtypes, cols))
        + "\n" for i in range(height))
    f = kf.read_csv(text)
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
