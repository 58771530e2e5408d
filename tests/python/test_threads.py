"""Objects are bound to the thread that made them."""

import gc
import re
import sys
import threading

import pytest

from kelo_frame import Frame


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
    f = Frame()
    f.add_ints("a", [1, 2, 3])
    return f


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


def test_frame_made_on_a_thread_belongs_to_it():
    out = run_in_thread(make_frame)
    f = out.pop("value")
    with pytest.raises(BaseException) as info:
        f.height()
    assert type(info.value).__name__ == "PanicException"
    del info
    # Dropping it here, off its own thread, is reported but never crashes.
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        del f
        gc.collect()
    finally:
        sys.unraisablehook = old
    assert [str(u.exc_value) for u in seen] == [
        "kelo_frame::api::Frame is unsendable, but is being dropped on another thread"
    ]
