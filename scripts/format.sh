#!/usr/bin/env bash
# Formats the C++ sources with clang-format; `--check` only reports files that
# are not formatted (and fails), as the test command does.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/format.sh "$@"; fi
mapfile -t files < <(git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'fuzz/*.cpp' 'bench/*.cpp')
if [[ "${1:-}" == "--check" ]]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
