"""Times the same few calls with two or more builds of the module, for a
toolchain, linker or engine change: read_csv of the mixed and G1 texts, sorts
by number and text columns (few and many distinct texts), grouped sums by
number and text keys, filters, and strings(), at 1e6 rows. Each build runs in its own
interpreter, rounds alternate between the builds, and the medians are printed.

    python3 -m bench.compare_builds DIR_WITH_SO [DIR_WITH_SO ...] [--rounds 7]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

from bench import gen_data

ROWS = 1_000_000

# Runs in a child interpreter with one build first on sys.path.
CHILD = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
import kelo_frame as k
mixed = open(sys.argv[2]).read()
g1 = open(sys.argv[3]).read()
def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter(); fn(); times.append(time.perf_counter() - t)
    return min(times)
m = k.read_csv(mixed)
g = k.read_csv(g1)
print(json.dumps({
    "read_csv mixed": best(lambda: k.read_csv(mixed)),
    "read_csv g1": best(lambda: k.read_csv(g1)),
    "sort f64": best(lambda: m.sort("score", False)),
    "sort i64": best(lambda: m.sort("id", True)),
    "sort str": best(lambda: m.sort("city", False)),
    "sort str 20k": best(lambda: m.sort("note", False)),
    "sort str 100k": best(lambda: g.sort("id3", False)),
    "sort view str": best(lambda: m.where_gt("qty", 50).sort("note", True)),
    "group sum id1": best(lambda: g.group(["id1"]).sum("v1")),
    "group sum id1,id2": best(lambda: g.group(["id1", "id2"]).sum("v1")),
    "group sum id3": best(lambda: g.group(["id3"]).sum("v1")),
    "group sum id6": best(lambda: g.group(["id6"]).sum("v1")),
    "where_in city": best(lambda: m.where_in("city", ["Paris", "Lima", "Oslo"])),
    "where_among qty": best(lambda: m.where_among("qty", [1, 5, 9, 50])),
    "strings city": best(lambda: m.strings("city")),
    "strings note": best(lambda: m.strings("note")),
    "strings id3": best(lambda: g.strings("id3")),
}))
"""


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="directories holding kelo_frame.abi3.so")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args(argv)
    mixed = gen_data.csv_path("mixed", ROWS)
    g1 = gen_data.csv_path("g1", ROWS)
    runs: dict[str, list[dict[str, float]]] = {b: [] for b in args.builds}
    for _ in range(args.rounds):
        for build in args.builds:
            out = subprocess.run([sys.executable, "-c", CHILD, build, mixed, g1],
                                 check=True, stdout=subprocess.PIPE, text=True).stdout
            runs[build].append(json.loads(out))
    tasks = list(runs[args.builds[0]][0])
    print(f"{'task (median ms)':<20}" + "".join(f"{b[-24:]:>26}" for b in args.builds))
    for task in tasks:
        cells = [statistics.median(r[task] for r in runs[b]) * 1e3 for b in args.builds]
        print(f"{task:<20}" + "".join(f"{c:>26.1f}" for c in cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
