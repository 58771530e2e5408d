"""Two Python threads at once: the same work done by two threads side by side
against one after the other on one thread, and how far a pure-Python thread
gets while kelo_frame reads a large CSV.

    python3 -m bench.threads --rows 1e6           # prints the JSON of one run
    python3 bench/run.py --threads-only --quick   # this section alone, in the report

Every frame is made, used and dropped on one thread (a frame belongs to the
thread that made it). Each thread has its own copy of the input: its own str
to read, its own G1 table to group.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import threading
import time

from bench import gen_data

G1_QUERIES = ("g1_q1", "g1_q2", "g1_q3", "g1_q4", "g1_q5")


def _read(text: str) -> int:
    from bench.libs.kelo import kf

    f = kf.read_csv(text)
    rows = f.height()
    del f  # dropped on the thread that made it
    return rows


def _group(frame) -> None:
    from bench.libs import kelo

    for q in G1_QUERIES:
        kelo.TASKS[q](frame, None)


class Pair:
    """Two worker threads, each with its own input built on that thread by
    `made(i)` (untimed), that run `work(own_input)` when told: both at once,
    or one after the other (thread 1 waits for thread 0 to finish), so that
    both ways run on the same inputs and take turns under the same load. One
    after the other includes one hand-over between the threads: microseconds
    on a quiet machine, but a wait for the scheduler on a crowded one, where
    small inputs then show a gain even with the lock held throughout."""

    def __init__(self, made, work):
        self.work = work
        # A worker that fails breaks the barriers (by their timeout) rather
        # than leaving the run waiting for ever.
        self.start = threading.Barrier(3, timeout=900)
        self.done = threading.Barrier(3, timeout=900)
        self.turn = threading.Event()
        self.one_by_one = False
        self.stop = False
        self.threads = [threading.Thread(target=self._run, args=(made, i)) for i in range(2)]
        for t in self.threads:
            t.start()
        self.done.wait()  # both inputs made

    def _run(self, made, i):
        own = made(i)
        self.done.wait()
        while True:
            self.start.wait()
            if self.stop:
                break
            if self.one_by_one and i == 1:
                self.turn.wait()
            self.work(own)
            if i == 0:
                self.turn.set()
            self.done.wait()
        del own  # dropped on the thread that made it

    def time(self, one_by_one: bool) -> float:
        self.one_by_one = one_by_one
        self.turn.clear()
        self.start.wait()
        t0 = time.perf_counter()
        self.done.wait()
        return time.perf_counter() - t0

    def close(self):
        self.stop = True
        self.start.wait()
        for t in self.threads:
            t.join()


def _compare(made, work, repeats: int) -> dict:
    """Median seconds of the work on two inputs one after the other, and of
    the same two at once, the two ways alternating."""
    pair = Pair(made, work)
    sequential, parallel = [], []
    try:
        for _ in range(repeats):
            sequential.append(pair.time(one_by_one=True))
            parallel.append(pair.time(one_by_one=False))
    finally:
        pair.close()
    gc.collect()
    seq, par = statistics.median(sequential), statistics.median(parallel)
    return {"sequential_s": seq, "two_threads_s": par, "speedup": seq / par}


def _ticks(text: str, repeats: int) -> dict:
    """A pure-Python counter's rate while read_csv runs on the main thread,
    against its rate alone."""
    count = [0]
    running = threading.Event()
    stop = [False]

    def counter():
        running.set()
        while not stop[0]:
            count[0] += 1

    def rate(during) -> float:
        t = threading.Thread(target=counter)
        stop[0] = False
        count[0] = 0
        running.clear()
        t.start()
        running.wait()
        c0, t0 = count[0], time.perf_counter()
        during()
        c1, t1 = count[0], time.perf_counter()
        stop[0] = True
        t.join()
        return (c1 - c0) / (t1 - t0), t1 - t0

    reads, alone = [], []
    for _ in range(repeats):
        r, seconds = rate(lambda: _read(text))
        reads.append(r)
        alone.append(rate(lambda: time.sleep(seconds))[0])
    during, idle = statistics.median(reads), statistics.median(alone)
    return {"ticks_per_s_during_read": during, "ticks_per_s_alone": idle, "share": during / idle}


def measure(rows: int, repeats: int, data_dir: str | None) -> dict:
    from bench.libs import kelo
    from bench.libs.kelo import kf

    mixed = gen_data.csv_path("mixed", rows, data_dir)
    g1 = gen_data.csv_path("g1", rows, data_dir)
    # Each thread's own str: two decodes of the file, not two names for one.
    read = _compare(lambda i: kelo._text(mixed), _read, repeats)
    with open(mixed, "rb") as fh:
        read["mb"] = len(fh.read()) / 1e6
    group = _compare(lambda i: kf.read_csv(kelo._text(g1)), _group, repeats)
    ticks = _ticks(kelo._text(mixed), repeats)
    return {"rows": rows, "repeats": repeats, "read": read, "group": group, "ticks": ticks}


def section(r: dict | None) -> list[str]:
    """The report's lines for one result of measure()."""
    if not r:
        return []
    if "error" in r:
        return ["## Two threads", "", f"Not measured: {r['error']}", ""]
    read, group, ticks = r["read"], r["group"], r["ticks"]
    size = f"{r['rows']:.0e}".replace("e+0", "e")
    return [
        "## Two threads",
        "",
        f"Two Python threads, each with its own {size}-row input, working at once against the same two working one "
        "after the other (`bench/threads.py`, the two ways alternating, the median of "
        f"{r['repeats']} runs). kelo_frame releases the interpreter lock while it reads, filters, sorts, groups, "
        "aggregates and writes. Target: at least 1.7x the sequential throughput.",
        "",
        "| work (per thread) | one after the other | both at once | speed-up |",
        "|---|---|---|---|",
        f"| read_csv of the mixed CSV ({read['mb']:.0f} MB) | {read['sequential_s']:.3f} s | "
        f"{read['two_threads_s']:.3f} s | {read['speedup']:.2f}x |",
        f"| G1: {', '.join(G1_QUERIES)} | {group['sequential_s']:.3f} s | {group['two_threads_s']:.3f} s | "
        f"{group['speedup']:.2f}x |",
        "",
        f"A pure-Python thread counting in a loop kept {ticks['share']:.0%} of its rate while the main thread ran "
        f"read_csv on the mixed CSV ({ticks['ticks_per_s_during_read']:.3g} against "
        f"{ticks['ticks_per_s_alone']:.3g} counts per second alone).",
        "",
    ]


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=lambda s: int(float(s)), default=10_000_000)
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--data-dir")
    a = p.parse_args(argv)
    print(json.dumps(measure(a.rows, a.repeats, a.data_dir)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
