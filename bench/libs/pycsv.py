"""The standard library's csv module: rows of texts turned into typed column
lists (int, float, str; an empty cell is None), and back to CSV text."""

from __future__ import annotations

import csv
import io

from bench.gen_data import G1_TYPES, MIXED_TYPES
from bench.tasks import READ_TASKS, read_input


def version() -> str:
    import sys

    return "Python " + sys.version.split()[0]


def setup(threads: int) -> None:
    """Pure Python, one thread."""


def load(task: str, paths: dict):
    if task in READ_TASKS:
        return read_input(task, paths)
    with open(paths["csv"], encoding="utf-8", newline="") as f:
        return _columns(csv.reader(f))


def head(cols: dict, n: int) -> dict:
    return {k: v[:n] for k, v in cols.items()}


_CONVERT = {"int64": int, "float64": float, "string": str}


def _columns(reader) -> dict:
    header = next(reader)
    types = {**MIXED_TYPES, **G1_TYPES}
    cols = list(zip(*reader))
    out = {}
    for name, cells in zip(header, cols):
        conv = _CONVERT[types[name]]
        if conv is str:
            out[name] = list(cells)
        else:
            out[name] = [conv(c) if c else None for c in cells]
    return out


def _read_file(path: str) -> dict:
    with open(path, encoding="utf-8", newline="") as f:
        return _columns(csv.reader(f))


def _to_csv(cols: dict) -> str:
    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    w.writerow(cols.keys())
    w.writerows(zip(*cols.values()))
    return out.getvalue()


TASKS = {
    "read_str": lambda s, r: _columns(csv.reader(io.StringIO(s))),
    "read_str_g1": lambda s, r: _columns(csv.reader(io.StringIO(s))),
    "read_file": lambda p, r: _read_file(p),
    "to_csv": lambda cols, r: _to_csv(cols),
}

NOTES: dict = {}


def summary(task: str, res) -> list:
    if task.startswith("read"):
        return [len(next(iter(res.values()))), len(res)]
    return [res.count("\n")]
