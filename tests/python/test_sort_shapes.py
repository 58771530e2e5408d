"""Sorting numbers whose shape takes its own path: already in order, in reverse order with ties,
all equal, few distinct values, and inputs large enough to be split into buckets."""

import math
import random

import pytest

from gapped import gapped, same


def python_sort(column, order, descending):
    """The positions of order sorted stably by column: values, then NaN, then missing cells."""

    def kind(p):
        c = column[p]
        return 2 if c is None else 1 if isinstance(c, float) and math.isnan(c) else 0

    rest = sorted((p for p in order if kind(p) == 0), key=lambda p: column[p], reverse=descending)
    return rest + [p for p in order if kind(p) == 1] + [p for p in order if kind(p) == 2]


def shaped(shape, n, rng):
    if shape == "ascending":
        return [i // 3 for i in range(n)]
    if shape == "descending with ties":
        return [-(i // 4) for i in range(n)]
    if shape == "all equal":
        return [5] * n
    if shape == "few values":
        return [rng.randrange(7) for _ in range(n)]
    if shape == "wide ints":
        return [rng.randrange(-(2**63), 2**63) for _ in range(n)]
    if shape == "floats":
        return [rng.uniform(-1e4, 1e4) for _ in range(n)]
    if shape == "float specials":
        specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-320, -1e300]
        return [rng.choice(specials) if rng.random() < 0.5 else rng.uniform(-1, 1) for _ in range(n)]
    raise AssertionError(shape)


@pytest.mark.parametrize("n", [30, 1000, 140_000])
@pytest.mark.parametrize(
    "shape", ["ascending", "descending with ties", "all equal", "few values", "wide ints", "floats", "float specials"]
)
@pytest.mark.parametrize("missing", [0.0, 0.3])
def test_shapes_match_python(shape, n, missing):
    rng = random.Random(f"{shape}/{n}/{missing}")
    column = [None if rng.random() < missing else v for v in shaped(shape, n, rng)]
    if all(c is None for c in column):
        column[0] = 0
    dtype = "f64" if any(isinstance(c, float) for c in column) else "i64"
    if dtype == "f64":
        column = [None if c is None else float(c) for c in column]
    f = gapped(c=(dtype, column))
    order = list(range(n))
    for descending in (False, True):
        got = f.sort("c", descending)
        want = python_sort(column, order, descending)
        assert got.ints("p") == want
        assert same(getattr(got, "floats" if dtype == "f64" else "ints")("c"), [column[p] for p in want])
    # Through a row index: the rows in reverse, less the first.
    view = f.sort("p", True).tail(-1)
    for descending in (False, True):
        assert view.sort("c", descending).ints("p") == python_sort(column, order[::-1][1:], descending)


def test_sorted_frame_without_missing_cells_is_not_reindexed():
    f = gapped(c=("i64", [1, 2, 2, 3]))
    assert f.sort("c", False).ints("p") == [0, 1, 2, 3]
    assert f.sort("c", True).ints("p") == [3, 1, 2, 0]
