#!/usr/bin/env bash
# Developer build: leaves the importable module at $KELO_BUILD_DIR (default
# build/)/kelo_frame.abi3.so and the C++ tests at .../kelo_tests. Runs inside
# the Python 3.14 environment of scripts/env.sh; extra arguments go to cmake's
# configure step.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/build.sh "$@"; fi
build="${KELO_BUILD_DIR:-build}"
gen=()
if command -v ninja >/dev/null 2>&1 && [[ ! -f "$build/Makefile" ]]; then gen=(-G Ninja); fi
cmake -S . -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$(command -v "$KELO_PYTHON")" \
  -DKELO_WERROR="${KELO_WERROR:-${CI:+ON}}" "$@" >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
