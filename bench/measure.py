"""Measures one (library, task, size) in this process and prints one JSON line.

The runner starts a fresh process for every measurement, so that its peak
memory belongs to that measurement alone. Memory: the resident size after
loading the input (the baseline), then the peak of the timed runs (the kernel's
high-water mark is reset after loading); their difference is what the
operation itself took. The input is loaded first (untimed,
except for the read tasks, whose input is the text or the file itself); then
the operation runs `repeats` times, each result dropped before the next run,
and stops early once the runs have taken `budget` seconds.

With --fresh nothing runs before the first timed call (no warm-up), and that
call is kept apart ("first") from the later, warm ones ("times"): the first
call in a fresh process is what a program that runs an operation once sees,
page faults, lazily built tables and all.

    python3 -m bench.measure --lib pandas --task sort_i64 --rows 1000000 --fresh
"""

from __future__ import annotations

import argparse
import gc
import importlib
import itertools
import json
import os
import resource
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from bench import gen_data  # noqa: E402
from bench.libs import BY_KEY  # noqa: E402
from bench.tasks import BY_NAME  # noqa: E402


def _status_kb(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    """Lets VmHWM restart from the current resident size (Linux 4.0+)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


WARM_ROWS = 1000


def _warm_up(mod, fn, task_name: str, state) -> None:
    """Runs the operation once on the first rows, untimed: libraries that set
    up kernels, registries or thread pools on first use pay for that here,
    not in the timed runs."""
    if task_name in ("read_str", "read_str_g1"):
        end = -1
        for _ in range(WARM_ROWS):
            end = state.find("\n", end + 1)
            if end < 0:
                break
        fn(state if end < 0 else state[: end + 1], -1)
    elif task_name == "read_file":
        with open(state, encoding="utf-8", newline="") as f:
            text = "".join(itertools.islice(f, WARM_ROWS))
        fd, tmp = tempfile.mkstemp(suffix=".csv")
        try:
            with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
                f.write(text)
            fn(tmp, -1)
        finally:
            os.unlink(tmp)
    else:
        fn(mod.head(state, WARM_ROWS), -1)


def measure(lib_key: str, task_name: str, rows: int, repeats: int, budget: float,
            data_dir: str | None, fresh: bool = False) -> dict:
    lib = BY_KEY[lib_key]
    base_task = task_name.removesuffix("+list")
    task = BY_NAME[base_task]
    out = {"lib": lib_key, "task": task_name, "rows": rows, "status": "ok"}
    stage = "setup"
    try:
        mod = importlib.import_module("bench.libs." + lib.module)
        mod.setup(lib.threads)
        out["version"] = mod.version()
        fn = mod.TASKS.get(task_name)
        if fn is None:
            out["status"] = "n/a"
            return out
        out["note"] = getattr(mod, "NOTES", {}).get(task_name)
        paths = {"csv": gen_data.csv_path(task.data, rows, data_dir)}
        if lib.module not in ("kelo", "pycsv") and task_name not in ("read_str", "read_file", "read_str_g1"):
            paths["arrow"] = gen_data.arrow_path(task.data, rows, data_dir)
        out["bytes"] = os.path.getsize(paths["csv"])
        stage = "load"
        state = mod.load(task_name, paths)
        if not fresh:
            stage = "warm-up"
            _warm_up(mod, fn, task_name, state)
        gc.collect()
        out["load_peak_kb"] = _status_kb("VmHWM")
        out["rss_base_kb"] = _status_kb("VmRSS")
        out["peak_reset"] = _reset_peak()
        times = []
        cpu = []  # the process's CPU time of each call: less moved by other work on a shared machine
        stage = "run"
        for r in range(repeats):
            gc.collect()
            gc.disable()
            c0 = time.process_time()
            t0 = time.perf_counter()
            res = fn(state, r)
            elapsed = time.perf_counter() - t0
            cpu.append(time.process_time() - c0)
            gc.enable()
            if fresh and r == 0:
                out["first"] = [elapsed]
            else:
                times.append(elapsed)
            if "summary" not in out:
                stage = "summary"
                out["summary"] = mod.summary(task_name, res)
                stage = "run"
            del res
            if sum(times) + sum(out.get("first", ())) >= budget:
                break
        out["times"] = times
        out["cpu"] = cpu
        out["rss_peak_kb"] = _status_kb("VmHWM")
        # The process's own ru_maxrss: with the reset above, the peak of the
        # timed runs (the input included), not of loading it.
        out["ru_maxrss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    except Exception as e:  # reported, not raised: the runner goes on with the next measurement
        msg = f"{type(e).__name__}: {e}"
        out["status"] = "not built" if "not built yet" in str(e) else "error"
        out["error"] = msg
        out["stage"] = stage
        if out["status"] == "error":
            # Paths relative to the checkout, so that saved results name no machine's directories.
            root = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep
            out["traceback"] = traceback.format_exc(limit=6).replace(root, "")
    return out


def probe(lib_key: str, rows: int, data_dir: str | None) -> dict:
    """Which tasks work: each run once on a small table, in this one process.
    Gives task -> "ok", "not built" or the error."""
    from bench.libs.kelo import TASKS

    found = {}
    for name in TASKS:
        r = measure(lib_key, name, rows, 1, 0.0, data_dir)
        found[name] = r["status"] if r["status"] != "error" else r["error"]
    return found


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--lib", required=True, choices=sorted(BY_KEY))
    p.add_argument("--task", default="read_str")
    p.add_argument("--rows", required=True, type=lambda s: int(float(s)))
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--budget", type=float, default=60.0)
    p.add_argument("--data-dir")
    p.add_argument("--fresh", action="store_true",
                   help="no warm-up; the first call is reported apart from the later ones")
    p.add_argument("--probe", action="store_true", help="try every task once; --task is ignored")
    a = p.parse_args(argv)
    if a.probe:
        result = probe(a.lib, a.rows, a.data_dir)
    else:
        result = measure(a.lib, a.task, a.rows, a.repeats, a.budget, a.data_dir, a.fresh)
    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
