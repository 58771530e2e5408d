"""Inputs long enough that filters probe a set of values and that name lookups go through a set of
names, against plain Python: the same rows in the same order and the same messages as short ones.
(Long lists of texts for where_in are test_filter.cpp's.)"""

import math
import random

import pytest

from gapped import gapped
from kelo_frame import read_csv

TWO_53 = 2**53
ROWS = 3000
rng = random.Random(17)

SPECIAL = [math.nan, -0.0, 0.0, TWO_53 - 1, TWO_53, TWO_53 + 1, -TWO_53 - 1, 2.0**63, -(2.0**63), 0.5, math.inf]
INT_CELLS = [None, 0, TWO_53, TWO_53 + 1, TWO_53 - 1, -TWO_53 - 1, 2**63 - 1, -(2**63)]
FLOAT_CELLS = [None, math.nan, -0.0, 0.0, float(TWO_53), 0.5, math.inf]


def _number_values(count, distinct, special):
    """count values drawn from about `distinct` ints and halves, with the special values mixed in
    (their span makes a set of integers a hash table rather than a bitmap)."""
    pool = [rng.randrange(-distinct, distinct) / (2 if i % 3 == 0 else 1) for i in range(distinct)]
    pool = [int(v) if v == int(v) and i % 2 else v for i, v in enumerate(pool)]
    values = [rng.choice(pool) for _ in range(count)]
    for v in SPECIAL if special and count > len(SPECIAL) else [-0.0]:
        values[rng.randrange(count)] = v
    return values


def _numbers_frame():
    n = [rng.choice(INT_CELLS) if rng.random() < 0.2 else rng.randrange(-300, 300) for _ in range(ROWS)]
    x = [rng.choice(FLOAT_CELLS) if rng.random() < 0.2 else rng.randrange(-600, 600) / 2 for _ in range(ROWS)]
    return gapped(n=("i64", n), x=("f64", x)), {"n": n, "x": x}


NUMBERS, NUMBER_CELLS = _numbers_frame()


@pytest.mark.parametrize(
    "count, distinct, special",
    [(3, 3, True), (31, 31, True), (40, 40, True), (40, 40, False), (100_000, 5, True), (100_000, 5, False),
     (100_000, 20_000, True), (100_000, 400, False)],
)
@pytest.mark.parametrize("column", ["n", "x"])
@pytest.mark.parametrize("view", ["whole", "sorted"])
def test_among_matches_python(count, distinct, special, column, view):
    values = _number_values(count, distinct, special)
    wanted = {float(v) for v in values}  # each value is a float before it is compared
    frame = NUMBERS.sort(column, True) if view == "sorted" else NUMBERS
    cells = NUMBER_CELLS[column]
    want = [p for p in frame.ints("p") if cells[p] is not None and cells[p] == cells[p] and cells[p] in wanted]
    assert frame.where_among(column, values).ints("p") == want


def _text(length):
    return "".join(rng.choice("ab\0é\"") for _ in range(length))


# Texts of every length around the 8- and 16-byte words, and long ones that share their first and
# last 8 bytes.
TEXT_POOL = [_text(rng.randrange(0, 20)) for _ in range(400)] + [f"{'x' * 8}{i:06d}{'y' * 8}" for i in range(200)]
TEXT_CELLS = [None if rng.random() < 0.1 else rng.choice(TEXT_POOL) for _ in range(ROWS)]
TEXTS = gapped(s=("str", TEXT_CELLS))


@pytest.mark.parametrize("count, distinct", [(3, 3), (19, 19), (20, 20), (100_000, 10), (100_000, 600)])
@pytest.mark.parametrize("view", ["whole", "sorted"])
def test_in_matches_python(count, distinct, view):
    choices = rng.sample(TEXT_POOL, min(distinct, len(TEXT_POOL))) + ["absent", "x" * 30]
    values = [rng.choice(choices) for _ in range(count)]
    frame = TEXTS.sort("s", False) if view == "sorted" else TEXTS
    wanted = set(values)
    want = [p for p in frame.ints("p") if TEXT_CELLS[p] is not None and TEXT_CELLS[p] in wanted]
    assert frame.where_in("s", values).ints("p") == want


WIDE = 20_000
NAMES = [f"c{i}" for i in range(WIDE)]
PLACE = {n: i for i, n in enumerate(NAMES)}


def _wide_frame():
    rows = [[rng.randrange(3) for _ in range(WIDE)] for _ in range(8)]
    text = ",".join(NAMES) + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows)
    return read_csv(text), rows


WIDE_FRAME, WIDE_ROWS = _wide_frame()


@pytest.mark.parametrize("width, repeat", [(100_000, None), (100_000, 99_990), (40, 35)])
@pytest.mark.parametrize("body", ["", "\n" + "1," * 99_999 + "1\n"])
def test_wide_header(width, repeat, body):
    names = [f"n{i}" for i in range(width)]
    if repeat is not None:
        names[repeat] = names[repeat - 7]
    text = ",".join(names) + (body if width == 100_000 else "\n")
    if repeat is None:
        assert read_csv(text).names() == names
    else:
        with pytest.raises(ValueError) as e:
            read_csv(text)
        assert str(e.value) == f'the frame has a column "{names[repeat]}" already'


def _error(call):
    with pytest.raises(ValueError) as e:
        call()
    return str(e.value)


@pytest.mark.parametrize("op", ["select", "group"])
def test_many_names_fail_on_the_first_offender(op):
    call = getattr(WIDE_FRAME, op)
    chosen = rng.sample(NAMES, 5000)
    assert _error(lambda: call([*chosen, chosen[10]])) == f'column "{chosen[10]}" selected twice'
    listed = ", ".join(f'"{n}"' for n in NAMES)
    assert _error(lambda: call([*chosen, "zz", chosen[0]])) == f'no column "zz" (the frame has {listed})'
    assert _error(lambda: call([*chosen[:20], chosen[3], "zz"])) == f'column "{chosen[3]}" selected twice'


def test_select_and_group_by_many_names():
    chosen = rng.sample(NAMES, 10_000)
    picked = WIDE_FRAME.select(chosen)
    assert picked.names() == chosen
    assert [picked.ints(n) for n in chosen[:50]] == [[r[PLACE[n]] for r in WIDE_ROWS] for n in chosen[:50]]
    counts = {}  # in first-appearance order
    for r in WIDE_ROWS:
        key = tuple(r[PLACE[n]] for n in chosen)
        counts[key] = counts.get(key, 0) + 1
    counted = WIDE_FRAME.group(chosen).count()
    assert counted.names() == [*chosen, "count"]
    assert counted.ints("count") == list(counts.values())
    assert [counted.ints(n) for n in chosen[:50]] == [[k[i] for k in counts] for i in range(50)]
