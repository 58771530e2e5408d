#!/usr/bin/env bash
# Release wheel: builds the cp314-abi3 wheel with the same compiler and flags
# as every other build (the C++ runtime linked in, its references to newer
# glibc symbols sent to older ones: src/compat/glibc_symbols.cpp), then lets
# auditwheel check it and retag it with the oldest manylinux policy it meets.
# The wheel lands in $1 (default dist/); the CMake tree is
# $KELO_BUILD_DIR/wheel.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/wheel.sh "$@"; fi
out="$(realpath -m "${1:-dist}")"
build="${KELO_BUILD_DIR:-build}"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
"$KELO_PYTHON" -m pip wheel --no-deps --no-build-isolation --disable-pip-version-check \
  -C build-dir="$build/wheel" -w "$raw" .
"$KELO_PYTHON" -m auditwheel repair -w "$out" "$raw"/*.whl
