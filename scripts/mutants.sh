#!/usr/bin/env bash
# Measures how many faults the tests catch: makes a fixed, seeded sample of
# small source changes (mutants) in src/engine, src/csv, src/repr and src/api,
# and for each one rebuilds incrementally and runs a fixed, fast selection of
# the suite. A mutant the selection fails on (or hangs on) is killed; one it
# passes survived; one that does not compile is skipped and the next one in the
# seeded order takes its place.
#
#   scripts/mutants.sh [OUT_FILE]
#
# KELO_MUTANTS (default 60) mutants that compile are run; KELO_MUTANT_SEED
# (default 16) fixes the sample; KELO_MUTANT_REV (default HEAD) is the commit
# whose sources and tests are measured. The commit is unpacked into
# build-mut/tree-<rev> and built in build-mut/build-<rev>, so the checkout and build/ are
# never touched and the checkout may be edited while this runs. The table
# (one line per mutant: id, file:line, change, result, which tests failed)
# goes to OUT_FILE (default build-mut/mutants-<rev>.txt). Comparing two revisions of
# the tests: run it once per revision with the same seed and count, and diff
# the tables; the sources (and so the mutants) must be the same in both. The
# second run reuses the mutants the first one built; with KELO_MUTANT_FOLLOW=1
# it may start while the first still runs and waits for each mutant to be built.
# KELO_MUTANT_BUILD=build measures the checkout's clean HEAD with that existing
# build directory instead of unpacking and building a copy (reuse only: it
# waits for another run to build each mutant).
# KELO_MUTANT_SAME_AS=<other rev> keeps only candidates in source files whose
# bytes are the same in both revisions: the same seed and count then give the
# same mutants (the same change in the same code) when each revision is run
# with the other as KELO_MUTANT_SAME_AS, though their sources differ elsewhere.
# KELO_MUTANT_JOBS (default 2) is the build's parallelism.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/mutants.sh "$@"; fi
rev="${KELO_MUTANT_REV:-HEAD}"
work="$PWD/build-mut"
short="$(git rev-parse --short "$rev")"
out="${1:-$work/mutants-$short.txt}"
if [[ -n "${KELO_MUTANT_BUILD:-}" ]]; then
  # Reuse only: the checkout itself and an existing build of it.
  [[ "$rev" == HEAD ]] && git diff --quiet HEAD -- src tests ||
    { echo "mutants: KELO_MUTANT_BUILD measures a clean HEAD" >&2; exit 1; }
  tree="$PWD"
  build="$PWD/$KELO_MUTANT_BUILD"
  export KELO_MUTANT_FOLLOW=1
else
  tree="$work/tree-$short"
  build="$work/build-$short"
  # Unpacked afresh, then only files whose bytes differ replace the kept
  # copy, so that a rerun (or one after an interruption, which may leave a
  # mutant in place) rebuilds only what changed.
  rm -rf "$tree.new"
  mkdir -p "$tree.new" "$tree"
  git archive --format=tar "$rev" | tar -x -C "$tree.new"
  (cd "$tree.new" && find . -type f) | while IFS= read -r f; do
    cmp -s "$tree.new/$f" "$tree/$f" || { mkdir -p "$(dirname "$tree/$f")" && cp -p "$tree.new/$f" "$tree/$f"; }
  done
  rm -rf "$tree.new"
fi
mkdir -p "$work"
exec "$KELO_PYTHON" - "$work" "$out" "${KELO_MUTANTS:-60}" "${KELO_MUTANT_SEED:-16}" "$(git rev-parse "$rev:src")" \
  "$tree" "$build" "$(git rev-parse "$rev")" \
  "$(git rev-parse "${KELO_MUTANT_SAME_AS:-$rev}")" <<'PY'
import os, pathlib, random, re, shutil, subprocess, sys, time

work, out, wanted, seed = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
tree, build = pathlib.Path(sys.argv[6]), pathlib.Path(sys.argv[7])
reuse_only = os.environ.get("KELO_MUTANT_BUILD")
# The built mutants of one src/ tree: a later run against the same sources
# (new tests, same code) relinks the C++ tests against the saved engine library
# and loads the saved module instead of compiling each mutant again.
# With KELO_MUTANT_SAME_AS the sample (and so each mutant's number) differs.
same_as = os.environ.get("KELO_MUTANT_SAME_AS")
cache = work / "cache" / (sys.argv[5] + (f"-same-as-{sys.argv[9]}" if same_as else ""))
jobs = "-j" + os.environ.get("KELO_MUTANT_JOBS", "2")


def blob(rev, rel):
    p = subprocess.run(["git", "rev-parse", "-q", "--verify", f"{rev}:{rel}"], stdout=subprocess.PIPE, text=True)
    return p.stdout.strip() or None

# Token swaps: comparisons, arithmetic, logic, booleans. The patterns are
# matched on a line whose strings, chars and comments are blanked out, so a
# message text is never mutated.
SWAPS = [
    (r"(?<= )==(?= )", "!="), (r"(?<= )!=(?= )", "=="),
    (r"(?<= )<=(?= )", "<"), (r"(?<= )>=(?= )", ">"),
    (r"(?<= )<(?= )", "<="), (r"(?<= )>(?= )", ">="),
    (r"(?<= )&&(?= )", "||"), (r"(?<= )\|\|(?= )", "&&"),
    (r"(?<= )\+(?= )", "-"), (r"(?<= )-(?= )", "+"),
    (r"\+\+", "--"), (r"(?<= )\+=(?= )", "-="), (r"(?<= )-=(?= )", "+="),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
    (r"(?<![\w.])0(?![\w.'])", "1"), (r"(?<![\w.])1(?![\w.'])", "0"),
]
NUMBER = re.compile(r"(?<![\w.])([2-9]|[1-9][0-9]+)(?![\w.'])")
# A statement that can go: a call, an assignment, a return, a break.
DROPPABLE = re.compile(r"^\s*(?:[\w:.\->\[\]()*]+\s*(?:[-+*/|&^]?=|\+\+|--|\()|\+\+|--|return;|break;|continue;).*;\s*$")

def blank(line):
    """The line with its literals and trailing comment blanked (same length)."""
    s = re.sub(r'"(?:\\.|[^"\\])*"', lambda m: " " * len(m.group()), line)
    s = re.sub(r"'(?:\\.|[^'\\])*'", lambda m: " " * len(m.group()), s)
    i = s.find("//")
    return s if i < 0 else s[:i] + " " * (len(s) - i)

def candidates():
    for path in sorted(tree.glob("src/*/*.cpp")):
        rel = str(path.relative_to(tree))
        if not rel.split("/")[1] in ("engine", "csv", "repr", "api"):
            continue
        if same_as and blob(same_as, rel) != blob(sys.argv[8], rel):
            continue
        lines = path.read_text().split("\n")
        in_comment = False
        for no, line in enumerate(lines):
            s = line.strip()
            if in_comment:
                in_comment = "*/" not in s
                continue
            if s.startswith("/*"):
                in_comment = "*/" not in s
                continue
            if not s or s.startswith(("#", "//", "static_assert", "template", "using ", "namespace", "}")):
                continue
            b = blank(line)
            for pat, rep in SWAPS:
                for m in re.finditer(pat, b):
                    yield rel, no, m.start(), m.end(), rep
            for m in NUMBER.finditer(b):
                yield rel, no, m.start(), m.end(), str(int(m.group()) + 1)
            if DROPPABLE.match(b) and s.endswith(";") and "{" not in s:
                yield rel, no, None, None, None

def run(cmd, timeout):
    try:
        p = subprocess.run(cmd, cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout, text=True, errors="replace")
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired:
        return None, ""

def build_now():
    rc, log = run(["cmake", "--build", str(build), jobs], None)  # a loaded machine may take long
    return rc == 0, log

# The fixed selection, the same for every revision of the tests: the C++
# tests but for the slowest cases (large inputs the smaller sizes of the same
# tests cover), then the Python tests without the slow ones, without the files
# that test packaging, docs, stubs, the benchmark and thread scheduling rather
# than the engine, and without the tests that start an interpreter under a
# memory cap. Both stop at the first failure.
SLOW_CPP = ["*Sizes/Sort.*/13", "*Sizes/Sort.*/14"]
SKIPPED_PY = ["packaging", "docs", "stubs", "bench_smoke", "threads", "thread_stress"]
CPP = [str(build / "kelo_tests"), "--gtest_fail_fast", "--gtest_brief=1", "--gtest_filter=-" + ":".join(SLOW_CPP)]
PY = [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "-m", "not slow",
      "--hypothesis-seed=0", "tests/python", "-k", "not running_out_of_memory and not blank_lines_reserve"]
PY += [f"--ignore=tests/python/test_{name}.py" for name in SKIPPED_PY]

def select(timeouts):
    rc, log = run(CPP, timeouts[0])
    if rc != 0:
        return "killed", "cpp" if rc is not None else "cpp-hang"
    rc, log = run(PY, timeouts[1])
    if rc != 0:
        return "killed", "py" if rc is not None else "py-hang"
    return "survived", ""

os.environ["KELO_BUILD_DIR"] = str(build)
if not reuse_only:
    # -O1: the rebuild of each mutant is the slow step, and -O1 compiles far
    # faster than the release build's -O3.
    subprocess.run(["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DCMAKE_CXX_FLAGS=-Werror=return-type", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
ok, log = build_now()
if not ok:
    sys.exit("mutants: the unmutated tree does not build:\n" + log[-3000:])
t0 = time.monotonic(); rc, _ = run(CPP, 600); t1 = time.monotonic()
rc2, log2 = run(PY, 1200); t2 = time.monotonic()
if rc != 0 or rc2 != 0:
    sys.exit("mutants: the selection fails on the unmutated tree:\n" + log2[-3000:])
base = (t1 - t0, t2 - t1)
timeouts = (10 + 5 * base[0], 20 + 3 * base[1])

engine_lib, module = build / "libkelo_engine.a", next(build.glob("kelo_frame*.so"))


def read_table(path):
    """mutant id -> killed/survived, from a table this script wrote."""
    path = pathlib.Path(path)
    lines = path.read_text().splitlines() if path.exists() else []
    rows = (line.split("\t") for line in lines if not line.startswith("#"))
    return {r[0]: r[2] for r in rows if len(r) > 2}


# With KELO_MUTANT_AGAINST=<table of an earlier run>, only the mutants it
# killed are run: the question is then whether the same ones still die.
against = read_table(os.environ["KELO_MUTANT_AGAINST"]) if os.environ.get("KELO_MUTANT_AGAINST") else None
cands = list(candidates())
random.Random(seed).shuffle(cands)
done, skipped, dirty = 0, 0, False
out.parent.mkdir(parents=True, exist_ok=True)
with out.open("w") as f:
    f.write(f"# seed {seed}; {len(cands)} candidates; selection {base[0]:.1f} s C++ + {base[1]:.1f} s Python\n")
    for i, (rel, no, a, b, rep) in enumerate(cands):
        if done >= wanted:
            break
        path = tree / rel
        orig = path.read_text()
        lines = orig.split("\n")
        old = lines[no]
        lines[no] = "" if a is None else old[:a] + rep + old[b:]
        change = "drop: " + old.strip() if a is None else f"{old[a:b]} -> {rep}: {old.strip()}"
        saved = cache / f"m{i:04d}"
        if against is not None:
            while f"m{i:04d}" not in against and not (saved / "nocompile").exists():
                time.sleep(10)  # the other run has not measured it yet
                against = read_table(os.environ["KELO_MUTANT_AGAINST"])
            if against.get(f"m{i:04d}") == "survived":
                done += 1
                f.write(f"m{i:04d}\t{rel}:{no + 1}\tsurvived before: not run\t\t\t{change[:120]}\n")
                continue
        while os.environ.get("KELO_MUTANT_FOLLOW") and not any((saved / k).exists() for k in ("ok", "nocompile")):
            time.sleep(10)  # another run against the same sources builds this mutant
        if (saved / "nocompile").exists():
            skipped += 1
            continue
        if (saved / "ok").exists():
            if dirty:
                build_now()  # the last fresh mutant's source is back: rebuild it
                dirty = False
            # Only the tests changed since this mutant was built: put its
            # library and module back and relink the C++ tests alone.
            shutil.copy2(saved / engine_lib.name, engine_lib)
            shutil.copy2(saved / module.name, module)
            os.utime(engine_lib)
            rc, log = run(["cmake", "--build", str(build), "--target", "kelo_tests", jobs], None)
            if rc != 0:
                sys.exit("mutants: relinking the C++ tests failed:\n" + log[-3000:])
        else:
            for made in (engine_lib, module):
                made.unlink(missing_ok=True)  # they may hold a saved mutant: make them again
            path.write_text("\n".join(lines))
            dirty = True
            try:
                ok, _ = build_now()
            finally:
                path.write_text(orig)
            saved.mkdir(parents=True, exist_ok=True)
            if not ok:
                (saved / "nocompile").touch()
                skipped += 1
                continue
            shutil.copy2(engine_lib, saved / engine_lib.name)
            shutil.copy2(module, saved / module.name)
            (saved / "ok").touch()
        t = time.monotonic()
        result, by = select(timeouts)
        done += 1
        f.write(f"m{i:04d}\t{rel}:{no + 1}\t{result}\t{by}\t{time.monotonic() - t:.1f}s\t{change[:120]}\n")
        f.flush()
    killed = sum(1 for l in out.read_text().splitlines() if "\tkilled\t" in l)
    f.write(f"# {done} mutants run, {killed} killed, {done - killed} survived; {skipped} did not compile\n")
if reuse_only:
    for made in (engine_lib, module):
        made.unlink(missing_ok=True)  # they hold the last mutant: the next build makes them again
print(out.read_text())
PY
