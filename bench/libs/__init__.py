"""One module per library under test. Each has setup(threads), load(task,
paths), head(state, n) (the first n rows of a loaded table, for a warm-up
run), TASKS (task name -> function(state, repeat) -> result), summary(task,
result) (a few numbers every library must agree on), NOTES and version()."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Lib:
    key: str  # the name used on the command line and in the report
    module: str  # bench.libs.<module>
    threads: int  # 1, or 0 for the library's default
    label: str
    env: tuple = ()  # extra environment for the measuring process
    max_rows: int | None = None  # larger sizes are skipped
    reference: bool = False  # shown, but not a single-thread peer
    tasks: frozenset | None = None  # the tasks it takes part in; None: all
    pip: str | None = None  # the package that must be importable


CSV_TASKS = frozenset({"read_str", "read_file", "read_str_g1", "to_csv"})
G1_TASKS = frozenset({f"g1_q{q}" for q in range(1, 7)} | {f"g1m_q{q}" for q in range(1, 6)})


LIBS = [
    Lib("kelo_frame", "kelo", 1, "kelo_frame"),
    Lib("pandas", "pandas_", 1, "pandas (C engine)", pip="pandas"),
    Lib("pyarrow-1t", "pyarrow_", 1, "pyarrow, 1 thread", pip="pyarrow"),
    Lib("polars-1t", "polars_", 1, "polars, 1 thread", env=(("POLARS_MAX_THREADS", "1"),), pip="polars"),
    Lib("duckdb-1t", "duckdb_", 1, "duckdb, 1 thread", pip="duckdb"),
    Lib("csv", "pycsv", 1, "csv module", max_rows=1_000_000, tasks=CSV_TASKS),
    # Threads pay off in reading CSV and in grouping; elsewhere this would
    # only lengthen the run.
    Lib("pyarrow-mt", "pyarrow_", 0, "pyarrow, default threads", reference=True, pip="pyarrow",
        tasks=CSV_TASKS | G1_TASKS),
]
BY_KEY = {lib.key: lib for lib in LIBS}
