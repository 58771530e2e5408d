"""Frame.to_csv against Python's repr. The quoting of each kind of text cell is tabled in the C++
writer tests, and the round trip through read_csv is the write and round_trip fuzz targets'
check, which the C++ tests run."""

import math
import random
import struct
import sys

import pytest

from gapped import frame
from kelo_frame import Frame, read_csv


def test_first_name_that_begins_with_a_byte_order_mark_survives():
    f = frame(**{"\ufeffa": ["\ufeffv"], "\ufeffb": ["w"]})
    assert f.to_csv() == '"\ufeffa",\ufeffb\n\ufeffv,w\n'
    assert read_csv(f.to_csv()).names() == ["\ufeffa", "\ufeffb"]


def test_tables_without_rows_or_columns():
    f = frame(a=[1, 2], b=["x", "y"])
    assert f.head(0).to_csv() == "a,b\n"
    assert Frame().to_csv() == "\n"
    assert f.select([]).to_csv() == "\n\n\n"
    with pytest.raises(ValueError, match="^no header line$"):
        read_csv(f.select([]).to_csv())


def test_floats_equal_repr_on_random_bits():
    rng = random.Random(5)
    values = [struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0] for _ in range(200_000)]
    # Short decimals take another path inside the writer than long ones.
    values += [rng.randrange(10 ** rng.randrange(1, 18)) * 10.0 ** rng.randrange(-12, 20) for _ in range(200_000)]
    values += [math.nan, math.inf, -math.inf, -0.0, 1e16, 1e15, 1e-5, 0.0001, 5e-324]
    text = frame(x=values).to_csv()
    assert text == "x\n" + "".join(repr(v) + "\n" for v in values)


# The str is formatted in place: large results must be ordinary, exact strs (equal, hashable, cut to
# their length), ASCII or not.
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
