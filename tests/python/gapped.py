"""Test frames: with missing cells, built through CSV text (the only way missing cells enter), or
of present cells only, built through the add_* methods.

Every frame gets a first column "p" holding each row's position, so a test can see which rows a
view kept and in what order.
"""

import math
import struct

from kelo_frame import Frame, read_csv


def _cell(dtype, value):
    if value is None:
        return ""
    if dtype == "i64":
        return str(value)
    if dtype == "f64":
        if math.isnan(value):
            return "-nan" if math.copysign(1.0, value) < 0 else "+nan"
        if math.isinf(value):
            return "+inf" if value > 0 else "-inf"
        return repr(float(value))
    return '"' + value.replace('"', '""') + '"'


def gapped(**columns):
    """gapped(x=("i64", [1, None, 3])): a frame with columns p, x, ...; None is a missing cell."""
    heights = {len(cells) for _, cells in columns.values()}
    assert len(heights) == 1
    (height,) = heights
    lines = [",".join(["p", *columns])]
    for row in range(height):
        lines.append(",".join([str(row), *(_cell(d, cells[row]) for d, cells in columns.values())]))
    frame = read_csv("\n".join(lines) + "\n")
    for name, (dtype, cells) in columns.items():
        if any(c is not None for c in cells):
            assert frame.dtypes()[frame.names().index(name)] == dtype, name
    return frame


def cells(frame, name):
    """A column's cells as Python values, whatever its dtype."""
    dtype = frame.dtypes()[frame.names().index(name)]
    return {"i64": frame.ints, "f64": frame.floats, "str": frame.strings}[dtype](name)


def same(a, b):
    """Equality of cell lists that treats NaN as equal to NaN and tells -0.0 from 0.0."""

    def key(x):
        return (float, "nan" if x != x else struct.pack("<d", x)) if isinstance(x, float) else (type(x), x)

    return [key(x) for x in a] == [key(y) for y in b]


def frame(**cols):
    """frame(a=[1, 2], x=[1.5, 2.5], s=["u", "v"]): columns of present cells, typed by their first value."""
    f = Frame()
    for name, values in cols.items():
        add = {int: f.add_ints, float: f.add_floats, str: f.add_strings}[type(values[0])]
        add(name, values)
    return f
