"""Turns the measurements into docs/PERFORMANCE.md and the ratio chart.

    python3 -m bench.report docs/perf-results.json [MD PNG]   # rewrite the report from saved results
"""

from __future__ import annotations

import json
import os
import statistics
import sys

from bench import interchange, scaling, threads
from bench.libs import LIBS
from bench.tasks import BY_NAME, TASKS, VIEW_COLUMN

KELO = "kelo_frame"


def median(r: dict | None) -> float | None:
    """The headline figure: the median first call of fresh processes (the
    median of the runs for results measured without --fresh)."""
    if not r or r.get("status") != "ok":
        return None
    runs = r.get("first") or r.get("times")
    return statistics.median(runs) if runs else None


def warm(r: dict | None) -> float | None:
    """The median of the calls after the first in the same process."""
    if not r or r.get("status") != "ok" or not r.get("first") or not r.get("times"):
        return None
    return statistics.median(r["times"])


# The most a first call may take over the warm call of the same task.
STALL_LIMIT = 1.25


def fmt_time(t: float | None) -> str:
    if t is None:
        return "—"
    if t < 0.001:
        return f"{t * 1e6:.0f} µs"
    if t < 1:
        return f"{t * 1000:.1f} ms"
    return f"{t:.2f} s"


def fmt_size(rows: int) -> str:
    return f"{rows:.0e}".replace("e+0", "e").replace("e+", "e")


def throughput(task_name: str, r: dict | None) -> str:
    t = median(r)
    if t is None or t == 0:
        return "—"
    task = BY_NAME[task_name.removesuffix("+list")]
    if task.csv_bytes:
        return f"{r['bytes'] / t / 1e6:.0f} MB/s"
    return f"{r['rows'] / t / 1e6:.1f} M rows/s"


def mb_s(r: dict | None) -> float | None:
    t = median(r)
    return None if t is None or not r.get("bytes") else r["bytes"] / t / 1e6


def peak_kb(r: dict) -> int:
    """The process's peak resident size, loading included: what its
    ru_maxrss would be had the high-water mark not been reset after loading."""
    return max(r.get("load_peak_kb") or 0, r.get("rss_peak_kb") or 0, r.get("ru_maxrss_kb") or 0)


def progress(r: dict) -> str:
    """One line for the runner's log."""
    if r.get("status") != "ok":
        return f"{r.get('status')}: {r.get('error') or ''}"[:160]
    peak = peak_kb(r) / 1024
    if r.get("first"):
        return (f"first {fmt_time(median(r))} ({len(r['first'])} processes), warm {fmt_time(warm(r))} "
                f"({len(r['times'])} runs) peak {peak:.0f} MB")
    return f"{fmt_time(median(r))} ({len(r['times'])} runs) peak {peak:.0f} MB"


class Results:
    def __init__(self, meta: dict, results: list[dict]):
        self.meta = meta
        self.by = {(r["rows"], r["task"], r["lib"]): r for r in results}
        self.sizes = meta["sizes"]
        self.libs = [lib for lib in LIBS if lib.key in meta["libs"]]
        self.peers = [lib for lib in self.libs if lib.key != KELO]

    def get(self, rows, task, lib):
        return self.by.get((rows, task, lib))

    def best_peer(self, rows: int, task: str, against: str | None = None, figure=median):
        """(library key, figure) of the fastest single-thread peer, or of the
        named peer; figure is median (first calls) or warm."""
        best = None
        for lib in self.peers:
            if lib.reference or (against and lib.key != against):
                continue
            t = figure(self.get(rows, task, lib.key))
            if t is not None and (best is None or t < best[1]):
                best = (lib.key, t)
        return best

    def ratio(self, rows: int, task: str, kelo_task: str | None = None, against: str | None = None,
              figure=median):
        kt = figure(self.get(rows, kelo_task or task, KELO))
        best = self.best_peer(rows, task, against, figure)
        if kt is None or best is None or kt == 0:
            return None
        return best[1] / kt


def _status_cell(r: dict | None) -> str:
    if r is None:
        return "—"
    if r.get("status") == "not built":
        return "not built yet"
    if r.get("status") == "n/a":
        return "n/a"
    return "error"


def _target_rows(res: Results) -> list[str]:
    head = "| task | target | " + " | ".join(f"{fmt_size(n)}: kelo_frame / reference / ratio" for n in res.sizes)
    head += " | met |"
    lines = [head, "|" + "---|" * (3 + len(res.sizes))]
    for task in TASKS:
        if not task.target:
            continue
        tg = task.target
        cells, verdicts = [], []
        for rows in res.sizes:
            kr = res.get(rows, task.name, KELO)
            kt = median(kr)
            best = res.best_peer(rows, task.name, tg.against)
            if kt is None or best is None:
                cells.append(f"{_status_cell(kr) if kt is None else fmt_time(kt)} / — / —")
                verdicts.append(f"{fmt_size(rows)}: not measured")
                continue
            ratio = best[1] / kt
            ok = ratio >= tg.ratio if tg.ratio > 1 else ratio > 1
            extra = ""
            if tg.mb_s:
                speed = mb_s(kr)
                ok = ok and speed is not None and speed >= tg.mb_s
                extra = f", {speed:.0f} MB/s"
            cells.append(f"{fmt_time(kt)}{extra} / {best[0]} {fmt_time(best[1])} / **{ratio:.2f}x**")
            verdicts.append(f"{fmt_size(rows)}: {'yes' if ok else 'no'}")
        lines.append(f"| {task.name} | {tg.text()} | " + " | ".join(cells) + " | " + "; ".join(verdicts) + " |")
    return lines


def _stall_cell(r: dict | None) -> str:
    """The first call over the warm one, bold where it is over the limit."""
    first, later = median(r), warm(r)
    if first is None or later is None or later == 0:
        return "—"
    q = first / later
    return f"**{q:.2f}**" if q > STALL_LIMIT else f"{q:.2f}"


def _stall_rows(res: Results) -> list[str]:
    """How many of kelo_frame's tasks have their first call within the limit
    of the warm call, and which do not."""
    within = total = 0
    over = []
    for rows in res.sizes:
        for task in TASKS:
            r = res.get(rows, task.name, KELO)
            first, later = median(r), warm(r)
            if first is None or later is None or later == 0:
                continue
            total += 1
            if first <= STALL_LIMIT * later:
                within += 1
            else:
                over.append(f"{task.name} at {fmt_size(rows)} ({fmt_time(first)} against {fmt_time(later)})")
    if total == 0:
        return []
    line = (f"First calls within {STALL_LIMIT:g}x of the warm call (kelo_frame, every task and size): "
            f"{within} of {total}.")
    if over:
        line += " Over: " + "; ".join(over) + "."
    return [line, ""]


def _warm_table(res: Results, rows: int) -> list[str]:
    """Every library's warm figure: the median of the calls after the first,
    in the same processes."""
    libs = res.libs
    out = [f"Warm calls, {fmt_size(rows)} rows (the median of the calls after the first in the same process; "
           "ratio: the fastest single-thread peer's warm figure over kelo_frame's):", ""]
    out.append("| task | " + " | ".join(lib.key for lib in libs) + " | ratio warm |")
    out.append("|" + "---|" * (len(libs) + 2))
    for task in TASKS:
        cells = [fmt_time(warm(res.get(rows, task.name, lib.key))) for lib in libs]
        wratio = res.ratio(rows, task.name, figure=warm)
        cells.append(f"{wratio:.2f}x" if wratio else "—")
        out.append(f"| {task.name} | " + " | ".join(cells) + " |")
    out.append("")
    return out


def _notes_key(notes: dict, text: str | None) -> str:
    if not text:
        return ""
    if text not in notes:
        notes[text] = len(notes) + 1
    return f" [{notes[text]}]"


def _size_tables(res: Results, rows: int, notes: dict) -> list[str]:
    out = []
    libs = res.libs
    # Times.
    head = ["task"] + [lib.key for lib in libs[:1]]
    if libs and libs[0].key == KELO:
        head += ["kelo_frame warm", "first / warm", "kelo_frame view + list"]
    head += [lib.key + (" (reference)" if lib.reference else "") for lib in libs[1:]]
    head += ["fastest 1-thread peer", "ratio", "ratio with list"]
    out.append("| " + " | ".join(head) + " |")
    out.append("|" + "---|" * len(head))
    for task in TASKS:
        cells = [f"{task.name}: {task.what}"]
        for i, lib in enumerate(libs):
            r = res.get(rows, task.name, lib.key)
            cell = fmt_time(median(r)) if median(r) is not None else _status_cell(r)
            cell += _notes_key(notes, (r or {}).get("note"))
            cells.append(cell)
            if i == 0 and lib.key == KELO:
                cells.append(fmt_time(warm(r)))
                cells.append(_stall_cell(r))
                lr = res.get(rows, task.name + "+list", KELO) if task.name in VIEW_COLUMN else None
                cells.append(fmt_time(median(lr)) if median(lr) is not None else ("—" if lr is None else _status_cell(lr)))
        best = res.best_peer(rows, task.name)
        cells.append(f"{best[0]} {fmt_time(best[1])}" if best else "—")
        ratio = res.ratio(rows, task.name)
        cells.append(f"**{ratio:.2f}x**" if ratio else "—")
        lratio = res.ratio(rows, task.name, task.name + "+list") if task.name in VIEW_COLUMN else None
        cells.append(f"{lratio:.2f}x" if lratio else "—")
        out.append("| " + " | ".join(cells) + " |")
    out.append("")
    out += _warm_table(res, rows)
    # Throughput.
    out.append(f"Throughput, {fmt_size(rows)} rows (CSV tasks in MB of CSV text per second, others in rows per second):")
    out.append("")
    out.append("| task | " + " | ".join(lib.key for lib in libs) + " |")
    out.append("|" + "---|" * (len(libs) + 1))
    for task in TASKS:
        out.append(f"| {task.name} | " + " | ".join(throughput(task.name, res.get(rows, task.name, lib.key))
                                                      for lib in libs) + " |")
    out.append("")
    # Memory.
    out.append(f"Memory, {fmt_size(rows)} rows: peak resident size of the measuring process (its ru_maxrss: "
               "the interpreter, the library, the input and the operation) / the peak of the timed runs minus the "
               "resident size once the input was loaded (what the operation itself took):")
    out.append("")
    out.append("| task | " + " | ".join(lib.key for lib in libs) + " |")
    out.append("|" + "---|" * (len(libs) + 1))
    for task in TASKS:
        cells = []
        for lib in libs:
            r = res.get(rows, task.name, lib.key)
            if median(r) is None:
                cells.append("—")
                continue
            peak = peak_kb(r) / 1024
            delta = ((r.get("rss_peak_kb") or 0) - (r.get("rss_base_kb") or 0)) / 1024
            cells.append(f"{peak:,.0f} / {delta:+,.0f} MB")
        out.append(f"| {task.name} | " + " | ".join(cells) + " |")
    out.append("")
    return out


def _agreement(res: Results) -> list[str]:
    """Every library must give the same few numbers per task (row counts,
    sums, the first and middle key of a sort)."""
    lines = []
    for rows in res.sizes:
        for task in TASKS:
            answers = {}
            for lib in res.libs:
                r = res.get(rows, task.name, lib.key)
                if r and r.get("status") == "ok" and "summary" in r:
                    answers[lib.key] = r["summary"]
            if len(answers) < 2:
                continue
            ref_key = KELO if KELO in answers else next(iter(answers))
            ref = answers[ref_key]
            for key, ans in answers.items():
                if ans != ref:
                    lines.append(f"- {fmt_size(rows)} {task.name}: {key} gives {ans}, {ref_key} gives {ref}")
    return lines


PEER_TEXT = {
    "pandas": "pandas (C engine, default dtypes: text as Python str objects)",
    "pyarrow-1t": "pyarrow with one thread (`set_cpu_count(1)`, `set_io_thread_count(1)`, `use_threads=False`)",
    "polars-1t": "polars with one thread (`POLARS_MAX_THREADS=1`)",
    "duckdb-1t": "DuckDB with one thread (`SET threads=1`, results materialised as tables)",
    "csv": "the csv module (1e6 rows, CSV tasks only)",
    "pyarrow-mt": "pyarrow with its default threads, for reference on the CSV and group-by tasks (not counted as "
                  "a peer)",
}
PACKAGE = {"pandas": "pandas", "pyarrow-1t": "pyarrow", "pyarrow-mt": "pyarrow", "polars-1t": "polars",
           "duckdb-1t": "duckdb"}


def _headline(res: Results) -> str:
    rows = max(res.sizes)
    met = total = 0
    for task in TASKS:
        if not task.target:
            continue
        total += 1
        kr = res.get(rows, task.name, KELO)
        ratio = res.ratio(rows, task.name, against=task.target.against)
        if ratio is None:
            continue
        ok = ratio >= task.target.ratio if task.target.ratio > 1 else ratio > 1
        if task.target.mb_s:
            ok = ok and (mb_s(kr) or 0) >= task.target.mb_s
        met += ok
    return f"Targets met at {fmt_size(rows)} rows: {met} of {total}."


def write(meta: dict, results: list[dict], md_path: str, png_path: str) -> None:
    res = Results(meta, results)
    m = meta["machine"]
    notes: dict = {}
    versions = {}
    for key, v in meta.get("versions", {}).items():
        if key in PACKAGE:
            versions[PACKAGE[key]] = v
    peers = [PEER_TEXT[lib.key] for lib in res.peers if lib.key in PEER_TEXT]
    runs = meta["repeats"]
    samples = meta.get("samples")
    lines = [
        "# Performance",
        "",
        f"Measured {meta['date']} by `scripts/bench.sh{' --quick' if meta.get('quick') else ''}` "
        f"(which runs `bench/run.py`) in {meta['seconds'] // 60} min {meta['seconds'] % 60} s, "
        f"kelo_frame at commit {m.get('commit', '?')}."
        + "".join(f" Re-measured {u['date']} at commit {u.get('commit', '?')} (`bench/run.py --merge`, load "
                  f"average {u['load_average'][0]:g}-{u['load_average'][1]:g}): {', '.join(u['what'])}."
                  for u in meta.get("updated", ())),
        "",
        f"- Machine: {m.get('cpu')}, {m.get('cores')} cores"
        + (f" ({m['hypervisor']} virtual machine)" if m.get("hypervisor") else "")
        + (f", {m['memory_gb']} GB memory" if m.get("memory_gb") else "")
        + f", Linux {m.get('kernel')}. Shared and noisy: absolute times vary by up to a quarter between runs, "
          "ratios less"
        + (f"; the 5-minute load average was {meta['load_average'][0]:g} at the start and "
           f"{meta['load_average'][1]:g} at the end (other work on the machine; 1 means one busy core)."
           if meta.get("load_average") else "."),
        f"- Software: Python {m.get('python')}" + (f", kelo_frame built by {m['compiler']}" if m.get("compiler") else "")
        + ". " + "Peers: " + ", ".join(f"{k} {v}" for k, v in versions.items()) + ".",
        (f"- Method: the headline figure is the first call in a fresh process. Each (library, task, size) is "
         f"measured in up to {samples} new processes (fewer once its calls have taken {meta['budget']:g} s); each "
         "loads the input untimed (the read tasks start from the str or the file), then times the operation's "
         f"first call, with nothing run before it, and {'one more call' if runs == 2 else f'up to {runs - 1} more calls'} "
         "(warm, while the budget lasts), the result dropped "
         "after each. Shown: the median of the first calls (one a process) and, in its own column, the median "
         "of the warm calls; the targets are judged on the first calls." if samples else
         f"- Method: one fresh process per (library, task, size); the input is loaded untimed (the read tasks "
         f"start from the str or the file) and the operation run once on its first 1000 rows (a warm-up); then "
         + (f"up to {runs} timed runs (fewer once a measurement has taken {meta['budget']:g} s), the result "
            "dropped after each; the median is shown." if runs > 1 else "one timed run."))
        + " Data: the generated \"mixed\" "
        "CSV (i64 id; f64 price with 4 decimals; f64 score with 17 digits, ~5% empty; ~100 city names; YYYY-MM-DD "
        "dates; 10-40 character notes, ~4% quoted with commas and doubled quotes; i64 qty, ~2% empty) and the "
        "group-by \"G1\" CSV (id1..id3 texts, id4..id6 ints, v1, v2 ints, v3 float; 100 groups), "
        "the \"g1m\" CSV, the same with 5% of every column's cells empty (missing keys are groups, missing values "
        "are skipped), and the \"sorts\" CSV (i64 of 1000 values; i64, f64 and texts in order but for 1% of rows set to any "
        "value; 12 random hex digits), fixed seed (`bench/gen_data.py`). The sorts by those keys are timed "
        "against the peers fastest at sorting (polars-1t, duckdb-1t, and pyarrow-1t for texts).",
        "- Peers: " + "; ".join(peers) + ". Every library keeps the date column as text. Peers that read bytes "
        "get `text.encode()` inside the timed work; for read_file kelo_frame decodes the mapped file into a str "
        "(the way docs/API.md shows) and the peers read the path. Peers load their input for the other tasks from an Arrow "
        "file of the same data (untimed).",
        "- Ratio: the median time of the fastest single-thread peer divided by kelo_frame's (above 1: "
        "kelo_frame is faster). Filters and sorts of kelo_frame return views that share the columns; the "
        "\"view + list\" column times the same call followed by reading one column of the result back as a "
        "Python list, while the peers materialise every column (in their own format, not as lists).",
        "",
        "![kelo_frame's speed-up over the fastest single-thread peer](perf-ratios.png)",
        "",
        "## Targets",
        "",
        _headline(res),
        "",
    ]
    lines += _stall_rows(res)
    lines += _target_rows(res)
    lines.append("")
    # The profiles and reasons behind the targets not met are written by hand
    # (bench/gaps.md) and kept across runs.
    gaps = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gaps.md")
    if os.path.exists(gaps):
        with open(gaps, encoding="utf-8") as fh:
            lines += [fh.read().rstrip("\n"), ""]
    lines += threads.section(meta.get("threads"))
    for rows in sorted(res.sizes, reverse=True):
        lines += [f"## {fmt_size(rows)} rows", ""]
        lines += _size_tables(res, rows, notes)
    if notes:
        lines += ["Notes:", ""]
        lines += [f"[{n}] {text}  " for text, n in notes.items()]
        lines.append("")
    lines += scaling.section(meta.get("scaling"), os.path.join(os.path.dirname(png_path), "perf-scaling.png"))
    lines += interchange.report_lines(meta.get("interchange", []))
    mismatches = _agreement(res)
    lines += ["## Answers checked", ""]
    if mismatches:
        lines.append("Each library's answer is summarised (row count, sums, the first and middle key of a sort) "
                     "and compared; these differ:")
        lines.append("")
        lines += mismatches
    else:
        lines.append("Each library's answer was summarised (row count, sums, the first and middle key of a sort) "
                     "and every library that ran a task gave the same summary.")
    broken = sorted(k for k, v in meta.get("kelo_status", {}).items() if v != "ok")
    if broken:
        lines += ["", "kelo_frame tasks that did not run: " + ", ".join(broken) + "."]
    lines.append("")
    os.makedirs(os.path.dirname(md_path) or ".", exist_ok=True)
    with open(md_path, "w") as f:
        f.write("\n".join(lines))
    chart(res, png_path)


def chart(res: Results, png_path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [t.name for t in TASKS]
    fig, ax = plt.subplots(figsize=(9, 0.42 * len(names) + 1.6), dpi=110)
    height = 0.8 / max(1, len(res.sizes))
    colours = ["#4c72b0", "#dd8452", "#55a868"]
    any_bar = False
    span = [1.0] + [t.target.ratio for t in TASKS if t.target]
    for j, rows in enumerate(sorted(res.sizes)):
        ys, xs = [], []
        for i, name in enumerate(names):
            r = res.ratio(rows, name)
            if r:
                ys.append(i + (j - (len(res.sizes) - 1) / 2) * height)
                xs.append(r)
        if xs:
            any_bar = True
            span += xs
            ax.barh(ys, xs, height=height * 0.95, color=colours[j % len(colours)], label=f"{fmt_size(rows)} rows")
            for y, x in zip(ys, xs):
                ax.text(x * 1.04, y, f"{x:.1f}x", va="center", fontsize=7)
    for i, t in enumerate(TASKS):
        if t.target:
            goal = t.target.ratio
            ax.plot([goal, goal], [i - 0.45, i + 0.45], color="#c44e52", linewidth=2)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    lo, hi = min(span) / 1.5, max(span) * 1.8
    ax.set_xlim(lo, hi)
    ticks = [t for t in (0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500) if lo <= t <= hi]
    ax.set_xticks(ticks, [f"{t:g}x" for t in ticks])
    ax.minorticks_off()
    ax.set_yticks(range(len(names)))
    ax.set_yticklabels([f"{t.name}: {t.what}" for t in TASKS], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel("fastest single-thread peer's time / kelo_frame's time (log scale; red: target)")
    ax.set_title("kelo_frame's speed-up over the fastest single-thread peer", fontsize=10)
    if any_bar:
        ax.legend(loc="lower right", fontsize=8)
    else:
        ax.text(0.5, 0.5, "no kelo_frame results yet", transform=ax.transAxes, ha="center",
                bbox={"facecolor": "white", "edgecolor": "none"})
    fig.tight_layout()
    os.makedirs(os.path.dirname(png_path) or ".", exist_ok=True)
    fig.savefig(png_path)
    plt.close(fig)


if __name__ == "__main__":
    with open(sys.argv[1]) as fh:
        saved = json.load(fh)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    md = sys.argv[2] if len(sys.argv) > 2 else os.path.join(root, "docs", "PERFORMANCE.md")
    png = sys.argv[3] if len(sys.argv) > 3 else os.path.join(root, "docs", "perf-ratios.png")
    write(saved["meta"], saved["results"], md, png)
