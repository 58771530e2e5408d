"""Repeated calls, failing ones included, leave memory flat."""

import gc
import resource

import pytest

from kelo_frame import Frame


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def churn(n):
    for i in range(n):
        f = Frame()
        f.add_ints("a", [i, 2, 3])
        f.add_floats("b", [1.5, 2.5, 3.5])
        f.add_strings("c", ["x", "yy", "zzz"])
        f.ints("a"), f.floats("b"), f.strings("c"), f.names(), f.dtypes(), f.describe()
        f.head(2).tail(1).select(["c"]).strings("c")
        for bad in (lambda: f.ints("nope"), lambda: f.add_ints("a", [1]), lambda: f.floats("a")):
            try:
                bad()
            except ValueError:
                pass
        for bad in (lambda: f.head(None), lambda: f.add_strings("d", ["a", None]), lambda: f.select("x")):
            try:
                bad()
            except TypeError:
                pass


@pytest.mark.slow
def test_memory_stays_flat():
    churn(20_000)  # warm up allocator pools and caches
    gc.collect()
    before = rss_kb()
    churn(100_000)
    gc.collect()
    grown = rss_kb() - before
    assert grown < 4_000, f"RSS grew by {grown} kB"


def test_no_reference_leaks_on_arguments():
    import sys

    values = [10**12 + 1, 10**12 + 2]
    name = "col" + "umn"
    before = (sys.getrefcount(values), sys.getrefcount(name), sys.getrefcount(values[0]))
    for _ in range(1000):
        f = Frame()
        f.add_ints(name, values)
        f.ints(name)
        try:
            f.add_ints(name, values)
        except ValueError:
            pass
    del f
    assert (sys.getrefcount(values), sys.getrefcount(name), sys.getrefcount(values[0])) == before
