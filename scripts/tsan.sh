#!/usr/bin/env bash
# Builds the module with ThreadSanitizer (clang, in build-tsan/) and runs the
# thread tests against it, the many-thread stress test for a bounded time
# (KELO_STRESS_SECONDS, default 20). Any ThreadSanitizer report fails the run.
#
#   scripts/tsan.sh [PYTEST_ARGS...]
#
# The interpreter is not built with ThreadSanitizer, so the runtime is
# preloaded into it: its interceptors see the interpreter lock's mutex and
# condition variable (so the lock's hand-overs order the threads' work),
# every malloc and free, and thread creation; the module's own code is
# instrumented. The interpreter's own memory accesses are not, which hides
# nothing of ours: the module touches Python objects only through the C API,
# with the lock held. The interpreter's small-object allocator is switched off
# (PYTHONMALLOC=malloc) so that every object's memory comes and goes through
# the intercepted malloc and free. Address-space randomisation is turned off
# (setarch -R) as a precaution: older runtimes stop with "unexpected memory
# mapping" when the kernel randomises many mmap bits.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/tsan.sh "$@"; fi
export KELO_BUILD_DIR="${KELO_TSAN_BUILD_DIR:-build-tsan}"
build="$KELO_BUILD_DIR"
flags="-fsanitize=thread -fno-omit-frame-pointer -g"
scripts/build.sh -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELO_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread -shared-libsan"

runtime="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.tsan-x86_64.so"
[[ -f "$runtime" ]] || { echo "tsan: no ThreadSanitizer runtime at $runtime"; exit 1; }
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi

# Reports go to files of their own: pytest captures what a test writes to
# stderr, and a report that stops the process would be lost with it. The
# first report ends the process (exit status 66); pytest's fault handler is
# off, since its stack dump inside the runtime's report deadlocks.
reports_dir="$build/tsan-reports"
rm -rf "$reports_dir"
mkdir -p "$reports_dir"
echo "== Python thread tests (ThreadSanitizer)"
status=0
KELO_STRESS_SECONDS="${KELO_STRESS_SECONDS:-20}" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$PWD/$reports_dir/report:${TSAN_OPTIONS:-}" \
  "${norandom[@]}" "$KELO_PYTHON" -m pytest -q -p no:cacheprovider -p no:faulthandler \
  tests/python/test_thread_stress.py tests/python/test_threads.py "$@" || status=$?

reports="$(cat "$reports_dir"/report.* 2>/dev/null | grep -cE '(WARNING|ERROR|FATAL): ThreadSanitizer' || true)"
echo "== ThreadSanitizer summary: $reports report(s); pytest exit $status"
if [[ "$reports" != 0 ]]; then
  cat "$reports_dir"/report.* | head -80
  exit 1
fi
exit "$status"
