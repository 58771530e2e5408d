"""Several threads at once, each making, deriving, aggregating, writing and
dropping its own frames (large enough that the engine runs without the
interpreter lock) while calling and dropping each other's objects. Run for a
bounded time (KELO_STRESS_SECONDS, default 2); scripts/tsan.sh runs it under
ThreadSanitizer and scripts/sanitize.sh under ASan and UBSan."""

import os
import sys
import threading
import time

from kelo_frame import read_csv

SECONDS = float(os.environ.get("KELO_STRESS_SECONDS", "2"))
ROWS = 20_000  # above the size from which the lock is released
TEXT = "k,v,s,d\n" + "".join(f"{i % 13},{i * 0.25},t{i % 7},2024-03-{i % 28 + 1:02d}\n" for i in range(ROWS))
SMALL = "k,v\n1,2.5\n3,4.5\n"
DROPPED = " is unsendable, but is being dropped on another thread"


def work(base):
    """One round of a thread's own work on its frame, the objects it made
    and the answers it must give."""
    v = base.where_ge("v", 100.0).sort("s", True)
    v.add_date_part("day", "d", "day")  # materialises the view's columns
    g = v.group(["k", "s"])
    total = g.sum("v")
    back = read_csv(v.tail(ROWS - 10).to_csv())
    answers = (g.groups(), sum(total.floats("v")), back.height(), back.ints("day")[:3])
    # The other threads call the first five (base included, which this thread
    # keeps using) and drop from the end: small frames of their own, and views
    # sharing base's columns.
    return [base, v, g, total, back, read_csv(SMALL), read_csv(SMALL), base.head(5), base.select(["k"])], answers


def test_threads_work_on_their_own_frames_while_others_poke_at_them():
    expected = work(read_csv(TEXT))[1]
    board = {}  # thread number -> objects it made and shows to the others
    found = []
    seen = []
    old = sys.unraisablehook
    # Only the text: the report's traceback holds the dropping thread's frame,
    # whose objects would then be dropped here, on a foreign thread, later.
    sys.unraisablehook = lambda u: seen.append((type(u.exc_value), str(u.exc_value)))

    def body(me, others):
        try:
            deadline = time.monotonic() + SECONDS
            rounds = 0
            base = read_csv(TEXT)
            while rounds == 0 or time.monotonic() < deadline:
                objects, answers = work(base)
                assert answers == expected
                board[me] = objects
                for other in others:
                    theirs = board.get(other, [])
                    for obj in theirs[:5]:
                        try:
                            obj.describe()
                            found.append(f"a foreign call on {obj!r} went through")
                        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
                            if type(e).__name__ != "PanicException" or "is unsendable, but sent to" not in str(e):
                                found.append(repr(e))
                    # One of theirs dropped here (reported and leaked).
                    if len(theirs) > 5:
                        theirs.pop()
                rounds += 1
            board.pop(me)  # dropped here, unless another thread still looks at them
        except BaseException as e:  # noqa: BLE001
            found.append(repr(e))

    count = 4
    threads = [threading.Thread(target=body, args=(i, [j for j in range(count) if j != i])) for i in range(count)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.unraisablehook = old
    assert found == []
    assert seen and all(kind is RuntimeError and text.endswith(DROPPED) for kind, text in seen)
