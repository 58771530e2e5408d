"""What fresh memory costs on this machine: the first write to each page of a new anonymous mapping, with
and without huge pages, for memory the system has had free for a while and for memory freed a moment before.

    python3 -m bench.fresh_memory            # 256 MiB, each case three times

On a virtual machine whose balloon driver reports free memory to its host (free page reporting), the host
takes back the pages of free 2 MiB blocks; the first write to such a block then waits on the host as well,
while a block freed a moment before, not yet reported, costs only its clearing. The first call of an
operation in a fresh process meets the first kind, its repeats often the second.

It also times successive reads of memory written a moment before (and written, then left alone a few
seconds): on a shared virtual machine the first read can take several times the fourth, huge pages or not,
with no library code involved. An operation whose work is mostly one pass over its input, such as a filter
or a sort of a million rows, meets that on its first call in a fresh process, since the input was just
loaded; its repeats read the input again. The report's first-call figures are read with these costs at hand.
"""

from __future__ import annotations

import argparse
import mmap
import os
import resource
import statistics
import sys
import time

HUGE = 2 << 20


def touch(size: int, huge: bool, blob: bytes) -> tuple[float, float, int]:
    """Seconds, system seconds and page faults of writing every page of a new private mapping once."""
    m = mmap.mmap(-1, size + HUGE, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    m.madvise(mmap.MADV_HUGEPAGE if huge else mmap.MADV_NOHUGEPAGE)
    r0, t0 = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
    m.write(blob)
    seconds = time.perf_counter() - t0
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    m.close()
    return seconds, r1.ru_stime - r0.ru_stime, r1.ru_minflt - r0.ru_minflt


def reads(size: int, huge: bool, gap: float, passes: int) -> list[float]:
    """Seconds of each of `passes` reads of a new mapping of `size` bytes, written once `gap` seconds before.
    A read is a search for a byte the memory does not hold (memchr over every byte)."""
    m = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    m.madvise(mmap.MADV_HUGEPAGE if huge else mmap.MADV_NOHUGEPAGE)
    m.write(b"x" * size)
    time.sleep(gap)
    out = []
    for _ in range(passes):
        t0 = time.perf_counter()
        found = m.find(b"\x01", 0)
        out.append(time.perf_counter() - t0)
        assert found == -1
    m.close()
    return out


def reported() -> str:
    path = "/sys/module/page_reporting/parameters/page_reporting_order"
    if not os.path.exists(path):
        return "free page reporting: not visible here (no /sys/module/page_reporting)"
    with open(path) as f:
        order = int(f.read())
    return f"free page reporting: on, free blocks of {4 << order} KiB and more"


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--mib", type=int, default=256)
    p.add_argument("--times", type=int, default=3)
    p.add_argument("--idle", type=float, default=4.0, help="seconds memory stays free before the 'idle' case")
    a = p.parse_args(argv)
    size = a.mib << 20
    blob = b"\x01" * size
    print(reported())
    for huge in (True, False):
        for case in ("idle", "just freed"):
            runs = []
            for _ in range(a.times):
                if case == "idle":
                    time.sleep(a.idle)
                else:
                    touch(size, huge, blob)  # frees its pages just before the timed touch
                runs.append(touch(size, huge, blob))
            s = statistics.median(r[0] for r in runs)
            print(f"{'huge' if huge else 'small'} pages, memory {case:<10}: {s * 1e3:6.0f} ms "
                  f"({s / (size / 2**30):.2f} s/GiB; system {statistics.median(r[1] for r in runs) * 1e3:.0f} ms, "
                  f"{statistics.median(r[2] for r in runs)} faults)")
    for mib in (8, 64):
        for huge in (False, True):
            for gap in (0.0, a.idle):
                runs = [reads(mib << 20, huge, gap, 4) for _ in range(a.times)]
                each = " ".join(f"{statistics.median(r[k] for r in runs) * 1e3:.2f}" for k in range(4))
                print(f"reads of {mib} MiB, {'huge' if huge else 'small'} pages, written {gap:.0f} s before: "
                      f"{each} ms (first to fourth)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
