"""Date parts through Python: the grammar, the order of failures, positions in messages, views."""

import pytest

from gapped import gapped


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


# Which texts are dates is the date fuzz target's check (its corpus holds the edge cases, and the
# C++ tests run it against the standard calendar); here, the messages and their order: the part
# first, then the source column, then the first bad date, then a taken name.
@pytest.mark.parametrize(
    "cells, args, message",
    [
        (["2024-01-01", "2023-02-29"], ("y", "d", "day"), 'column "d", row 1: "2023-02-29" is not a YYYY-MM-DD date'),
        (["2024-01-01", ""], ("y", "d", "day"), 'column "d", row 1: "" is not a YYYY-MM-DD date'),
        (["2024-0\0-05"], ("y", "d", "day"), 'column "d", row 0: "2024-0\\0-05" is not a YYYY-MM-DD date'),
        (["２０２４-01-05"], ("y", "d", "day"), 'column "d", row 0: "２０２４-01-05" is not a YYYY-MM-DD date'),
        (["2024-01-02"], ("y", "nowhere", "Year"), 'part "Year": give "year", "month" or "day"'),
        (["2024-01-02"], ("y", "nowhere", "years"), 'part "years": give "year", "month" or "day"'),
        (["2024-01-02"], ("y", "nowhere", ""), 'part "": give "year", "month" or "day"'),
        (["2024-01-02"], ("y", "nowhere", "day\0"), 'part "day\\0": give "year", "month" or "day"'),
        (["2024-01-02"], ("y", "q", "year"), 'no column "q" (the frame has "p", "d")'),
        (["2024-01-02"], ("y", "p", "year"), 'column "p" is i64, not str'),
        (["2023-02-29"], ("p", "d", "year"), 'column "d", row 0: "2023-02-29" is not a YYYY-MM-DD date'),
        (["2024-01-02"], ("d", "d", "year"), 'the frame has a column "d" already'),
    ],
)
def test_messages(cells, args, message):
    f = dates(*cells)
    with pytest.raises(ValueError) as info:
        f.add_date_part(*args)
    assert str(info.value) == message
    assert f.names() == ["p", "d"]


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
