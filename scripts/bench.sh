#!/usr/bin/env bash
# Runs the benchmark suite against pandas, pyarrow, polars, DuckDB and the csv
# module, and writes docs/PERFORMANCE.md and docs/perf-ratios.png.
#
#   scripts/bench.sh           # 1e6 and 1e7 rows, 3 fresh processes each, every peer (~30-45 min)
#   scripts/bench.sh --quick   # 1e6 rows, 1 process each, fewer peers (a few minutes)
#
# Other options go to bench/run.py (--help lists them). It builds the module
# first ($KELO_BUILD_DIR, default build/) and makes the venv that holds
# polars and duckdb (bench/setup_venv.sh); without that venv those two are
# left out. Generated data is cached under /var/cache/kelo_frame/bench-data
# inside the Python 3.14 root.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then
  export KELO_BUILD_DIR="${KELO_BUILD_DIR:-build}"
  scripts/build.sh >/dev/null
  bench/setup_venv.sh >/dev/null || echo "bench: could not make the venv; polars and duckdb are left out" >&2
  exec scripts/env.sh scripts/bench.sh "$@"
fi
py="${KELO_BENCH_VENV:-/opt/kelo-bench-venv}/bin/python"
[[ -x "$py" ]] || py="$KELO_PYTHON"
exec "$py" bench/run.py "$@"
