"""The type stubs: they match the built module (stubtest), type-check the examples under
mypy --strict, accept what the module accepts and refuse what it refuses."""

import os
import re
import subprocess
import sys

import pytest

from conftest import BUILD, ROOT

pytest.importorskip("mypy", reason="mypy checks the stubs")

INSTALLED = os.environ.get("KELO_INSTALLED") == "1"


def mypy(*args, cwd):
    """Runs mypy (or one of its tools) against the module under test; returns (code, output)."""
    env = dict(os.environ)
    if not INSTALLED:
        # The developer build keeps the stub file next to the module.
        env["PYTHONPATH"] = env["MYPYPATH"] = str(BUILD)
    proc = subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, timeout=300,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
    )
    return proc.returncode, proc.stdout


@pytest.mark.skipif(INSTALLED, reason="checks the developer build's copy of the stubs")
def test_developer_build_carries_the_current_stubs():
    assert (BUILD / "kelo_frame.pyi").read_bytes() == (ROOT / "src/api/kelo_frame.pyi").read_bytes()


def test_stubs_match_the_module(tmp_path):
    code, out = mypy("mypy.stubtest", "kelo_frame", cwd=tmp_path)
    assert code == 0, out


def test_examples_type_check_strictly(tmp_path):
    code, out = mypy("mypy", "--strict", ROOT / "examples", cwd=tmp_path)
    assert code == 0, out


ACCEPTED = """
from typing import assert_type
import kelo_frame
from kelo_frame import Frame, Grouped, read_csv

class Index:
    def __index__(self) -> int: return 2

f: Frame = read_csv(text="a,b,d\\n1,2.5,2024-01-02\\n")
assert_type(kelo_frame.__all__, list[str])
g = Frame()
g.add_ints("i", [1, True]); g.add_ints(name="j", values=b"\\x01\\x02"); g.add_ints("k", range(2))
g.add_floats("x", (1, 2.5)); g.add_floats("y", [Index(), 1.0]); g.add_strings("s", ["a", "b"])
f.add_date_part("y", "d", "year"); f.add_date_part(name="m", source="d", part="month")
assert_type(f.height(), int); assert_type(f.width(), int)
assert_type(f.names(), list[str]); assert_type(f.dtypes(), list[str])
assert_type(f.ints("a"), list[int | None]); assert_type(f.floats("b"), list[float | None])
assert_type(f.strings("d"), list[str | None])
v: Frame = f.head(2).tail(n=Index()).select(("a", "b")).sort("a", descending=True)
v = f.where_eq("a", 1).where_ne("a", 1.5).where_lt("a", True).where_le("a", Index())
v = f.where_gt(name="a", value=0).where_ge("b", 2.0).where_among("a", [1, 2.5, Index()])
v = f.where_is("d", "x").where_in("d", ["x", "y"])
gr: Grouped = f.group(["d"])
assert_type(gr.groups(), int); assert_type(gr.count(), Frame)
v = gr.sum("a"); v = gr.mean(name="b"); v = gr.min("d"); v = gr.max("a")
assert_type(f.to_csv(), str); assert_type(f.describe(), str); assert_type(gr.describe(), str)
assert_type(f.free(), None); assert_type(gr.free(), None)
assert_type(str(f), str); assert_type(repr(gr), str)
"""

# Each line is wrong in a way the module refuses at run time; mypy must say so on that line.
REFUSED = [
    ('kelo_frame.Grouped()', 'Too few arguments for "Grouped"'),
    ('kelo_frame.Frame(1)', 'Too many arguments for "Frame"'),
    ('kelo_frame.read_csv(txt="a")', 'Unexpected keyword argument "txt"'),
    ('kelo_frame.read_csv(b"a")', 'expected "str"'),
    ('f.head()', 'Missing positional argument "n"'),
    ('f.head(2.0)', 'expected "SupportsIndex"'),
    ('f.head(5, n=5)', 'multiple values for keyword argument "n"'),
    ('f.where_eq("x", None)', 'expected "SupportsFloat | SupportsIndex"'),
    ('f.where_eq(1, 2)', 'expected "str"'),
    ('f.where_is("x", None)', 'expected "str"'),
    ('f.where_in("x", [1])', 'List item 0 has incompatible type "int"; expected "str"'),
    ('f.where_among("x", {1.0})', 'expected "Sequence[SupportsFloat | SupportsIndex]"'),
    ('f.select(["a", 1])', 'List item 1 has incompatible type "int"; expected "str"'),
    ('f.sort("x", None)', 'expected "bool"'),
    ('f.add_ints("n", [1.5])', 'List item 0 has incompatible type "float"; expected "SupportsIndex"'),
    ('f.add_strings("s", ["a", None])', 'List item 1 has incompatible type "None"; expected "str"'),
    ('f.add_date_part("y", "d", "Year")', 'expected "Literal[\'year\', \'month\', \'day\']"'),
    ('f.ints(None)', 'expected "str"'),
    ('f.group("k").sum()', 'Missing positional argument "name"'),
    ('f.width(1)', 'Too many arguments for "width" of "Frame"'),
    ('f.nonsense()', '"Frame" has no attribute "nonsense"'),
    ('len(f)', 'incompatible type "Frame"; expected "Sized"'),
    ('class Sub(kelo_frame.Frame): pass', 'Cannot inherit from final class "Frame"'),
]


def test_accepted_calls_type_check(tmp_path):
    (tmp_path / "accepted.py").write_text(ACCEPTED)
    code, out = mypy("mypy", "--strict", "accepted.py", cwd=tmp_path)
    assert code == 0, out


def test_refused_calls_fail_to_type_check(tmp_path):
    head = "import kelo_frame\nf = kelo_frame.Frame()\n"
    lines = [f"def case_{i}() -> None:\n    {code}\n" for i, (code, _) in enumerate(REFUSED)]
    (tmp_path / "refused.py").write_text(head + "".join(lines))
    _, out = mypy("mypy", "--strict", "--show-error-codes", "refused.py", cwd=tmp_path)
    errors = {}
    for m in re.finditer(r"^refused\.py:(\d+): error: (.*)$", out, re.M):
        errors.setdefault(int(m.group(1)), []).append(m.group(2))
    for i, (code, fragment) in enumerate(REFUSED):
        line = 2 + 2 * i + 2
        assert any(fragment in e for e in errors.pop(line, [])), f"{code}: {out}"
    assert not errors, out
