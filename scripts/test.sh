#!/usr/bin/env bash
# The whole test suite: builds the module and the C++ tests, runs the C++
# tests, then the Python tests (slow ones included). Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/test.sh "$@"; fi
build="${KELO_BUILD_DIR:-build}"
scripts/build.sh
echo "== C++ tests"
"$build/kelo_tests" --gtest_brief=1
echo "== Python tests"
exec "$KELO_PYTHON" -m pytest -q -p no:cacheprovider "$@"
