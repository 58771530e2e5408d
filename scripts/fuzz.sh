#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*.cpp, with clang, ASan and UBSan, in
# build-fuzz/) and runs each for a bounded time from its seed corpus in
# fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60. New inputs found are kept under
# build-fuzz/corpus/<target>/ (the seed corpus in the checkout is never
# written), so a later run carries on from them; crashes, hangs and mismatches
# are written to build-fuzz/artifacts/ and make the script fail. A long local
# run is `scripts/fuzz.sh 3600`.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/fuzz.sh "$@"; fi
seconds="${1:-60}"
shift || true
build="${KELO_FUZZ_BUILD_DIR:-build-fuzz}"

mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v "$KELO_PYTHON")" -DKELO_FUZZ=ON -DKELO_SANITIZE=ON -DKELO_TESTS=OFF \
  -DKELO_WERROR=OFF >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
# Other compilers' warnings are the main build's business; the log keeps them.
cmake --build "$build" --target fuzz -j "$(nproc)" >"$build.build.log" 2>&1 ||
  { tail -n 60 "$build.build.log"; exit 1; }

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$build/artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  dict=()
  case "$t" in fuzz_csv_read | fuzz_round_trip | fuzz_csv_float) dict=(-dict=fuzz/csv.dict) ;; esac
  log="$build/$t.log"
  echo "== $t: ${seconds} s"
  if "$build/$t" "${dict[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs="$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
    cov="$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')"
    summary+=("$t: ok, $runs runs, coverage $cov, corpus $(ls "$work" | wc -l)")
  else
    failed+=("$t")
    summary+=("$t: FAILED (log $log)")
    grep -E 'fuzz check failed|ERROR: |SUMMARY: |runtime error|Test unit written' "$log" | head -20 || true
  fi
done
echo "== fuzz summary (${seconds} s per target)"
printf '  %s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz: ${#failed[@]} target(s) failed: ${failed[*]}; inputs in $build/artifacts/"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, no crash, hang or mismatch"
