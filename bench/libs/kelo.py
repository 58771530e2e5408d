"""kelo_frame's side of every task. Filters and sorts return views; the
`+list` variants also read one column of the result back as a list."""

from __future__ import annotations

import mmap
import os
import sys

from bench.tasks import SORT_KEYS, AMONG, CITIES3, THRESHOLD, VIEW_COLUMN, fmt_float, list_summary, G1_IDS, g1_base

_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(_root, os.environ.get("KELO_BUILD_DIR", "build")))
import kelo_frame as kf  # noqa: E402


def version() -> str:
    return getattr(kf, "__version__", "") or "this checkout"


def setup(threads: int) -> None:
    """kelo_frame runs on the calling thread only."""


def _text(path: str) -> str:
    # newline="": the reader takes CR LF itself, and translating line ends
    # would both cost a pass over the text and change quoted CRs.
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def _mapped_text(path: str) -> str:
    # Decoding the mapped file skips the copy into a bytes object (the way
    # docs/API.md suggests reading a file).
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        return str(m, "utf-8")


def load(task: str, paths: dict):
    if task in ("read_str", "read_str_g1"):
        return _text(paths["csv"])
    if task == "read_file":
        return paths["csv"]
    return kf.read_csv(_text(paths["csv"]))


def head(f, n: int):
    return f.head(n)


def _group_q3(f):
    g = f.group(["id3"])
    return g.sum("v1"), g.mean("v3")


def _group_q6(f):
    g = f.group(G1_IDS)
    return g.sum("v3"), g.count()


TASKS = {
    "read_str": lambda s, r: kf.read_csv(s),
    "read_str_g1": lambda s, r: kf.read_csv(s),
    "read_file": lambda p, r: kf.read_csv(_mapped_text(p)),
    "to_csv": lambda f, r: f.to_csv(),
    "filter_num": lambda f, r: f.where_gt("price", THRESHOLD),
    "where_among": lambda f, r: f.where_among("qty", AMONG),
    "where_in": lambda f, r: f.where_in("city", CITIES3),
    "sort_i64": lambda f, r: f.sort("id", False),
    "sort_f64": lambda f, r: f.sort("score", False),
    "sort_str": lambda f, r: f.sort("city", False),
    "date_year": lambda f, r: (f.add_date_part(f"year{r}", "date", "year"), (f, f"year{r}"))[1],
    "ints": lambda f, r: f.ints("id"),
    "floats": lambda f, r: f.floats("score"),
    "strings": lambda f, r: f.strings("city"),
    "g1_q1": lambda f, r: f.group(["id1"]).sum("v1"),
    "g1_q2": lambda f, r: f.group(["id1", "id2"]).sum("v1"),
    "g1_q3": lambda f, r: _group_q3(f),
    "g1_q4": lambda f, r: f.group(["id6"]).sum("v1"),
    "g1_q5": lambda f, r: f.group(["id1"]).count(),
    "g1_q6": lambda f, r: _group_q6(f),
}
TASKS.update({f"g1m_q{q}": TASKS[f"g1_q{q}"] for q in range(1, 6)})

for _name, (_key, _) in SORT_KEYS.items():
    TASKS.setdefault(_name, lambda f, r, column=_key: f.sort(column, False))


def _with_list(name: str):
    op = TASKS[name]
    getter, column = VIEW_COLUMN[name]
    return lambda f, r: getattr(op(f, r), getter)(column)


for _name in VIEW_COLUMN:
    TASKS[_name + "+list"] = _with_list(_name)


def _cell(frame, getter: str, column: str, pos: int):
    return getattr(frame.head(pos + 1).tail(1), getter)(column)[0]


def summary(task: str, res) -> list:
    """A few numbers that every library must agree on."""
    base = g1_base(task.removesuffix("+list"))
    if task.endswith("+list"):
        return list_summary(VIEW_COLUMN[base][0], res)
    if base.startswith("read"):
        return [res.height(), res.width()]
    if base == "to_csv":
        return [res.count("\n")]
    if base in ("filter_num", "where_among", "where_in"):
        return [res.height()]
    if base.startswith("sort"):
        column, getter = SORT_KEYS[base]
        h = res.height()
        first, mid = _cell(res, getter, column, 0), _cell(res, getter, column, h // 2)
        if getter == "floats":
            first, mid = fmt_float(first), fmt_float(mid)
        return [h, first, mid]
    if base == "date_year":
        frame, column = res
        return [sum(v for v in frame.ints(column) if v is not None)]
    if base in ("ints", "floats", "strings"):
        return list_summary(base, res)
    if base == "g1_q3":
        s, m = res
        return [s.height(), sum(s.ints("v1")), fmt_float(sum(v for v in m.floats("v3") if v is not None))]
    if base == "g1_q6":
        s, c = res
        return [s.height(), fmt_float(sum(s.floats("v3"))), sum(c.ints("count"))]
    if base == "g1_q5":
        return [res.height(), sum(res.ints(res.names()[-1]))]
    return [res.height(), sum(res.ints("v1"))]
