"""pyarrow on one thread (CPU and I/O pools of one, use_threads=False), or with
its default thread pools for reference. A str input is encoded to bytes first
(pyarrow reads bytes), and that encoding is part of the timed work."""

from __future__ import annotations

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv

from bench.gen_data import read_arrow
from bench.tasks import SORT_KEYS, AMONG, CITIES3, THRESHOLD, fmt_float, list_summary, READ_TASKS, read_input, G1_IDS, g1_base

_threads = True


def version() -> str:
    return pa.__version__


def setup(threads: int) -> None:
    global _threads
    if threads == 1:
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
        _threads = False


def load(task: str, paths: dict):
    if task in READ_TASKS:
        return read_input(task, paths)
    return read_arrow(paths["arrow"])


def head(t, n: int):
    return t.slice(0, n)


def _read(source):
    # Dates stay text, as in every other library here.
    return pacsv.read_csv(
        source,
        read_options=pacsv.ReadOptions(use_threads=_threads),
        convert_options=pacsv.ConvertOptions(column_types={"date": pa.string()}),
    )


def _to_csv(t):
    out = pa.BufferOutputStream()
    pacsv.write_csv(t, out)
    return out.getvalue()


def _agg(t, keys, aggs):
    return t.group_by(keys, use_threads=_threads).aggregate(aggs)


TASKS = {
    "read_str": lambda s, r: _read(pa.BufferReader(s.encode())),
    "read_str_g1": lambda s, r: _read(pa.BufferReader(s.encode())),
    "read_file": lambda p, r: _read(p),
    "to_csv": lambda t, r: _to_csv(t),
    "filter_num": lambda t, r: t.filter(pc.greater(t["price"], THRESHOLD)),
    "where_among": lambda t, r: t.filter(pc.is_in(t["qty"], value_set=pa.array(AMONG, pa.int64()))),
    "where_in": lambda t, r: t.filter(pc.is_in(t["city"], value_set=pa.array(CITIES3))),
    "sort_i64": lambda t, r: t.sort_by([("id", "ascending")]),
    "sort_f64": lambda t, r: t.sort_by([("score", "ascending")]),
    "sort_str": lambda t, r: t.sort_by([("city", "ascending")]),
    "date_year": lambda t, r: pc.year(pc.strptime(t["date"], format="%Y-%m-%d", unit="s")),
    "ints": lambda t, r: t["id"].to_pylist(),
    "floats": lambda t, r: t["score"].to_pylist(),
    "strings": lambda t, r: t["city"].to_pylist(),
    "g1_q1": lambda t, r: _agg(t, ["id1"], [("v1", "sum")]),
    "g1_q2": lambda t, r: _agg(t, ["id1", "id2"], [("v1", "sum")]),
    "g1_q3": lambda t, r: _agg(t, ["id3"], [("v1", "sum"), ("v3", "mean")]),
    "g1_q4": lambda t, r: _agg(t, ["id6"], [("v1", "sum")]),
    "g1_q5": lambda t, r: _agg(t, ["id1"], [([], "count_all")]),
    "g1_q6": lambda t, r: _agg(t, G1_IDS, [("v3", "sum"), ([], "count_all")]),
}
TASKS.update({f"g1m_q{q}": TASKS[f"g1_q{q}"] for q in range(1, 6)})

for _name, (_key, _) in SORT_KEYS.items():
    TASKS.setdefault(_name, lambda t, r, column=_key: t.sort_by([(column, "ascending")]))

NOTES = {"to_csv": "bytes, not str"}


def summary(task: str, res) -> list:
    task = g1_base(task)
    if task.startswith("read"):
        return [res.num_rows, res.num_columns]
    if task == "to_csv":
        return [res.to_pybytes().count(b"\n")]
    if task in ("filter_num", "where_among", "where_in"):
        return [res.num_rows]
    if task.startswith("sort"):
        col = SORT_KEYS[task][0]
        s = res[col]
        first, mid = s[0].as_py(), s[len(s) // 2].as_py()
        if SORT_KEYS[task][1] == "floats":
            first, mid = fmt_float(first), fmt_float(mid)
        return [res.num_rows, first, mid]
    if task == "date_year":
        return [pc.sum(res).as_py()]
    if task in ("ints", "floats", "strings"):
        return list_summary(task, res)
    if task == "g1_q3":
        return [res.num_rows, pc.sum(res["v1_sum"]).as_py(), fmt_float(pc.sum(res["v3_mean"]).as_py())]
    if task == "g1_q6":
        return [res.num_rows, fmt_float(pc.sum(res["v3_sum"]).as_py()), pc.sum(res["count_all"]).as_py()]
    if task == "g1_q5":
        return [res.num_rows, pc.sum(res["count_all"]).as_py()]
    return [res.num_rows, pc.sum(res["v1_sum"]).as_py()]
