"""polars on one thread: its pool size comes from POLARS_MAX_THREADS, which the
harness sets before this process starts. A str input is encoded to bytes
first, inside the timed work."""

from __future__ import annotations

import os

import polars as pl

from bench.gen_data import read_arrow
from bench.tasks import SORT_KEYS, AMONG, CITIES3, THRESHOLD, fmt_float, list_summary, READ_TASKS, read_input, G1_IDS, g1_base


def version() -> str:
    return pl.__version__


def setup(threads: int) -> None:
    if threads == 1 and pl.thread_pool_size() != 1:
        raise RuntimeError(f"polars uses {pl.thread_pool_size()} threads "
                           f"(POLARS_MAX_THREADS={os.environ.get('POLARS_MAX_THREADS')})")


def load(task: str, paths: dict):
    if task in READ_TASKS:
        return read_input(task, paths)
    return pl.from_arrow(read_arrow(paths["arrow"])).rechunk()


def head(df, n: int):
    return df.head(n)


def _sort(df, col):
    return df.sort(col, maintain_order=True, nulls_last=True)


TASKS = {
    "read_str": lambda s, r: pl.read_csv(s.encode()),
    "read_str_g1": lambda s, r: pl.read_csv(s.encode()),
    "read_file": lambda p, r: pl.read_csv(p),
    "to_csv": lambda df, r: df.write_csv(),
    "filter_num": lambda df, r: df.filter(pl.col("price") > THRESHOLD),
    "where_among": lambda df, r: df.filter(pl.col("qty").is_in(AMONG)),
    "where_in": lambda df, r: df.filter(pl.col("city").is_in(CITIES3)),
    "sort_i64": lambda df, r: _sort(df, "id"),
    "sort_f64": lambda df, r: _sort(df, "score"),
    "sort_str": lambda df, r: _sort(df, "city"),
    "date_year": lambda df, r: df["date"].str.to_date("%Y-%m-%d").dt.year(),
    "ints": lambda df, r: df["id"].to_list(),
    "floats": lambda df, r: df["score"].to_list(),
    "strings": lambda df, r: df["city"].to_list(),
    "g1_q1": lambda df, r: df.group_by("id1").agg(pl.col("v1").sum()),
    "g1_q2": lambda df, r: df.group_by("id1", "id2").agg(pl.col("v1").sum()),
    "g1_q3": lambda df, r: df.group_by("id3").agg(pl.col("v1").sum(), pl.col("v3").mean()),
    "g1_q4": lambda df, r: df.group_by("id6").agg(pl.col("v1").sum()),
    "g1_q5": lambda df, r: df.group_by("id1").len(),
    "g1_q6": lambda df, r: df.group_by(*G1_IDS).agg(pl.col("v3").sum(), pl.len()),
}
TASKS.update({f"g1m_q{q}": TASKS[f"g1_q{q}"] for q in range(1, 6)})

for _name, (_key, _) in SORT_KEYS.items():
    TASKS.setdefault(_name, lambda df, r, column=_key: _sort(df, column))

NOTES: dict = {}


def summary(task: str, res) -> list:
    task = g1_base(task)
    if task.startswith("read"):
        return [res.height, res.width]
    if task == "to_csv":
        return [res.count("\n")]
    if task in ("filter_num", "where_among", "where_in"):
        return [res.height]
    if task.startswith("sort"):
        col = SORT_KEYS[task][0]
        s = res[col]
        first, mid = s[0], s[len(s) // 2]
        if SORT_KEYS[task][1] == "floats":
            first, mid = fmt_float(first), fmt_float(mid)
        return [res.height, first, mid]
    if task == "date_year":
        # The years are Int32, whose sum would wrap.
        return [int(res.cast(pl.Int64).sum())]
    if task in ("ints", "floats", "strings"):
        return list_summary(task, res)
    if task == "g1_q3":
        return [res.height, int(res["v1"].sum()), fmt_float(float(res["v3"].sum()))]
    if task == "g1_q6":
        return [res.height, fmt_float(float(res["v3"].sum())), int(res["len"].sum())]
    if task == "g1_q5":
        return [res.height, int(res["len"].sum())]
    return [res.height, int(res["v1"].sum())]
