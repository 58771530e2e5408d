"""Objects are bound to the thread that made them."""

import re
import sys
import threading

import pytest

import gapped
from kelo_frame import read_csv


def run_in_thread(fn):
    out = {}

    def body():
        try:
            out["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - the panic is a BaseException
            out["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return out


def make_frame():
    return gapped.frame(a=[1, 2, 3])


# Every method panics on a foreign thread (test_hostile checks them all in a
# loop); here the panic's kind and text, for both classes.
def test_foreign_thread_call_panics():
    f = make_frame()
    g = f.group(["a"])
    err = run_in_thread(f.height)["error"]
    assert type(err).__name__ == "PanicException"
    assert isinstance(err, BaseException) and not isinstance(err, Exception)
    assert re.fullmatch(
        r"assertion `left == right` failed: kelo_frame::api::Frame is unsendable, but sent to another thread\n"
        r"  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)",
        err.args[0],
    )
    left, right = re.findall(r"ThreadId\((\d+)\)", err.args[0])
    assert left != right
    err = run_in_thread(g.groups)["error"]
    assert "kelo_frame::api::Grouped is unsendable, but sent to another thread" in err.args[0]
    # Nothing changed, and the frame still works on its own thread.
    assert f.names() == ["a"] and f.ints("a") == [1, 2, 3]


def test_argument_errors_come_before_the_owner_check():
    f = make_frame()
    out = run_in_thread(lambda: f.head())
    assert isinstance(out["error"], TypeError)


BIG = "k,v,s,d\n" + "".join(f"{i % 13},{i * 0.25},t{i % 7},2024-03-{i % 28 + 1:02d}\n" for i in range(200_000))
TRIES = 100
# name: (what is made before, with the lock; the call made again and again).
# Results are kept until the end: dropping a large one also lets go of the lock.
LONG_CALLS = {
    "read_csv": (lambda f: None, lambda x, i: read_csv(BIG)), "to_csv": (lambda f: f, lambda f, i: f.to_csv()),
    "sort": (lambda f: f, lambda f, i: f.sort("v", True)), "where_gt": (lambda f: f, lambda f, i: f.where_gt("v", 5.0)),
    "where_in": (lambda f: f, lambda f, i: f.where_in("s", ["t1", "t3"])),
    "group": (lambda f: f, lambda f, i: f.group(["s", "k"])),
    "sum": (lambda f: f.group(["s"]), lambda g, i: g.sum("v")), "tail": (lambda f: f, lambda f, i: f.tail(150_000)),
    "add_date_part": (lambda f: [f.where_gt("v", 1.0) for _ in range(TRIES)],
                      lambda views, i: views[i].add_date_part("y", "d", "year")),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_other_threads_run_during_a_long_call(name):
    # With a switch interval far longer than the test, a thread woken while
    # this one holds the lock gets it only when this one lets go of it: inside
    # the call if the call releases it, else at the join after the calls.
    prepare, call = LONG_CALLS[name]
    x = prepare(read_csv(BIG))
    kept = []
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        state, seen, go = {"in_call": False}, [], threading.Event()
        t = threading.Thread(target=lambda: (go.wait(), seen.append(state["in_call"])))
        t.start()
        go.set()
        state["in_call"] = True
        # The woken thread may need longer than one call to be scheduled.
        while not seen and len(kept) < TRIES:
            kept.append(call(x, len(kept)))
        state["in_call"] = False
        t.join()
    finally:
        sys.setswitchinterval(old)
    assert seen == [True]
