"""Interchange timings: Arrow export to pyarrow, polars and DuckDB, import from pyarrow, and pickling,
for kelo_frame on the generated "mixed" data, beside the cost of copying the same bytes once.

    python3 -m bench.interchange --rows 1e6 [--repeats 5]     # prints one JSON object

Each size runs in a fresh process (bench/run.py starts one per size), so the peak-memory figure of one
size is not raised by another.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.join(ROOT, os.environ.get("KELO_BUILD_DIR", "build")))

from bench import gen_data  # noqa: E402

# (key, label) in report order.
TASKS = [
    ("export", "export (capsule, no row index)"),
    ("export_view", "export of a sorted view (gathers)"),
    ("pyarrow", "pyarrow.table(f)"),
    ("polars", "polars.DataFrame(f)"),
    ("duckdb", "DuckDB sum(qty) by city over f"),
    ("import", "Frame.from_arrow(pyarrow table)"),
    ("pickle_dump", "pickle.dumps(f, 5)"),
    ("pickle_load", "pickle.loads"),
    ("copy_once", "copying the same bytes once (reference)"),
]


def _rss_kb() -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def _time(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
        del out
    return statistics.median(times)


def measure(rows: int, repeats: int, data_dir: str | None = None) -> dict:
    import kelo_frame
    import pyarrow as pa

    with open(gen_data.csv_path("mixed", rows, data_dir), encoding="utf-8") as fh:
        f = kelo_frame.read_csv(fh.read())
    view = f.sort("price", False)
    table = pa.table(f)
    nbytes = table.nbytes
    source = bytes(nbytes)
    out: dict = {"rows": rows, "bytes": nbytes, "times": {}}
    t = out["times"]
    t["export"] = _time(lambda: f.__arrow_c_stream__(), repeats)
    t["export_view"] = _time(lambda: view.__arrow_c_stream__(), repeats)
    t["pyarrow"] = _time(lambda: pa.table(f), repeats)
    try:
        import polars as pl

        t["polars"] = _time(lambda: pl.DataFrame(f), repeats)
    except ImportError:
        pass
    try:
        import duckdb

        con = duckdb.connect()
        con.execute("set threads to 1")
        def duck():
            frame = f  # DuckDB finds the table among the calling frame's locals
            return con.sql("select city, sum(qty) from frame group by city").fetchall()

        t["duckdb"] = _time(duck, repeats)
    except ImportError:
        pass
    t["import"] = _time(lambda: kelo_frame.Frame.from_arrow(table), repeats)
    payload = pickle.dumps(f, 5)
    t["pickle_dump"] = _time(lambda: pickle.dumps(f, 5), repeats)
    t["pickle_load"] = _time(lambda: pickle.loads(payload), repeats)
    t["copy_once"] = _time(lambda: bytearray(source), repeats)
    # Peak memory of an export: resident growth while pyarrow holds the exported table.
    del table, payload, source
    gc.collect()
    before = _rss_kb()
    held = pa.table(f)
    out["export_rss_kb"] = _rss_kb() - before
    del held
    return out


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=lambda s: int(float(s)), default=1_000_000)
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--data-dir", default=None)
    a = p.parse_args(argv)
    print(json.dumps(measure(a.rows, a.repeats, a.data_dir)))
    return 0


def fmt(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    if seconds < 0.001:
        return f"{seconds * 1e6:.0f} µs"
    return f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


def report_lines(results: list[dict]) -> list[str]:
    """The "Interchange" section of docs/PERFORMANCE.md: one column per size."""
    if not results:
        return []
    results = sorted(results, key=lambda r: r["rows"])
    lines = ["## Interchange", "",
             "kelo_frame alone, median of several runs in one process per size (`bench/interchange.py`); "
             "the last row is the reference for import and unpickling (targets: within 2x of it).", "",
             "| operation | " + " | ".join(f"{r['rows']:.0e} rows".replace("e+0", "e") for r in results) + " |",
             "|---|" + "---:|" * len(results)]
    for key, label in TASKS:
        lines.append(f"| {label} | " + " | ".join(fmt(r["times"].get(key)) for r in results) + " |")
    lines.append("| resident growth while pyarrow holds the export | "
                 + " | ".join(f"{r.get('export_rss_kb', 0) / 1024:.1f} MB" for r in results) + " |")
    lines.append("")
    return lines


if __name__ == "__main__":
    sys.exit(main())
