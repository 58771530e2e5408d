"""Keeps the benchmark suite runnable: the whole harness on a tiny table for
kelo_frame, one measurement per installed peer, and the data generator."""

from __future__ import annotations

import csv
import importlib.util
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)

from bench import gen_data  # noqa: E402
from bench.tasks import TASKS, VIEW_COLUMN  # noqa: E402

ROWS = 2000


def _env() -> dict:
    return {"KELO_BUILD_DIR": "build", **os.environ, "POLARS_MAX_THREADS": "1"}


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("bench-data"))


@pytest.fixture(scope="module")
def harness(tmp_path_factory, data_dir):
    out = tmp_path_factory.mktemp("bench-out")
    md, png, js = out / "PERFORMANCE.md", out / "ratios.png", out / "results.json"
    subprocess.run([sys.executable, "bench/run.py", "--sizes", str(ROWS), "--libs", "kelo_frame", "--repeats", "2",
                    "--samples", "1", "--data-dir", data_dir, "--out-md", str(md), "--out-png", str(png),
                    "--out-json", str(js)], cwd=ROOT, env=_env(), check=True, capture_output=True, timeout=120)
    with open(js) as f:
        return json.load(f), md.read_text(), png


def test_harness_measures_every_task_and_writes_the_report(harness):
    saved, text, png = harness
    got = {r["task"]: r for r in saved["results"]}
    assert set(got) == {t.name for t in TASKS} | {name + "+list" for name in VIEW_COLUMN}
    for name, r in got.items():
        assert r["status"] == "ok", (name, r.get("error"))
        # One first call a process, kept apart from the warm call after it.
        assert len(r["first"]) == 1 and len(r["times"]) == 1 and min(r["first"] + r["times"]) >= 0
        assert r["rss_peak_kb"] >= r["rss_base_kb"] > 0
    for task in TASKS:
        assert f"| {task.name}: {task.what} |" in text
    assert "## Targets" in text and "## Answers checked" in text
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # The two-thread section ran (bench/threads.py) and is in the report.
    assert saved["meta"]["threads"]["read"]["speedup"] > 0 and "## Two threads" in text


def test_harness_answers_are_right(harness):
    got = {r["task"]: r for r in harness[0]["results"]}
    assert got["read_str"]["summary"] == [ROWS, 7]
    # The view and the list read back from it have the same length.
    assert got["filter_num"]["summary"][0] == got["filter_num+list"]["summary"][0]
    assert got["g1_q5"]["summary"] == [100, ROWS]


# One cheap measurement per peer: its answer must match kelo_frame's.
PEERS = [("pandas", "pandas", "where_in"), ("pyarrow-1t", "pyarrow", "sort_str_uni"),
         ("polars-1t", "polars", "sort_f64_near"), ("duckdb-1t", "duckdb", "sort_i64_near"),
         ("csv", None, "to_csv")]


def _measure(lib: str, task: str, data_dir: str) -> dict:
    proc = subprocess.run([sys.executable, "-m", "bench.measure", "--lib", lib, "--task", task, "--rows", str(ROWS),
                           "--repeats", "1", "--data-dir", data_dir], cwd=ROOT, env=_env(), check=True,
                          capture_output=True, timeout=60)
    return json.loads(proc.stdout.decode().strip().splitlines()[-1])


@pytest.mark.parametrize("lib,module,task", PEERS)
def test_peer_measurement_agrees(lib, module, task, data_dir):
    if module and importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")
    if not importlib.util.find_spec("pyarrow") and lib != "csv":
        pytest.skip("the peers load their input through pyarrow")
    got = _measure(lib, task, data_dir)
    assert got["status"] == "ok", got.get("error")
    assert got["summary"] == _measure("kelo_frame", task, data_dir)["summary"]


# The table's shape and group count are the harness answers' (read_str, g1_q5).
def test_generated_data_is_deterministic_and_well_formed(tmp_path):
    a, b = tmp_path / "a.csv", tmp_path / "b.csv"
    gen_data.generate("mixed", 1500, str(a))
    gen_data.generate("mixed", 1500, str(b))
    assert a.read_bytes() == b.read_bytes()
    assert a.read_text(encoding="utf-8").startswith(gen_data.MIXED_HEADER + "\n")
    g = tmp_path / "g.csv"
    gen_data.generate("g1", 3000, str(g))
    grows = list(csv.reader(g.open(newline="", encoding="utf-8")))[1:]
    assert {r[6] for r in grows} == {"1", "2", "3", "4", "5"}
    assert all(r[2].startswith("id") and len(r[2]) == 12 for r in grows)


def test_scaling_curves_agree_and_make_their_section(tmp_path):
    """Every curve at small sizes: each library that has the operation gives kelo_frame's answer."""
    libs = ["kelo_frame", *(k for k, m, _ in PEERS[:3] if importlib.util.find_spec(m))]
    js, md, png = tmp_path / "s.json", tmp_path / "s.md", tmp_path / "s.png"
    subprocess.run([sys.executable, "-m", "bench.scaling", "--rows", "3000", "--quick", "--up-to", "1000", "--libs",
                    *libs, "--out-json", str(js), "--out-md", str(md), "--out-png", str(png)], cwd=ROOT, env=_env(),
                   check=True, capture_output=True, timeout=300)
    data = json.loads(js.read_text())
    assert not data["errors"]
    answers = {}
    for p in data["points"]:
        answers.setdefault((p["curve"], p["n"]), {})[p["lib"]] = p["answer"]
    assert {c for c, _ in answers} == {"where_among", "where_in", "read_csv", "select", "group"}
    for key, got in answers.items():
        assert len(set(got.values())) == 1 and "kelo_frame" in got, (key, got)
    assert "## Scaling" in md.read_text() and png.read_bytes()[:4] == b"\x89PNG"
