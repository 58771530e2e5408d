"""Frame.to_csv's str is formatted in place: large results must be ordinary,
exact strs (equal, hashable, cut to their length), ASCII or not."""

import sys

import pytest

from gapped import frame


def expected_text(ids, prices, names):
    lines = ["id,price,name"]
    lines += [f"{i},{p!r},{n}" for i, p, n in zip(ids, prices, names)]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("rows", [1, 1000, 300_000])
@pytest.mark.parametrize("name", ["city", "caf\u00e9", "\u6771\u4eac", "\U0001f600"])
def test_large_results_equal_the_plain_text(rows, name):
    ids = list(range(rows))
    prices = [i / 7 for i in range(rows)]
    # The non-ASCII name sits in the last row only, after the area grew.
    names = ["n" * (i % 23 + 1) for i in range(rows - 1)] + [name]
    text = frame(id=ids, price=prices, name=names).to_csv()
    want = expected_text(ids, prices, names)
    assert text == want
    assert hash(text) == hash(want)
    assert text.isascii() == want.isascii()
    # An ASCII str is cut to its length: no room left over from the growth.
    if want.isascii():
        assert sys.getsizeof(text) == sys.getsizeof(want)


def test_results_are_independent_strs():
    f = frame(a=[1, 2, 3], s=["x", "y", "z"])
    first = f.to_csv()
    second = f.to_csv()
    assert first == second
    assert first is not second
    assert {first: 1}[second] == 1
    assert (first + second).count("\n") == 8
