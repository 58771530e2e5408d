"""DuckDB on one thread (SET threads=1), in memory. Each operation
materialises its answer as a DuckDB table, the engine's own form of a result
(CREATE TABLE ... AS), as the group-by benchmark it comes from does."""

from __future__ import annotations

import io

import duckdb

from bench.gen_data import read_arrow
from bench.tasks import SORT_KEYS, AMONG, CITIES3, THRESHOLD, fmt_float, list_summary, READ_TASKS, read_input, G1_IDS, g1_base

_con = None
_threads = 1


def version() -> str:
    return duckdb.__version__


def setup(threads: int) -> None:
    global _con, _threads
    _threads = threads
    _con = duckdb.connect()
    if threads:
        _con.execute(f"SET threads={threads}").fetchall()


def load(task: str, paths: dict):
    if task in READ_TASKS:
        return read_input(task, paths)
    src = read_arrow(paths["arrow"])
    _con.register("src", src)
    _con.execute("CREATE TABLE t AS SELECT * FROM src").fetchall()
    _con.unregister("src")
    return "t"


def head(state: str, n: int) -> str:
    _con.execute(f"CREATE OR REPLACE TABLE t_head AS SELECT * FROM {state} LIMIT {n}").fetchall()
    return "t_head"


def _sql(sql: str) -> str:
    _con.execute(f"CREATE OR REPLACE TEMP TABLE r AS {sql}").fetchall()
    return "r"


def _read_str(text: str, mixed: bool) -> str:
    # DuckDB reads a file-like object of bytes; the str is encoded first.
    rel = _con.read_csv(io.BytesIO(text.encode()), dtype={"date": "VARCHAR"} if mixed else None)
    # DuckDB finds the relation by its Python variable name.
    _con.execute("CREATE OR REPLACE TEMP TABLE r AS SELECT * FROM rel").fetchall()
    return "r"


def _read_file(path: str) -> str:
    types = ", types={'date': 'VARCHAR'}" if "mixed" in path else ""
    return _sql(f"SELECT * FROM read_csv('{path}'{types})")


def _to_csv(t: str) -> str:
    # Written to a file in the process's /tmp (a memory file system here).
    path = "/tmp/kelo-bench-duckdb.csv"
    _con.execute(f"COPY {t} TO '{path}' (HEADER)").fetchall()
    return path


def _column(sql: str) -> list:
    return [row[0] for row in _con.execute(sql).fetchall()]


_IDS = ", ".join(G1_IDS)

TASKS = {
    "read_str": lambda s, r: _read_str(s, True),
    "read_str_g1": lambda s, r: _read_str(s, False),
    "read_file": lambda p, r: _read_file(p),
    "to_csv": lambda t, r: _to_csv(t),
    "filter_num": lambda t, r: _sql(f"SELECT * FROM {t} WHERE price > {THRESHOLD}"),
    "where_among": lambda t, r: _sql(f"SELECT * FROM {t} WHERE qty IN ({', '.join(map(str, AMONG))})"),
    "where_in": lambda t, r: _sql(
        f"SELECT * FROM {t} WHERE city IN ({', '.join(repr(c) for c in CITIES3)})"),
    "sort_i64": lambda t, r: _sql(f"SELECT * FROM {t} ORDER BY id NULLS LAST"),
    "sort_f64": lambda t, r: _sql(f"SELECT * FROM {t} ORDER BY score NULLS LAST"),
    "sort_str": lambda t, r: _sql(f"SELECT * FROM {t} ORDER BY city NULLS LAST"),
    "date_year": lambda t, r: _sql(f"SELECT year(strptime(date, '%Y-%m-%d')) AS y FROM {t}"),
    "ints": lambda t, r: _column(f"SELECT id FROM {t}"),
    "floats": lambda t, r: _column(f"SELECT score FROM {t}"),
    "strings": lambda t, r: _column(f"SELECT city FROM {t}"),
    "g1_q1": lambda t, r: _sql(f"SELECT id1, sum(v1) AS v1 FROM {t} GROUP BY id1"),
    "g1_q2": lambda t, r: _sql(f"SELECT id1, id2, sum(v1) AS v1 FROM {t} GROUP BY id1, id2"),
    "g1_q3": lambda t, r: _sql(f"SELECT id3, sum(v1) AS v1, avg(v3) AS v3 FROM {t} GROUP BY id3"),
    "g1_q4": lambda t, r: _sql(f"SELECT id6, sum(v1) AS v1 FROM {t} GROUP BY id6"),
    "g1_q5": lambda t, r: _sql(f"SELECT id1, count(*) AS n FROM {t} GROUP BY id1"),
    "g1_q6": lambda t, r: _sql(f"SELECT {_IDS}, sum(v3) AS v3, count(*) AS n FROM {t} GROUP BY {_IDS}"),
}
TASKS.update({f"g1m_q{q}": TASKS[f"g1_q{q}"] for q in range(1, 6)})

for _name, (_key, _) in SORT_KEYS.items():
    TASKS.setdefault(_name, lambda t, r, column=_key: _sql(f"SELECT * FROM {t} ORDER BY {column} NULLS LAST"))

NOTES = {"to_csv": "to a file in memory (tmpfs)", "sort_str": "ORDER BY is not a stable sort"}


def _one(sql: str):
    return _con.execute(sql).fetchone()


def summary(task: str, res) -> list:
    task = g1_base(task)
    if task.startswith("read"):
        return [_one(f"SELECT count(*) FROM {res}")[0], len(_con.table(res).columns)]
    if task == "to_csv":
        with open(res, "rb") as f:
            return [f.read().count(b"\n")]
    if task in ("filter_num", "where_among", "where_in"):
        return [_one(f"SELECT count(*) FROM {res}")[0]]
    if task.startswith("sort"):
        col = SORT_KEYS[task][0]
        n = _one(f"SELECT count(*) FROM {res}")[0]
        first = _one(f"SELECT {col} FROM {res} LIMIT 1")[0]
        mid = _one(f"SELECT {col} FROM {res} LIMIT 1 OFFSET {n // 2}")[0]
        if SORT_KEYS[task][1] == "floats":
            first, mid = fmt_float(first), fmt_float(mid)
        return [n, first, mid]
    if task == "date_year":
        return [int(_one(f"SELECT sum(y) FROM {res}")[0])]
    if task in ("ints", "floats", "strings"):
        return list_summary(task, res)
    if task == "g1_q3":
        n, s, m = _one(f"SELECT count(*), sum(v1), sum(v3) FROM {res}")
        return [n, int(s), fmt_float(m)]
    if task == "g1_q6":
        n, v, c = _one(f"SELECT count(*), sum(v3), sum(n) FROM {res}")
        return [n, fmt_float(v), int(c)]
    if task == "g1_q5":
        n, s = _one(f"SELECT count(*), sum(n) FROM {res}")
        return [n, int(s)]
    n, s = _one(f"SELECT count(*), sum(v1) FROM {res}")
    return [n, int(s)]
