#!/usr/bin/env bash
# Runs the engine-heavy Python tests under valgrind's memcheck and fails on
# any definite leak or memory error whose stack passes through kelo_frame.
#
#   scripts/memcheck.sh [PYTEST_ARGS...]
#
# Uses the developer build ($KELO_BUILD_DIR, default build/), built first if
# needed. The interpreter runs with PYTHONMALLOC=malloc so that valgrind sees
# every allocation. Reports that lie wholly inside the interpreter are not
# ours and are ignored. Left out: the slow tests and hypothesis-driven ones
# (valgrind runs them 30-50 times slower), and the tests that drop objects on
# a foreign thread, whose storage is leaked on purpose (Frame's destruction
# rule). The whole log is $build/memcheck.log.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/memcheck.sh "$@"; fi
build="${KELO_BUILD_DIR:-build}"
scripts/build.sh >/dev/null
log="$build/memcheck.log"

tests=(
  tests/python/test_frame.py tests/python/test_read_csv.py tests/python/test_to_csv.py
  tests/python/test_group.py tests/python/test_hostile.py tests/python/test_memory.py
  tests/python/test_module.py
)
existing=()
for t in "${tests[@]}"; do [[ -f "$t" ]] && existing+=("$t"); done

echo "== memcheck: ${existing[*]}"
status=0
PYTHONPATH=scripts KELO_UNDER_VALGRIND=1 PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 --log-file="$log" \
  "$KELO_PYTHON" -m pytest -q -p no:cacheprovider -p pytest_memcheck -m "not slow" \
  -k "not foreign_drop" "${existing[@]}" "$@" || status=$?

# Each valgrind report is a block of lines that starts after a blank line;
# count those that mention our module.
"$KELO_PYTHON" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1], errors="replace").read()
blocks = re.split(r"\n==\d+== \n", text)
ours = [b for b in blocks if "kelo_frame" in b and
        ("definitely lost" in b or re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap", b))]
summary = re.findall(r"definitely lost: [\d,]+ bytes in [\d,]+ blocks", text)
print(f"== memcheck summary: {len(ours)} report(s) in kelo_frame; interpreter total {summary[-1] if summary else 'n/a'}")
for b in ours[:10]:
    print(b[:3000])
sys.exit(1 if ours else 0)
PY
exit "$status"
