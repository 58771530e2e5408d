"""pandas with its C CSV engine and default dtypes: text columns are object
columns of Python str, and an int column with empty cells becomes float64."""

from __future__ import annotations

import io

import pandas as pd

from bench.gen_data import read_arrow
from bench.tasks import SORT_KEYS, AMONG, CITIES3, THRESHOLD, fmt_float, READ_TASKS, read_input, G1_IDS, g1_base


def version() -> str:
    return pd.__version__


def setup(threads: int) -> None:
    """pandas runs these operations on one thread."""


def load(task: str, paths: dict):
    if task in READ_TASKS:
        return read_input(task, paths)
    return read_arrow(paths["arrow"]).to_pandas()


def head(df, n: int):
    return df.iloc[:n]


def _sort(df, col):
    return df.sort_values(col, kind="stable", na_position="last")


def _groupby(df, keys):
    return df.groupby(keys, sort=False, dropna=False, observed=True)


TASKS = {
    "read_str": lambda s, r: pd.read_csv(io.StringIO(s), engine="c"),
    "read_str_g1": lambda s, r: pd.read_csv(io.StringIO(s), engine="c"),
    "read_file": lambda p, r: pd.read_csv(p, engine="c"),
    "to_csv": lambda df, r: df.to_csv(index=False),
    "filter_num": lambda df, r: df[df["price"] > THRESHOLD],
    "where_among": lambda df, r: df[df["qty"].isin(AMONG)],
    "where_in": lambda df, r: df[df["city"].isin(CITIES3)],
    "sort_i64": lambda df, r: _sort(df, "id"),
    "sort_f64": lambda df, r: _sort(df, "score"),
    "sort_str": lambda df, r: _sort(df, "city"),
    "date_year": lambda df, r: pd.to_datetime(df["date"], format="%Y-%m-%d").dt.year,
    "ints": lambda df, r: df["id"].tolist(),
    "floats": lambda df, r: df["score"].tolist(),
    "strings": lambda df, r: df["city"].tolist(),
    "g1_q1": lambda df, r: _groupby(df, ["id1"]).agg(v1=("v1", "sum")),
    "g1_q2": lambda df, r: _groupby(df, ["id1", "id2"]).agg(v1=("v1", "sum")),
    "g1_q3": lambda df, r: _groupby(df, ["id3"]).agg(v1=("v1", "sum"), v3=("v3", "mean")),
    "g1_q4": lambda df, r: _groupby(df, ["id6"]).agg(v1=("v1", "sum")),
    "g1_q5": lambda df, r: _groupby(df, ["id1"]).size(),
    "g1_q6": lambda df, r: _groupby(df, G1_IDS).agg(v3=("v3", "sum"), n=("v3", "size")),
}
TASKS.update({f"g1m_q{q}": TASKS[f"g1_q{q}"] for q in range(1, 6)})

for _name, (_key, _) in SORT_KEYS.items():
    TASKS.setdefault(_name, lambda df, r, column=_key: _sort(df, column))

NOTES = {
    "strings": "pandas already holds Python str objects",
    "floats": "missing cells come back as NaN, not None",
}


def _cell(v):
    return fmt_float(v) if isinstance(v, float) else (None if v is None else v)


def summary(task: str, res) -> list:
    task = g1_base(task)
    if task.startswith("read"):
        return list(res.shape)
    if task == "to_csv":
        return [res.count("\n")]
    if task in ("filter_num", "where_among", "where_in"):
        return [len(res)]
    if task.startswith("sort"):
        col = SORT_KEYS[task][0]
        s = res[col]
        first, mid = s.iloc[0], s.iloc[len(s) // 2]
        if SORT_KEYS[task][1] == "ints":
            first, mid = int(first), int(mid)
        return [len(res), _cell(first), _cell(mid)]
    if task == "date_year":
        return [int(res.sum())]
    if task in ("ints", "floats", "strings"):
        missing = sum(1 for v in res if v is None or v != v)
        present = [v for v in res if not (v is None or v != v)]
        if task == "floats":
            return [len(res), missing, fmt_float(sum(present))]
        if task == "strings":
            return [len(res), missing, sum(len(v) for v in present)]
        return [len(res), missing, sum(present)]
    if task == "g1_q3":
        return [len(res), int(res["v1"].sum()), fmt_float(float(res["v3"].sum()))]
    if task == "g1_q6":
        return [len(res), fmt_float(float(res["v3"].sum())), int(res["n"].sum())]
    if task == "g1_q5":
        return [len(res), int(res.sum())]
    return [len(res), int(res["v1"].sum())]
