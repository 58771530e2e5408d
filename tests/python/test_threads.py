"""Objects are bound to the thread that made them."""

import gc
import re
import sys
import threading

import pytest

import kelo_frame
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


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.height(),
        lambda f: f.ints("a"),
        lambda f: f.add_ints("b", [1, 2, 3]),
        lambda f: f.head(1),
        str,
        repr,
    ],
)
def test_foreign_thread_call_panics(call):
    f = make_frame()
    out = run_in_thread(lambda: call(f))
    err = out["error"]
    assert type(err).__name__ == "PanicException"
    assert isinstance(err, BaseException) and not isinstance(err, Exception)
    assert err.args[0].startswith(
        "assertion `left == right` failed: kelo_frame::api::Frame is unsendable, but sent to another thread\n  left: ThreadId("
    )
    assert re.fullmatch(
        r"assertion `left == right` failed: .*\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)", err.args[0]
    )
    left, right = re.findall(r"ThreadId\((\d+)\)", err.args[0])
    assert left != right
    # Nothing changed, and the frame still works on its own thread.
    assert f.names() == ["a"] and f.ints("a") == [1, 2, 3]


def test_argument_errors_come_before_the_owner_check():
    f = make_frame()
    out = run_in_thread(lambda: f.head())
    assert isinstance(out["error"], TypeError)


def test_grouped_foreign_thread():
    f = make_frame()
    try:
        g = f.group(["a"])
    except ValueError:
        pytest.skip("grouping not available")
    out = run_in_thread(g.groups)
    assert "kelo_frame::api::Grouped is unsendable, but sent to another thread" in out["error"].args[0]


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


def test_drop_on_foreign_thread_reports_unraisable():
    gc.collect()  # earlier tests' garbage must not be collected on the other thread
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u)
    try:
        holder = [make_frame()]

        def drop():
            holder.pop()

        run_in_thread(drop)
    finally:
        sys.unraisablehook = old
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert str(seen[0].exc_value) == "kelo_frame::api::Frame is unsendable, but is being dropped on another thread"


def test_many_threads_in_a_loop_never_crash():
    frames = [make_frame() for _ in range(20)]
    errors = []

    def hammer():
        for f in frames:
            try:
                f.height()
            except BaseException as e:  # noqa: BLE001
                errors.append(type(e).__name__)
        local = make_frame()
        for _ in range(200):
            local.head(2).ints("a")

    threads = [threading.Thread(target=hammer) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == ["PanicException"] * 80
    assert all(f.ints("a") == [1, 2, 3] for f in frames)
    assert kelo_frame.Frame().height() == 0
