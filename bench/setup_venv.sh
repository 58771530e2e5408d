#!/usr/bin/env bash
# Creates the benchmark's virtual environment (idempotent): a venv inside the
# Python 3.14 root of scripts/env.sh that sees the root's numpy, pandas,
# pyarrow and matplotlib and adds polars and duckdb from PyPI (with fsspec,
# which duckdb needs to read CSV from memory). It lives outside
# the checkout so the tree stays clean, and nothing system-wide is changed.
#
#   bench/setup_venv.sh            (prints the venv's path when done)
#
# Run from the host it re-runs itself through scripts/env.sh. Machines whose
# HTTPS goes through an inspecting proxy trust its CA only in the host's
# bundle; that bundle is handed to pip inside the root through a temporary
# copy in the checkout (the root sees nothing else of the host).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${KELO_BENCH_VENV:-/opt/kelo-bench-venv}"

if [[ -z "${KELO_PYTHON:-}" ]]; then
  cert="${PIP_CERT:-${REQUESTS_CA_BUNDLE:-${SSL_CERT_FILE:-}}}"
  if [[ -n "$cert" && -r "$cert" ]]; then
    tmp="$(mktemp -d "$here/.bench-ca.XXXXXX")"
    trap 'rm -rf "$tmp"' EXIT
    cp "$cert" "$tmp/ca.crt"
    KELO_BENCH_PIP_CERT="$tmp/ca.crt" "$here/scripts/env.sh" bench/setup_venv.sh
  else
    "$here/scripts/env.sh" bench/setup_venv.sh
  fi
  exit
fi

if [[ -x "$venv/bin/python" ]] && "$venv/bin/python" -c 'import polars, duckdb, fsspec' 2>/dev/null; then
  echo "$venv"
  exit 0
fi
"$KELO_PYTHON" -m venv --system-site-packages "$venv"
pip_args=(--quiet --disable-pip-version-check)
if [[ -n "${KELO_BENCH_PIP_CERT:-}" ]]; then pip_args+=(--cert "$KELO_BENCH_PIP_CERT"); fi
"$venv/bin/python" -m pip install "${pip_args[@]}" polars duckdb fsspec >&2
"$venv/bin/python" -c 'import polars, duckdb; print("polars", polars.__version__, "duckdb", duckdb.__version__)' >&2
echo "$venv"
