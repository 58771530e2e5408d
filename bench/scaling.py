"""Scaling: how the time of one call grows with one input size while the others stay fixed, for
kelo_frame and the peers that have the operation, with a log-log chart and each curve's slope.

    python3 -m bench.scaling                 # the full curves (slow: minutes)
    python3 -m bench.scaling --quick         # smaller sizes, for a check

Curves: where_among and where_in on a column of `rows` rows (1e7 unless told) against value lists
of 1e0..1e6 values drawn from the column's own values; read_csv of a header and one row of
1e3..1e6 columns; select and group by 1e3..1e5 names of a frame of that many columns. Every peer
gets the same Python list or text that kelo_frame gets, and converts it inside the timed call.
The figure shown is the first call in a fresh process, as a program that makes one such call meets
it: every sample is a new process that makes its input untimed and times one call, then a second
(warm) call while that stays short. Up to 3 processes a size (fewer once their calls took 15 s);
the median of each. Sizes ascend; a curve stops at the first size whose first call takes longer
than --cap seconds, since the next one would only take longer. The membership curves' base column
is written once to a scratch directory (as CSV text for kelo_frame, as an Arrow file for the
peers), so that a fresh process loads it quickly.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PEERS = ["kelo_frame", "pandas", "pyarrow-1t", "polars-1t"]
LABEL = {"kelo_frame": "kelo_frame", "pandas": "pandas", "pyarrow-1t": "pyarrow, 1 thread",
         "polars-1t": "polars, 1 thread"}
# curve -> (what grows, sizes, sizes with --quick)
CURVES = {
    "where_among": ("values", [10**k for k in range(7)], [10**k for k in range(6)]),
    "where_in": ("values", [10**k for k in range(7)], [10**k for k in range(6)]),
    "read_csv": ("columns", [10**k for k in range(3, 7)], [10**k for k in range(3, 6)]),
    "select": ("names", [10**k for k in range(3, 6)], [10**k for k in range(3, 5)]),
    "group": ("names", [10**k for k in range(3, 6)], [10**k for k in range(3, 5)]),
}
# The membership filters must lead the fastest single-thread peer at every list length.
MEMBERSHIP = ("where_among", "where_in")
GROUP_ROWS = 10


def _key_column(rows: int, seed: int = 7):
    import numpy as np

    return np.random.default_rng(seed).integers(0, rows, rows, dtype=np.int64)


def _wanted(column, count: int) -> list[int]:
    rng = random.Random(count)
    return [int(column[rng.randrange(len(column))]) for _ in range(count)]


def _csv_of(table) -> str:
    import pyarrow.csv as pcsv

    sink = io.BytesIO()
    pcsv.write_csv(table, sink)
    return sink.getvalue().decode()


def _base_table(curve: str, rows: int):
    import pyarrow as pa
    import pyarrow.compute as pc

    arr = pa.array(_key_column(rows))
    if curve == "where_in":
        arr = pc.binary_join_element_wise("k", arr.cast(pa.string()), "")
    return pa.table({"k": arr})


def _write_bases(curves: list[str], rows: int, scratch: str) -> None:
    """The membership curves' base tables, once: CSV text for kelo_frame, an Arrow file for the peers."""
    import pyarrow as pa

    for curve in curves:
        if curve not in MEMBERSHIP:
            continue
        table = _base_table(curve, rows)
        with open(os.path.join(scratch, f"{curve}.csv"), "w") as f:
            f.write(_csv_of(table))
        with pa.OSFile(os.path.join(scratch, f"{curve}.arrow"), "wb") as sink, \
                pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)


class Curve:
    """The inputs of one curve at one size, made untimed, and the call to time."""

    def __init__(self, lib: str, curve: str, rows: int, scratch: str):
        self.lib, self.curve, self.rows = lib, curve, rows
        self.base = None
        if curve in MEMBERSHIP:
            self.column = _key_column(rows)
            if lib == "kelo_frame":
                import kelo_frame

                with open(os.path.join(scratch, f"{curve}.csv")) as f:
                    self.base = kelo_frame.read_csv(f.read())
            else:
                import pyarrow as pa

                with pa.memory_map(os.path.join(scratch, f"{curve}.arrow")) as source:
                    self.base = self._load(pa.ipc.open_file(source).read_all())

    def _load(self, table):
        if self.lib == "kelo_frame":
            import kelo_frame

            return kelo_frame.read_csv(_csv_of(table))
        if self.lib == "pandas":
            return table.to_pandas()
        if self.lib == "polars-1t":
            import polars as pl

            return pl.from_arrow(table)
        return table

    def inputs(self, n: int):
        if self.curve == "where_among":
            return _wanted(self.column, n)
        if self.curve == "where_in":
            return [f"k{v}" for v in _wanted(self.column, n)]
        names = [f"c{i}" for i in range(n)]
        if self.curve == "read_csv":
            return ",".join(names) + "\n" + ",".join(str(i % 10) for i in range(n)) + "\n"
        import pyarrow as pa

        rng = random.Random(n)
        cols = {name: pa.array([rng.randrange(2) for _ in range(GROUP_ROWS)]) for name in names}
        frame = self._load(pa.table(cols))
        rng.shuffle(names)
        return frame, names

    def call(self, x):
        lib, curve = self.lib, self.curve
        if lib == "kelo_frame":
            import kelo_frame

            if curve == "where_among":
                return self.base.where_among("k", x).height()
            if curve == "where_in":
                return self.base.where_in("k", x).height()
            if curve == "read_csv":
                return kelo_frame.read_csv(x).width()
            frame, names = x
            if curve == "select":
                return frame.select(names).width()
            return frame.group(names).groups()
        if lib == "pandas":
            import pandas as pd

            if curve in MEMBERSHIP:
                return len(self.base[self.base["k"].isin(x)])
            if curve == "read_csv":
                return pd.read_csv(io.StringIO(x)).shape[1]
            frame, names = x
            if curve == "select":
                return frame[names].shape[1]
            return len(frame.groupby(names).size())
        if lib == "polars-1t":
            import polars as pl

            if curve in MEMBERSHIP:
                return self.base.filter(pl.col("k").is_in(x)).height
            if curve == "read_csv":
                return pl.read_csv(io.BytesIO(x.encode())).width
            frame, names = x
            if curve == "select":
                return frame.select(names).width
            return frame.group_by(names).len().height
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.csv as pcsv

        if curve in MEMBERSHIP:
            return self.base.filter(pc.is_in(self.base["k"], value_set=pa.array(x))).num_rows
        if curve == "read_csv":
            return pcsv.read_csv(io.BytesIO(x.encode())).num_columns
        frame, names = x
        if curve == "select":
            return frame.select(names).num_columns
        return frame.group_by(names).aggregate([([], "count_all")]).num_rows


def _measure(lib: str, curve: str, n: int, rows: int, cap: float, scratch: str) -> None:
    """Runs in a fresh process: the first call of one curve at one size, then a warm one while short."""
    if lib == "pyarrow-1t":
        import pyarrow as pa

        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)
    c = Curve(lib, curve, rows, scratch)
    x = c.inputs(n)
    out = {"lib": lib, "curve": curve, "n": n}
    c0, t0 = time.process_time(), time.perf_counter()
    out["answer"] = c.call(x)
    out["first"] = time.perf_counter() - t0
    # The processor time of all the process's threads as well: on a busy
    # machine the wall time also counts the time others ran.
    out["cpu"] = time.process_time() - c0
    if out["first"] < cap / 4:
        t0 = time.perf_counter()
        c.call(x)
        out["warm"] = time.perf_counter() - t0
    print(json.dumps(out), flush=True)


def _median(xs: list[float]) -> float | None:
    return statistics.median(xs) if xs else None


def run(quick: bool = False, rows: int | None = None, cap: float = 30.0, samples: int | None = None,
        python: str | None = None, libs: list[str] | None = None, curves: list[str] | None = None,
        timeout: float = 900.0, up_to: int | None = None, budget: float = 15.0) -> dict:
    """Measures every point of every curve in fresh processes; gives the results for section()."""
    rows = rows or (1_000_000 if quick else 10_000_000)
    samples = samples or (1 if quick else 3)
    points, stopped, errors = [], [], []
    plan = {curve: [n for n in CURVES[curve][2 if quick else 1] if not up_to or n <= up_to]
            for curve in curves or list(CURVES)}
    scratch = tempfile.mkdtemp(prefix="kelo-scaling-")
    try:
        _write_bases(list(plan), rows, scratch)
        for lib in libs or PEERS:
            env = dict(os.environ, POLARS_MAX_THREADS="1", PYTHONWARNINGS="ignore")
            env.setdefault("KELO_BUILD_DIR", "build")
            env["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, env["KELO_BUILD_DIR"]), ROOT])
            for curve, sizes in plan.items():
                mine = []
                for n in sizes:
                    got, err, spent = [], None, 0.0
                    for _ in range(samples):
                        cmd = [python or sys.executable, "-m", "bench.scaling", "--child", lib, curve, str(n),
                               str(rows), str(cap), scratch]
                        try:
                            proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True,
                                                  timeout=timeout, stdin=subprocess.DEVNULL, check=False)
                            line = [x for x in proc.stdout.splitlines() if x.startswith("{")]
                            if not line:
                                err = (proc.stderr.strip().splitlines() or ["?"])[-1]
                                break
                        except subprocess.TimeoutExpired:
                            err = f"timed out after {timeout:.0f} s"
                            break
                        got.append(json.loads(line[-1]))
                        spent += got[-1]["first"] + got[-1].get("warm", 0.0)
                        if spent >= budget:
                            break
                    if not got:
                        errors.append({"lib": lib, "curve": curve, "error": err})
                        break
                    point = {"lib": lib, "curve": curve, "n": n, "samples": len(got),
                             "seconds": _median([g["first"] for g in got]),
                             "warm": _median([g["warm"] for g in got if "warm" in g]),
                             "cpu": _median([g["cpu"] for g in got]), "answer": got[0]["answer"]}
                    points.append(point)
                    mine.append(point)
                    if point["seconds"] > cap:
                        stopped.append({"lib": lib, "curve": curve, "n": n, "stopped": True})
                        break
                print(f"scaling: {curve:<12} {lib:<11} " + " ".join(f"{p['n']:.0e}:{p['seconds']:.3g}s"
                                                                    for p in mine), file=sys.stderr)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return {"rows": rows, "cap": cap, "samples": samples, "method": "fresh", "points": points,
            "stopped": stopped, "errors": errors}


def _series(data: dict, clock: str | None = None) -> dict:
    out: dict = {}
    clock = clock or data.get("clock", "seconds")
    for p in data["points"]:
        if p.get(clock) is not None:
            out.setdefault((p["curve"], p["lib"]), []).append((p["n"], p[clock]))
    return {k: sorted(v) for k, v in out.items()}


def slope(points: list[tuple[int, float]]) -> float | None:
    """The log-log slope over the top decades: least squares over the three largest sizes, where the
    constant part of a call (its setup, the scan of the fixed input) no longer dominates."""
    top = points[-3:]
    if len(top) < 2:
        return None
    xs = [math.log10(n) for n, _ in top]
    ys = [math.log10(max(t, 1e-9)) for _, t in top]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def _fmt(t: float | None) -> str:
    if t is None:
        return "-"
    return f"{t * 1e3:.3g} ms" if t < 1 else f"{t:.3g} s"


def section(data: dict | None, png_path: str) -> list[str]:
    """The report's scaling section (markdown lines) and its chart."""
    if not data or not data.get("points"):
        return []
    series = _series(data)
    warm = _series(data, "warm") if data.get("method") == "fresh" else {}
    libs = [lib for lib in PEERS if any(k[1] == lib for k in series)]
    if data.get("method") == "fresh":
        method = ("Shown: the first call in a fresh process, as a program that makes one such call meets it: every "
                  f"sample is a new process that makes its input untimed and times one call (the median of up to "
                  f"{data.get('samples', 3)} processes, fewer once their calls took 15 s"
                  + ("; processor time of all threads" if data.get("clock") == "cpu" else "")
                  + "). The row \"kelo_frame, warm\" is a second call in the same processes.")
    else:
        method = ("Median of up to 3 " + ("runs of processor time (all threads)." if data.get("clock") == "cpu"
                                          else "runs in one process."))
    lines = ["## Scaling", "",
             f"The time of one call as one input grows, the others fixed: the membership filters on "
             f"{data['rows']:.0e} rows (an i64 column; for where_in texts like \"k123\") against lists of values "
             "drawn from the column; read_csv of a header and one row; select and group (kelo_frame: "
             f"`group(names).groups()`) by n names of an n-column frame of {GROUP_ROWS} rows. {method} "
             f"A curve stops after a call over {data['cap']:g} s. Slope: least squares of log time on log n "
             "over the three largest sizes (1: linear).",
             "", "![time against input size, log-log](perf-scaling.png)", ""]
    for curve, (what, _, _) in CURVES.items():
        sizes = sorted({n for (c, _), pts in series.items() if c == curve for n, _ in pts})
        if not sizes:
            continue
        lines += [f"**{curve}** by number of {what}", "",
                  "| library | " + " | ".join(f"{n:.0e}" for n in sizes) + " | slope |",
                  "|---|" + "---:|" * (len(sizes) + 1)]
        rows = [(LABEL[lib], series.get((curve, lib), []), lib) for lib in libs]
        if warm.get((curve, "kelo_frame")):
            rows.insert(1, ("kelo_frame, warm", warm[(curve, "kelo_frame")], None))
        for label, got, lib in rows:
            pts = dict(got)
            if not pts:
                continue
            s = slope(sorted(pts.items()))
            stop = lib is not None and any(p["lib"] == lib and p["curve"] == curve for p in data["stopped"])
            lines.append(f"| {label} | " + " | ".join(_fmt(pts.get(n)) for n in sizes)
                         + f" | {'-' if s is None else f'{s:.2f}'}{' (stopped)' if stop else ''} |")
        lines.append("")
    lines += _targets(series)
    for e in data.get("errors", []):
        lines.append(f"- {e['curve']} / {LABEL.get(e['lib'], e['lib'])}: did not finish ({e['error']})")
    if data.get("errors"):
        lines.append("")
    chart(series, png_path)
    return lines


def _targets(series: dict) -> list[str]:
    lines = []
    behind = []
    for curve in MEMBERSHIP:
        for n, t in series.get((curve, "kelo_frame"), []):
            peers = [dict(series.get((curve, lib), [])).get(n) for lib in PEERS[1:]]
            best = min((p for p in peers if p), default=None)
            if best and t > best:
                behind.append(f"{curve} at {n:.0e} values ({_fmt(t)} against {_fmt(best)})")
    steep = [f"{c} ({s:.2f})" for (c, lib), pts in series.items() if lib == "kelo_frame"
             for s in [slope(pts)] if s is not None and s > 1.15]
    lines.append("Targets: membership filters ahead of the fastest single-thread peer at every list length: "
                 + ("met." if not behind else "not met at " + "; ".join(behind) + ".")
                 + " Every kelo_frame curve's slope at most 1 (within 0.15 of noise): "
                 + ("met." if not steep else "not met: " + ", ".join(steep) + "."))
    lines.append("")
    return lines


def chart(series: dict, png_path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    curves = [c for c in CURVES if any(k[0] == c for k in series)]
    fig, axes = plt.subplots(1, len(curves), figsize=(3.2 * len(curves), 3.4), dpi=110, squeeze=False)
    colours = {"kelo_frame": "#c44e52", "pandas": "#4c72b0", "pyarrow-1t": "#55a868", "polars-1t": "#8172b2"}
    for ax, curve in zip(axes[0], curves):
        for lib in PEERS:
            pts = series.get((curve, lib))
            if pts:
                ax.plot([n for n, _ in pts], [t for _, t in pts], marker="o", markersize=3, color=colours[lib],
                        label=LABEL[lib], linewidth=2 if lib == "kelo_frame" else 1)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(curve, fontsize=9)
        ax.set_xlabel(f"number of {CURVES[curve][0]}", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", linewidth=0.3)
    axes[0][0].set_ylabel("seconds", fontsize=8)
    axes[0][0].legend(fontsize=7)
    fig.tight_layout()
    os.makedirs(os.path.dirname(png_path) or ".", exist_ok=True)
    fig.savefig(png_path)
    plt.close(fig)


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        lib, curve, n, rows, cap, scratch = argv[1:]
        _measure(lib, curve, int(n), int(rows), float(cap), scratch)
        return 0
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--rows", type=lambda s: int(float(s)))
    p.add_argument("--cap", type=float, default=30.0, help="stop a curve after a call that took this long")
    p.add_argument("--up-to", type=lambda s: int(float(s)), help="leave out larger sizes")
    p.add_argument("--libs", nargs="+", choices=PEERS)
    p.add_argument("--curves", nargs="+", choices=list(CURVES))
    p.add_argument("--clock", choices=["seconds", "cpu"], default="seconds",
                   help="show wall time (default) or processor time, which a busy machine disturbs less")
    p.add_argument("--out-json", default=os.path.join(ROOT, "bench", "out", "scaling.json"))
    p.add_argument("--out-md", help="also write the section alone to this file")
    p.add_argument("--from-json", help="write the section from these saved results instead of measuring")
    p.add_argument("--out-png", default=os.path.join(ROOT, "bench", "out", "perf-scaling.png"))
    a = p.parse_args(argv)
    if a.from_json:
        with open(a.from_json) as f:
            data = json.load(f)
    else:
        data = run(a.quick, a.rows, a.cap, libs=a.libs, curves=a.curves, up_to=a.up_to)
        os.makedirs(os.path.dirname(a.out_json), exist_ok=True)
        with open(a.out_json, "w") as f:
            json.dump(data, f, indent=1)
    data["clock"] = a.clock
    lines = section(data, a.out_png)
    if a.out_md:
        with open(a.out_md, "w") as f:
            f.write("\n".join(lines) + "\n")
    else:
        print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
