"""Arrow export and import through the PyCapsule interface, and pickling."""

import gc
import math
import multiprocessing
import pickle
import random
import struct
import threading

import pytest

from kelo_frame import Frame, read_csv

pa = pytest.importorskip("pyarrow")

NAMES = ["i", "f", "s", "naïve name", "", "with space, comma \"quote\""]


def quote(text):
    return '"' + text.replace('"', '""') + '"'


def sample(n=300):
    """Every dtype with missing cells (read from CSV, the one way to make them), NaN, -0.0, i64
    extremes and odd texts and names."""
    ints = [None if k % 7 == 3 else (k * 0x9E3779B97F4A7C15) % 2**64 - 2**63 for k in range(n)]
    ints[:2] = [-(2**63), 2**63 - 1]
    floats = [None if k % 5 == 1 else k / 3 - 40 for k in range(n)]
    floats[:2] = [-0.0, 5e-324]
    texts = [None if k % 11 == 2 else ("", "é", "日本", "a\x00b", "x" * 40)[k % 5] + str(k) for k in range(n)]
    texts[0] = ""
    last = ["z"] * (n - 1) + [None]  # the one missing cell is the last: the column's words reach it
    rows = [",".join(quote(x) for x in (NAMES[0], NAMES[1], NAMES[2], NAMES[5]))]
    for cells_ in zip(ints, floats, texts, last):
        rows.append(",".join("" if v is None else quote(v) if isinstance(v, str) else repr(v) for v in cells_))
    f = read_csv("\n".join(rows) + "\n")
    assert f.dtypes() == ["i64", "f64", "str", "str"]
    f.add_ints(NAMES[3], list(range(n)))  # no missing cell: no bitmap
    f.add_floats(NAMES[4], [math.nan, -0.0, math.inf, -math.inf] * (n // 4))
    return f.select(NAMES)


def cells(f):
    """Every cell, floats by their bits, so NaN and -0.0 compare exactly."""
    read = {"i64": f.ints, "f64": f.floats, "str": f.strings}
    out = {}
    for name, dtype in zip(f.names(), f.dtypes()):
        col = read[dtype](name)
        if dtype == "f64":
            col = [None if v is None else struct.pack("<d", v) for v in col]
        out[name] = (dtype, col)
    return out, f.height()


def views(f):
    return {
        "storage": f,
        "sorted": f.sort("f", True),
        "filtered": f.where_gt(NAMES[3], 100),
        "head": f.head(17),
        "selected": f.select([NAMES[2], NAMES[0]]),
        "no columns": f.select([]),
        "no rows": f.where_lt(NAMES[3], -1),
    }


def polars_frame(f):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(f)


def duckdb_relation(f):
    duckdb = pytest.importorskip("duckdb")
    if f.width() == 0:
        pytest.skip("DuckDB tables have at least one column")
    return duckdb.sql("select * from f")


def pandas_round(f):
    pytest.importorskip("pandas")
    import pandas as pd

    if f.width() == 0:
        pytest.skip("a pandas frame without columns loses its height on the way back to Arrow")
    return pa.Table.from_pandas(pa.table(f).to_pandas(types_mapper=pd.ArrowDtype), preserve_index=False)


PEERS = {
    "pyarrow": pa.table,
    "record batch": lambda f: pa.record_batch(pa.table(f).to_batches()[0]) if f.height() else pa.table(f),
    "polars": polars_frame,
    "duckdb": duckdb_relation,
    "pandas": pandas_round,
    "frame": lambda f: f,
}


VIEWS = ["storage", "sorted", "filtered", "head", "selected", "no columns", "no rows"]


@pytest.mark.parametrize("view", VIEWS)
@pytest.mark.parametrize("peer", list(PEERS))
def test_round_trip_through_peers(peer, view):
    f = views(sample())[view]
    back = Frame.from_arrow(PEERS[peer](f))
    if peer != "duckdb":  # DuckDB names an unnamed column itself
        assert back.names() == f.names()
    (got, height), (want, want_height) = cells(back), cells(f)
    assert (list(got.values()), height) == (list(want.values()), want_height)


def test_export_types_and_values():
    f = sample()
    t = pa.table(f)
    assert [str(x) for x in t.schema.types] == ["int64", "double", "large_string", "int64", "double", "large_string"]
    assert t.schema.names == NAMES  # the values are the round trips'
    t.validate(full=True)


def test_zero_copy_and_lifetime():
    f = sample(1000)
    t = pa.table(f)
    addr = t.column(NAMES[3]).chunk(0).buffers()[1].address
    assert pa.table(f).column(NAMES[3]).chunk(0).buffers()[1].address == addr  # the column's own buffer, twice
    del f
    gc.collect()
    assert t.column(NAMES[3]).to_pylist() == list(range(1000))  # still valid without the frame


def test_requested_schema():
    f = sample()
    reader = pa.RecordBatchReader.from_stream(f, schema=pa.schema([(n, t) for n, t in zip(
        NAMES, [pa.int64(), pa.float64(), pa.string(), pa.int64(), pa.float64(), pa.string()])]))
    t = reader.read_all()
    assert t.schema.field(NAMES[2]).type == pa.string()
    assert t.column(NAMES[2]).to_pylist() == f.strings(NAMES[2])
    bad = pa.schema([(n, pa.float64()) for n in NAMES])
    with pytest.raises(ValueError, match=r'column "i" \(i64\) cannot be exported exactly as Arrow float64'):
        f.__arrow_c_stream__(bad.__arrow_c_schema__())
    with pytest.raises(TypeError, match="requested_schema"):
        f.__arrow_c_stream__(42)


def col_table(arr, name="c"):
    return pa.table({name: arr})


def texts(offsets, data, valid=None):
    bitmap = None if valid is None else pa.py_buffer(bytes([sum(b << k for k, b in enumerate(valid))]))
    return pa.Array.from_buffers(pa.string(), len(offsets) - 1,
                                 [bitmap, pa.py_buffer(struct.pack(f"<{len(offsets)}i", *offsets)), pa.py_buffer(data)])


@pytest.mark.parametrize(
    "arr, dtype, expected",
    [
        (pa.array([-128, None, 127], pa.int8()), "i64", [-128, None, 127]),
        (pa.array([-(2**15), 2**15 - 1], pa.int16()), "i64", [-(2**15), 2**15 - 1]),
        (pa.array([-(2**31), None], pa.int32()), "i64", [-(2**31), None]),
        (pa.array([255, 0], pa.uint8()), "i64", [255, 0]),
        (pa.array([2**32 - 1], pa.uint32()), "i64", [2**32 - 1]),
        (pa.array([2**63 - 1, None], pa.uint64()), "i64", [2**63 - 1, None]),
        (pa.array([0.5, None, -2.0], pa.float16()), "f64", [0.5, None, -2.0]),
        (pa.array([0.1, None], pa.float32()), "f64", [struct.unpack("f", struct.pack("f", 0.1))[0], None]),
        (pa.array(["short", None, "a text longer than twelve bytes"], pa.string_view()), "str",
         ["short", None, "a text longer than twelve bytes"]),
        (pa.array(["x", "y", None, "x"]).dictionary_encode(), "str", ["x", "y", None, "x"]),
        (pa.chunked_array([[1, 2], [], [None, 4]], pa.int64()), "i64", [1, 2, None, 4]),
        (pa.array([0, None, -719162, 2932896], pa.date32()), "str", ["1970-01-01", None, "0001-01-01", "9999-12-31"]),
        (pa.array([-1, 86_400_000 * 59], pa.date64()), "str", ["1969-12-31", "1970-03-01"]),
    ],
    ids=lambda x: str(x.type) if hasattr(x, "type") else None,
)
def test_import_types(arr, dtype, expected):
    # uint16 and large_string are the slices-and-chunks test's.
    f = Frame.from_arrow(col_table(arr))
    assert f.dtypes() == [dtype]
    assert {"i64": f.ints, "f64": f.floats, "str": f.strings}[dtype]("c") == expected


@pytest.mark.parametrize(
    "data, message",
    [
        (col_table(pa.array([1, 2**63], pa.uint64())), r'column "c", row 1: the uint64 value 9223372036854775808 does'),
        (pa.table({"ok": [1, 2], "c": texts([0, 1, 3], b"a\xc3(")}), r'column "c", row 1: the text is not valid UTF-8'),
        (col_table(texts([0, 1, 2], "é".encode())), r'column "c", row 0: the text is not valid UTF-8'),  # split
        (pa.table({"ok": [1], "t": pa.array([1], pa.timestamp("us", "UTC"))}),
         r'column "t" has Arrow type timestamp\[us, tz=UTC\], which a frame cannot hold'),
        (col_table(pa.array([True])), r'column "c" has Arrow type bool'),
        (pa.table([pa.array([1]), pa.array([2])], names=["d", "d"]), r'the frame has a column "d" already'),
        (col_table(pa.array([3_000_000], pa.int32()).view(pa.date32())), r"outside the years 1 to 9999"),
    ],
)
def test_import_errors(data, message):
    with pytest.raises(ValueError, match=message):
        Frame.from_arrow(data)


def test_import_matches_pyarrow_over_slices_and_chunks():
    # Chunks sliced at odd offsets put bitmap and batch boundaries anywhere in the column's words.
    rng = random.Random(13)
    words = ["", "a", "é", "日本", "x" * 30]
    columns = {
        "i": [rng.choice([None, rng.randrange(-(2**63), 2**63)]) for _ in range(3000)],
        "u": [rng.choice([None, rng.randrange(2**16)]) for _ in range(3000)],
        "f": [rng.choice([None, rng.uniform(-1, 1)]) for _ in range(3000)],
        "s": [rng.choice([None, rng.choice(words)]) for _ in range(3000)],
    }
    types = {"i": pa.int64(), "u": pa.uint16(), "f": pa.float64(), "s": pa.string(), "l": pa.large_string()}
    columns["l"] = columns["s"]
    cuts = sorted(rng.sample(range(1, 2900), 12)) + [2900]
    t = pa.table({k: pa.chunked_array([pa.array(v, types[k]).slice(a, b - a) for a, b in zip([0] + cuts, cuts)])
                  for k, v in columns.items()})
    extra = {k: pa.array([None, 1], types[k]) for k in "iuf"}  # the null text slot below holds bytes
    extra |= {"s": texts([0, 2, 5], b"abxyz", [0, 1]), "l": pa.array([None, "xyz"], pa.large_string())}
    t = pa.concat_tables([t, pa.table(extra)])
    f = Frame.from_arrow(t)
    read = {"i64": f.ints, "f64": f.floats, "str": f.strings}
    assert {k: read[d](k) for k, d in zip(f.names(), f.dtypes())} == t.to_pydict()


class FirstNotASchema:
    def __arrow_c_array__(self, requested_schema=None):
        return object(), pa.record_batch({"a": [1, 2]}).__arrow_c_array__()[1]


@pytest.mark.parametrize("obj, message", [
    ([1, 2], r"__arrow_c_stream__ or __arrow_c_array__, not 'list'"),
    (FirstNotASchema(), r"__arrow_c_array__\(\) did not return a PyCapsule named 'arrow_schema'"),
])
def test_import_refuses_other_objects(obj, message):
    with pytest.raises(TypeError, match=message):
        Frame.from_arrow(obj)


def test_release_on_foreign_thread_while_owner_derives_views():
    f = sample(2000)
    handed = []
    done = threading.Event()

    def consumer():
        while not done.is_set() or handed:
            if handed:
                handed.pop().clear()  # drops the exported arrays here, on this thread
        gc.collect()

    t = threading.Thread(target=consumer)
    t.start()
    for k in range(200):
        handed.append([pa.table(f.head(50 + k)), pa.table(f), f.__arrow_c_stream__()])
        v = f.sort(NAMES[3], k % 2 == 0).where_gt(NAMES[3], k)
        assert v.height() == 2000 - k - 1
    done.set()
    t.join()
    assert cells(Frame.from_arrow(f)) == cells(f)


@pytest.mark.parametrize("protocol", [*range(2, pickle.HIGHEST_PROTOCOL + 1), "out of band"])
@pytest.mark.parametrize("view", VIEWS)
def test_pickle_round_trip(protocol, view):
    f = views(sample())[view]
    if protocol == "out of band":
        buffers = []
        data = pickle.dumps(f, 5, buffer_callback=buffers.append)
        assert len(buffers) == 3 * f.width() and len(data) < 1000
        back = pickle.loads(data, buffers=buffers)
    else:
        back = pickle.loads(pickle.dumps(f, protocol))
    assert back.names() == f.names() and cells(back) == cells(f)


def test_grouped_refuses_pickling():
    with pytest.raises(TypeError, match="a Grouped cannot be pickled"):
        pickle.dumps(sample().group([NAMES[2]]))


def _set(cols, c, k, value):
    cols[c][k] = value


# Each payload is wrong in one way: a version, height, dtype or name out of place, buffers too
# short or too long, offsets out of order or past the bytes, text that is not UTF-8, a missing
# cell with text under it, or the wrong kinds of objects.
CORRUPT = {
    "version": lambda v, h, cols: (2, h),
    "height": lambda v, h, cols: (v, h + 1),
    "negative height": lambda v, h, cols: (v, -1),
    "dtype": lambda v, h, cols: _set(cols, 0, 1, "x"),
    "short values": lambda v, h, cols: _set(cols, 0, 2, cols[0][2][:-1]),
    "validity too long": lambda v, h, cols: _set(cols, 0, 4, cols[0][4] + b"\0" * 16),
    "offsets out of order": lambda v, h, cols: _set(
        cols, 2, 2, cols[2][2][:8] + struct.pack("<Q", 10**6) + cols[2][2][16:]),
    "offsets beyond bytes": lambda v, h, cols: _set(cols, 2, 3, cols[2][3][:-1]),
    # row 1 is "é1": its first byte alone, the rest starting row 2
    "split character": lambda v, h, cols: _set(cols, 2, 2, cols[2][2][:16] + struct.pack("<Q", 1) + cols[2][2][24:]),
    "invalid utf8": lambda v, h, cols: _set(cols, 2, 3, cols[2][3].replace("é".encode(), b"\xc3(")),
    "missing cell with text": lambda v, h, cols: _set(cols, 2, 4, b"\0" * len(cols[2][4])),
    "duplicate name": lambda v, h, cols: _set(cols, 1, 0, cols[0][0]),
    "not a tuple": lambda v, h, cols: cols.__setitem__(0, "abc"),
    "buffer not bytes": lambda v, h, cols: _set(cols, 0, 2, 12),
}


@pytest.mark.parametrize("kind", CORRUPT)
def test_hostile_pickles(kind):
    rebuild, (version, height, columns) = sample(100).__reduce_ex__(4)  # bytes buffers, which can be cut
    cols = [list(c) for c in columns]
    version, height = CORRUPT[kind](version, height, cols) or (version, height)
    args = (version, height, tuple(tuple(c) if isinstance(c, list) else c for c in cols))

    class Tampered:  # the pickle opcodes a tampered payload would carry
        def __reduce__(self):
            return rebuild, args

    with pytest.raises((ValueError, TypeError)):
        pickle.loads(pickle.dumps(Tampered()))


def _round_trip(f):
    g = pickle.loads(pickle.dumps(f))
    g.add_ints("w", list(range(g.height())))  # owned by the worker's thread: it may change it
    return g


def test_multiprocessing_pool_round_trip():
    frames = [views(sample())[v] for v in ("storage", "sorted", "head")]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        back = pool.map(_round_trip, frames)
    for f, g in zip(frames, back):
        assert g.names() == f.names() + ["w"]
        assert cells(g.select(f.names())) == cells(f)
