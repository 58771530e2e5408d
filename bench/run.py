"""Runs the benchmark: every task, for kelo_frame and each peer library, on
generated data, one fresh process per (library, task, size), and writes the
report (docs/PERFORMANCE.md) and its chart (docs/perf-ratios.png).

    python3 bench/run.py            # 1e6 and 1e7 rows, 3 processes of 2 calls, every peer
    python3 bench/run.py --quick    # 1e6 rows, 1 process of 2 calls, fewer peers
    python3 bench/run.py --threads-only [--quick]   # only the two-thread section, printed

kelo_frame's tasks are first tried on a small table; those that do not work
yet (their methods raise "not built yet") are left out and shown as such.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import json
import os
import platform
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from bench import gen_data, report, scaling, threads  # noqa: E402
from bench.libs import BY_KEY, LIBS  # noqa: E402
from bench.tasks import READ_TASKS, TASKS, VIEW_COLUMN  # noqa: E402

QUICK_LIBS = ["kelo_frame", "pandas", "pyarrow-1t", "polars-1t"]
PROBE_ROWS = 2000


def _rows(text: str) -> int:
    return int(float(text))


def _installed(lib) -> bool:
    return lib.pip is None or importlib.util.find_spec(lib.pip) is not None


def _worker(args: list[str], env: dict, timeout: float) -> dict:
    """Runs bench.measure in a new process and returns its JSON."""
    cmd = [sys.executable, "-m", "bench.measure", *args]
    try:
        proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, stdin=subprocess.DEVNULL,
                              timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return {"status": "error", "error": f"timed out after {timeout:.0f} s"}
    lines = proc.stdout.decode(errors="replace").strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        tail = proc.stderr.decode(errors="replace").strip().splitlines()[-3:]
        return {"status": "error", "error": f"exit {proc.returncode}: {' | '.join(tail)}"}


def _samples(args: list[str], env: dict, timeout: float, samples: int, budget: float) -> dict:
    """Measures in up to `samples` fresh processes, each timing its first call
    apart from its later (warm) ones, and merges them: "first" holds one
    first call per process, "times" every warm call; the memory figures are
    the largest seen. Stops starting processes once the calls have taken
    `budget` seconds."""
    merged: dict | None = None
    spent = 0.0
    for _ in range(max(samples, 1)):
        r = _worker([*args, "--fresh", "--budget", str(max(budget - spent, 0.0))], env, timeout)
        if r.get("status") != "ok":
            if merged is None:
                return r
            break  # a later failure keeps the samples taken so far
        spent += sum(r.get("first", ())) + sum(r.get("times", ()))
        if merged is None:
            merged = r
            merged["cpu"] = [r.get("cpu", [])]  # one list a process, its first call first
        else:
            merged["first"] += r.get("first", [])
            merged["times"] += r.get("times", [])
            merged["cpu"].append(r.get("cpu", []))
            for key in ("load_peak_kb", "rss_peak_kb", "ru_maxrss_kb"):
                merged[key] = max(merged.get(key) or 0, r.get(key) or 0)
        if spent >= budget:
            break
    assert merged is not None  # the first process either failed (returned above) or was merged
    merged["samples"] = len(merged.get("first", []))
    return merged


def _env(lib) -> dict:
    env = dict(os.environ)
    env.update(dict(lib.env))
    env.setdefault("KELO_BUILD_DIR", "build")
    env["PYTHONWARNINGS"] = "ignore"
    return env


def machine() -> dict:
    info = {"cpu": platform.processor() or platform.machine(), "cores": os.cpu_count(),
            "python": sys.version.split()[0], "kernel": platform.release()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                info["cpu"] = value.strip()
            elif key.strip() == "Hypervisor vendor":
                info["hypervisor"] = value.strip()
    except OSError:
        pass
    if "cpu" not in info or info["cpu"] in ("", platform.machine()):
        # lscpu needs /sys, which the build root does not mount.
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        info["cpu"] = line.partition(":")[2].strip()
                        break
        except OSError:
            pass
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            info["memory_gb"] = round(kb / 1024 / 1024, 1)
    except OSError:
        pass
    # KELO_BENCH_COMMIT names the commit when the module was built from a
    # clean export of it rather than from this work tree.
    info["commit"] = os.environ.get("KELO_BENCH_COMMIT", "")
    if not info["commit"]:
        try:
            info["commit"] = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                                            capture_output=True, text=True, check=False).stdout.strip()
        except OSError:
            pass
    try:
        cxx = subprocess.run(["g++", "--version"], capture_output=True, text=True, check=False).stdout
        info["compiler"] = cxx.splitlines()[0] if cxx else ""
    except OSError:
        pass
    return info


def _threads(rows: int, repeats: int, data_args: list[str], timeout: float) -> dict:
    """bench/threads.py's measurement in a fresh process."""
    cmd = [sys.executable, "-m", "bench.threads", "--rows", str(rows), "--repeats", str(max(repeats, 3)), *data_args]
    try:
        proc = subprocess.run(cmd, cwd=ROOT, env=_env(BY_KEY["kelo_frame"]), capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:.0f} s"}
    try:
        return json.loads(proc.stdout.decode(errors="replace").strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        tail = proc.stderr.decode(errors="replace").strip().splitlines()[-3:]
        return {"error": f"exit {proc.returncode}: {' | '.join(tail)}"}


def _merged(path: str, meta: dict, results: list[dict]) -> tuple[dict, list[dict]]:
    """The earlier run's results with this run's in place of the same
    (library, task, size), and its sections replaced by those this run
    measured. The earlier run's date and settings stay the report's; what
    was re-measured, and when, is listed under "updated"."""
    with open(path) as f:
        old = json.load(f)
    key = lambda r: (r.get("lib"), r.get("task"), r.get("rows"))  # noqa: E731
    new = {key(r): r for r in results}
    merged = [new.pop(key(r), r) for r in old["results"]]
    merged.extend(new.values())
    out = dict(old["meta"])
    names = {r["task"] for r in results}
    every = {t.name for t in TASKS} | {t + "+list" for t in VIEW_COLUMN}
    sizes = " and ".join(f"{n:.0e}".replace("+0", "") for n in sorted({r["rows"] for r in results}))
    libs = ", ".join(sorted({r["lib"] for r in results}))
    what = [f"{libs}: {'every task' if names >= every else ', '.join(sorted(names))} at {sizes}"] if results else []
    for section in ("interchange", "threads", "scaling"):
        if meta.get(section):
            out[section] = meta[section]
            what.append(section)
    if meta.get("versions"):
        out["versions"] = {**out.get("versions", {}), **meta["versions"]}
    out["updated"] = [*out.get("updated", []),
                      {"date": meta["date"], "commit": meta["machine"].get("commit"), "what": what,
                       "load_average": meta["load_average"]}]
    return out, merged


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="1e6 rows, 1 process of 2 calls, fewer peers")
    p.add_argument("--sizes", nargs="+", type=_rows, help="row counts (default 1e6 1e7)")
    p.add_argument("--libs", nargs="+", choices=[lib.key for lib in LIBS])
    p.add_argument("--tasks", nargs="+", choices=[t.name for t in TASKS])
    p.add_argument("--repeats", type=int, help="calls per process, the first included (default 2)")
    p.add_argument("--samples", type=int, help="fresh processes per measurement (default 3; 1 with --quick)")
    p.add_argument("--budget", type=float, default=15.0,
                   help="stop repeating once the runs of one measurement took this many seconds")
    p.add_argument("--timeout", type=float, default=900.0, help="seconds before one measurement is given up")
    p.add_argument("--data-dir", default=None, help=f"cache of generated data (default {gen_data.DEFAULT_DIR})")
    p.add_argument("--out-md", default=os.path.join(ROOT, "docs", "PERFORMANCE.md"))
    p.add_argument("--out-png", default=os.path.join(ROOT, "docs", "perf-ratios.png"))
    p.add_argument("--out-json", default=os.path.join(ROOT, "docs", "perf-results.json"))
    p.add_argument("--no-report", action="store_true", help="write only the JSON results")
    p.add_argument("--no-scaling", action="store_true", help="leave out the scaling curves (bench/scaling.py; also left out with --sizes)")
    p.add_argument("--no-interchange", action="store_true", help="leave out the Arrow/pickle timings")
    p.add_argument("--threads-only", action="store_true",
                   help="run only the two-thread section (bench/threads.py) at the largest size and print it")
    p.add_argument("--merge", action="store_true",
                   help="re-measure only what this run selects and merge it into the existing --out-json: "
                        "its results replace the same (library, task, size) and the sections it ran, the rest "
                        "is kept; the report says what was re-measured and when")
    p.add_argument("--no-threads", action="store_true", help="leave out the two-thread section")
    p.add_argument("--no-tasks", action="store_true",
                   help="measure no task, only the interchange, two-thread and scaling sections (with --merge)")
    a = p.parse_args(argv)

    sizes = a.sizes or ([1_000_000] if a.quick else [1_000_000, 10_000_000])
    repeats = a.repeats or 2
    samples = a.samples or (1 if a.quick else 3)
    keys = a.libs or (QUICK_LIBS if a.quick else [lib.key for lib in LIBS])
    libs = []
    for key in keys:
        lib = BY_KEY[key]
        if _installed(lib):
            libs.append(lib)
        else:
            print(f"bench: {key} is not installed (bench/setup_venv.sh adds it); left out", file=sys.stderr)
    tasks = [t for t in TASKS if not a.tasks or t.name in a.tasks]
    data_args = ["--data-dir", a.data_dir] if a.data_dir else []
    started = time.time()
    load_before = os.getloadavg()[1]
    if a.threads_only:
        found = _threads(max(sizes), repeats, data_args, a.timeout)
        print("\n".join(threads.section(found)))
        return 0 if "error" not in found else 1

    # Data first, so that no measurement pays for generating it. It is made
    # in a child process: this one stays small, because a child's ru_maxrss
    # starts from the size of the process that started it.
    need_arrow = any(lib.module not in ("kelo", "pycsv") for lib in libs)
    for rows in sizes:
        for kind in sorted({t.data for t in tasks}):
            t0 = time.time()
            arrow = need_arrow and any(t.data == kind and t.name not in READ_TASKS for t in tasks)
            subprocess.run([sys.executable, "-m", "bench.gen_data", kind, str(rows), *data_args,
                            *(["--arrow"] if arrow else [])], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
            if time.time() - t0 > 1:
                print(f"bench: data {kind} {rows:.0e} ready ({time.time() - t0:.0f} s)", file=sys.stderr)

    # Which of kelo_frame's methods work today.
    kelo_status: dict = {}
    if any(lib.key == "kelo_frame" for lib in libs):
        probe_dir = os.path.join(a.data_dir or gen_data.data_dir(), "probe")
        found = _worker(["--lib", "kelo_frame", "--probe", "--rows", str(PROBE_ROWS),
                            "--data-dir", probe_dir], _env(BY_KEY["kelo_frame"]), a.timeout)
        if "status" in found and isinstance(found.get("status"), str) and "error" in found:
            kelo_status = {t.name: found["error"] for t in tasks}
        else:
            kelo_status = found
        broken = sorted(k for k, v in kelo_status.items() if v != "ok")
        if broken:
            print(f"bench: kelo_frame tasks not working yet: {', '.join(broken)}", file=sys.stderr)

    plan = []
    for rows in sizes if not a.no_tasks else ():
        for task in tasks:
            for lib in libs:
                if lib.max_rows and rows > lib.max_rows:
                    continue
                if lib.tasks is not None and task.name not in lib.tasks:
                    continue
                if task.peers is not None and lib.key != "kelo_frame" and lib.key not in task.peers:
                    continue
                names = [task.name]
                if lib.key == "kelo_frame" and task.name in VIEW_COLUMN:
                    names.append(task.name + "+list")
                plan.extend((rows, name, lib) for name in names)

    results = []
    for i, (rows, name, lib) in enumerate(plan, 1):
        if lib.key == "kelo_frame" and kelo_status.get(name, "ok") != "ok":
            status = kelo_status[name]
            r = {"lib": lib.key, "task": name, "rows": rows,
                 "status": "not built" if status == "not built" else "error",
                 "error": None if status == "not built" else status}
        else:
            args = ["--lib", lib.key, "--task", name, "--rows", str(rows), "--repeats", str(repeats), *data_args]
            r = _samples(args, _env(lib), a.timeout, samples, a.budget)
            r.setdefault("lib", lib.key)
            r.setdefault("task", name)
            r.setdefault("rows", rows)
        results.append(r)
        print(f"bench: [{i}/{len(plan)}] {rows:.0e} {name:<16} {lib.key:<11} {report.progress(r)}",
              file=sys.stderr)

    # Interchange (Arrow export/import, pickling): kelo_frame only, one process per size.
    interchange = []
    if not a.no_interchange and not a.tasks and any(lib.key == "kelo_frame" for lib in libs):
        for rows in sizes:
            done = subprocess.run([sys.executable, "-m", "bench.interchange", "--rows", str(rows),
                                   "--repeats", str(max(repeats, 3)), *data_args], cwd=ROOT, env=_env(BY_KEY["kelo_frame"]),
                                  capture_output=True, text=True, timeout=a.timeout, check=False)
            if done.returncode == 0:
                interchange.append(json.loads(done.stdout))
            else:
                print(f"bench: interchange {rows:.0e} failed: {done.stderr.strip()[-400:]}", file=sys.stderr)

    # Two threads at once, at the largest size, when the whole set of tasks ran.
    found_threads = None
    if not a.tasks and not a.no_threads and any(lib.key == "kelo_frame" for lib in libs):
        found_threads = _threads(max(sizes), repeats, data_args, a.timeout)
        print(f"bench: two threads: {json.dumps(found_threads)}", file=sys.stderr)

    meta = {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "machine": machine(), "sizes": sizes, "repeats": repeats, "samples": samples, "budget": a.budget,
            "quick": a.quick, "libs": [lib.key for lib in libs], "seconds": round(time.time() - started),
            "versions": {r["lib"]: r["version"] for r in results if r.get("version")},
            # The 5-minute load average at the start and the end: other work
            # on the machine slows every library down, kelo_frame included.
            "load_average": [round(load_before, 1), round(os.getloadavg()[1], 1)],
            "kelo_status": kelo_status, "interchange": interchange, "threads": found_threads}
    # The curves take their own sizes; a run limited to other sizes leaves them out.
    if not a.no_scaling and not a.sizes and "kelo_frame" in [lib.key for lib in libs]:
        meta["scaling"] = scaling.run(quick=a.quick, libs=[k for k in scaling.PEERS if k in meta["libs"]])
        meta["seconds"] = round(time.time() - started)
    if a.merge:
        meta, results = _merged(a.out_json, meta, results)
    os.makedirs(os.path.dirname(a.out_json), exist_ok=True)
    with open(a.out_json, "w") as f:
        json.dump({"meta": meta, "results": results}, f, indent=1)
    if not a.no_report:
        report.write(meta, results, a.out_md, a.out_png)
        print(f"bench: wrote {a.out_md} and {a.out_png}", file=sys.stderr)
    print(f"bench: done in {time.time() - started:.0f} s; results in {a.out_json}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
