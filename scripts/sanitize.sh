#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++, in build-san/) and runs the C++ tests and
# the whole Python test suite against that build. Any sanitizer report fails
# the run.
#
#   scripts/sanitize.sh [PYTEST_ARGS...]
#
# The interpreter is not built with ASan, so its runtime is preloaded (with
# libstdc++, whose exception machinery ASan must find at start). Leak checking
# is on for the C++ tests; for the Python run it is off, since the interpreter
# keeps memory alive at exit by design (scripts/memcheck.sh looks for leaks of
# our own there, with valgrind).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/sanitize.sh "$@"; fi
export KELO_BUILD_DIR="${KELO_SAN_BUILD_DIR:-build-san}"
build="$KELO_BUILD_DIR"
scripts/build.sh -DKELO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

log="$build/sanitize.log"
: >"$log"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

echo "== C++ tests (ASan, UBSan, LeakSanitizer)"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" "$build/kelo_tests" --gtest_brief=1 2>&1 | tee -a "$log"

echo "== Python tests (ASan, UBSan)"
status=0
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" PYTHONMALLOC=malloc \
  "$KELO_PYTHON" -m pytest -q -p no:cacheprovider "$@" 2>&1 | tee -a "$log" || status=$?

reports="$(grep -cE 'ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' "$log" || true)"
echo "== sanitizer summary: $reports report(s); pytest exit $status"
if [[ "$reports" != 0 ]]; then
  grep -E -A3 'ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:' "$log" | head -40
  exit 1
fi
exit "$status"
