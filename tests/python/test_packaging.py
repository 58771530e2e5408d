"""The release wheel: built from this checkout by scripts/wheel.sh, retagged by auditwheel with the
oldest manylinux policy, audited for its stable-ABI use, installed into a fresh virtual
environment and used there, stubs included; and the sdist, built from source in a fresh one."""

import email.parser
import json
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from conftest import BUILD, ROOT

pytestmark = pytest.mark.slow

TAG = "cp314-abi3"
# The newest glibc symbol the module imports once the runtime's newer ones are sent to older
# ones is 2.26 (strtof128, strfromf128), and so the policy auditwheel must grant.
POLICY = f"manylinux_2_26_{platform.machine()}"
# What the module may link against: glibc's own libraries, no C++ runtime.
GLIBC_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2",
              "ld-linux-aarch64.so.1"}

# A few calls of an installed module, run from an empty directory so that nothing of the
# checkout can be imported instead.
USE = """
import kelo_frame, pathlib, sys
assert pathlib.Path(kelo_frame.__file__).is_relative_to(sys.prefix), kelo_frame.__file__
f = kelo_frame.read_csv("k,v\\na,1\\nb,2\\na,3\\n")
print(f.group(["k"]).sum("v").to_csv(), end="")
print(f.sort("v", True).ints("v"), f.where_gt("v", 1.5).height())
"""
USED = "k,v\na,4\nb,2\n[3, 2, 1] 2\n"

# pip's words when it cannot reach a package index at all.
OFFLINE = re.compile("NewConnectionError|Failed to establish a new connection|Could not fetch URL|ConnectTimeout|"
                     "ReadTimeout|Temporary failure in name resolution|Name or service not known|"
                     "Network is unreachable|SSLError|ProxyError")


def run(*cmd, cwd=None, timeout=600, **extra_env):
    """Runs a command without the developer build on the path; returns it, output merged."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env.update(extra_env)
    return subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def check(proc):
    assert proc.returncode == 0, f"{' '.join(proc.args)} failed:\n{proc.stdout[-4000:]}"
    return proc


def from_index(proc, what):
    """Skips the test when `proc` failed only because no package index is reachable."""
    if proc.returncode != 0 and OFFLINE.search(proc.stdout):
        pytest.skip(f"{what}: no package index is reachable")
    return check(proc)


def venv(path):
    check(run(sys.executable, "-m", "venv", path))
    return path / "bin" / "python"


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    pytest.importorskip("scikit_build_core", reason="the wheel is built with scikit-build-core")
    pytest.importorskip("auditwheel", reason="the release wheel is retagged by auditwheel")
    out = tmp_path_factory.mktemp("dist")
    # The environment's scikit-build-core builds it, so no download is needed; the CMake
    # tree lives next to the developer build, so a second run only rebuilds what changed.
    check(run(ROOT / "scripts/wheel.sh", out, timeout=1800,
              KELO_PYTHON=sys.executable, KELO_BUILD_DIR=str(BUILD)))
    (found,) = out.glob("*.whl")
    return found


@pytest.fixture(scope="module")
def contents(wheel):
    with zipfile.ZipFile(wheel) as z:
        return {name: z.read(name) for name in z.namelist()}


def dist_info(contents, name):
    (path,) = [p for p in contents if re.fullmatch(r"kelo_frame-[^/]+\.dist-info/" + name, p)]
    return contents[path].decode()


def test_wheel_is_one_stable_abi_module_with_its_stubs(wheel, contents):
    platforms = re.fullmatch(rf"kelo_frame-[0-9.]+-{TAG}-([a-z0-9_.]+)\.whl", wheel.name).group(1)
    # auditwheel granted the oldest policy, with its legacy alias, and nothing newer.
    assert POLICY in platforms.split(".") and all(
        p == POLICY or not p.startswith("manylinux_") for p in platforms.split("."))
    tags = [line.split(": ", 1)[1] for line in dist_info(contents, "WHEEL").splitlines()
            if line.startswith("Tag: ")]
    assert sorted(tags) == sorted(f"{TAG}-{p}" for p in platforms.split("."))
    top = {name.split("/")[0] for name in contents if ".dist-info/" not in name}
    assert top == {"kelo_frame.abi3.so", "kelo_frame.pyi", "kelo_frame-stubs"}
    stub = (ROOT / "src/api/kelo_frame.pyi").read_bytes()
    assert contents["kelo_frame.pyi"] == stub
    assert contents["kelo_frame-stubs/__init__.pyi"] == stub


def test_metadata_is_complete(contents):
    meta = email.parser.Parser().parsestr(dist_info(contents, "METADATA"))
    assert meta["Name"] == "kelo_frame"
    assert meta["Requires-Python"] == ">=3.14"
    assert meta["License-Expression"] == "MIT"
    assert meta["License-File"] == "LICENSE"
    assert dist_info(contents, "licenses/LICENSE") == (ROOT / "LICENSE").read_text()
    assert meta["Summary"] and meta["Author"] and meta["Keywords"]
    assert "Typing :: Typed" in meta.get_all("Classifier")
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload() == (ROOT / "README.md").read_text()
    assert meta.get_all("Requires-Dist") is None
    # The newest entry of the change log is the version being built.
    newest = re.search(r"^## \[?([0-9][^\]\s]*)", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert newest and newest.group(1) == meta["Version"]


def test_module_exports_only_its_init_function_and_needs_only_glibc(contents, tmp_path):
    nm, readelf = shutil.which("nm"), shutil.which("readelf")
    if nm is None or readelf is None:
        pytest.skip("binutils are not installed")
    so = tmp_path / "kelo_frame.abi3.so"
    so.write_bytes(contents["kelo_frame.abi3.so"])
    out = check(run(nm, "-D", "--defined-only", so)).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_kelo_frame"]
    # A C long is 32 bits on Windows: integers must go through the 64-bit conversions.
    used = set(check(run(nm, "-D", "--undefined-only", so)).stdout.split())
    assert not used & {"PyLong_AsLong", "PyLong_AsLongAndOverflow", "PyLong_FromLong", "PyLong_AsUnsignedLong"}
    # The C++ runtime is inside: no libstdc++ or libgcc_s, and no symbol of theirs is imported.
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", check(run(readelf, "-d", so)).stdout)
    assert set(needed) <= GLIBC_LIBS, needed
    assert not [s for s in used if re.search(r"@(GLIBCXX|CXXABI|GCC)_", s)]


def test_abi3audit_passes(wheel, tmp_path):
    python = venv(tmp_path / "audit")
    from_index(run(python, "-m", "pip", "install", "--timeout", "20", "--retries", "1", "abi3audit"),
               "abi3audit cannot be installed")
    audit = check(run(python.parent / "abi3audit", "--strict", "--report", wheel))
    report = json.loads(audit.stdout)
    (result,) = [r["result"] for spec in report["specs"].values() for r in spec["wheel"]]
    assert result["is_abi3"] and result["is_abi3_baseline_compatible"]
    assert result["non_abi3_symbols"] == []
    assert result["baseline"] == "3.14"


def test_installs_into_a_fresh_venv_and_works_there(wheel, tmp_path):
    python = venv(tmp_path / "fresh")
    check(run(python, "-m", "pip", "install", "--no-index", "--no-deps", wheel))
    assert check(run(python, "-c", USE, cwd=tmp_path)).stdout == USED

    # mypy, pointed at that environment, finds the stubs of the installed wheel.
    if shutil.which("mypy"):
        (tmp_path / "typed.py").write_text(
            "import kelo_frame\nreveal_type(kelo_frame.Frame().ints('a'))\nkelo_frame.Frame().head('x')\n")
        out = run("mypy", "--no-incremental", "--python-executable", python, "typed.py", cwd=tmp_path).stdout
        assert 'Revealed type is "list[int | None]"' in out, out
        assert 'incompatible type "str"; expected "SupportsIndex"' in out, out

    check(run(python, "-m", "pip", "uninstall", "-y", "kelo_frame"))
    site = pathlib.Path(check(run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))")).stdout.strip())
    assert not list(site.glob("kelo_frame*"))


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    pytest.importorskip("scikit_build_core", reason="the sdist is built with scikit-build-core")
    out = tmp_path_factory.mktemp("sdist")
    build = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    return out / check(run(sys.executable, "-c", build, out, cwd=ROOT)).stdout.split()[-1]


def test_sdist_holds_the_sources_and_no_build_output(sdist):
    import tarfile

    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    tracked = check(run("git", "ls-files", cwd=ROOT)).stdout.split() if shutil.which("git") else []
    needed = {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "CHANGELOG.md",
              "src/api/kelo_frame.pyi", "src/api/exports.map", "scripts/build.sh"}
    needed |= {n for n in tracked if n.startswith("src/") and (ROOT / n).exists()}
    assert needed <= names, sorted(needed - names)
    assert not [n for n in names if n.startswith("build") or "/__pycache__/" in n]


def test_sdist_builds_and_installs_in_a_fresh_venv(sdist, tmp_path):
    # Only the package index is used: pip fetches the build backend into an isolated
    # environment, and the system's compiler, CMake and Python headers build the module.
    python = venv(tmp_path / "fresh")
    from_index(run(python, "-m", "pip", "install", "--timeout", "20", "--retries", "1", sdist,
                   timeout=1800), "the sdist's build backend cannot be installed")
    assert check(run(python, "-c", USE, cwd=tmp_path)).stdout == USED
