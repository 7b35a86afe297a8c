"""The matrix of matrix.toml (CPythons, wheel platforms, tool pins) as Python
objects, and a command line for the shell scripts. Instant.

    scripts/matrix pin NAME                   NAME==VERSION, e.g. ziglang==0.17.1
    scripts/matrix versions [--kind K] [--wheel P] [--ci]
                                              the versions, one a line
    scripts/matrix python VERSION             the path of this machine's interpreter
                                              of VERSION (empty where there is none)
"""
from __future__ import annotations

import argparse
import glob
import os
import shutil
import sys
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
KINDS = ("pyenv", "chroot", "free-threaded", "none")
PLATFORM_PYTHONS = ("host", "chroot-arm64", "built", "embeddable")
RELEASES = ("cibuildwheel", "scripts/wheels", "")


@dataclass(frozen=True)
class Python:
    version: str            # "3.13", or "3.13t" for a free-threaded build
    kind: str               # one of KINDS
    wheels: tuple[str, ...]  # platforms whose wheel is built and tested here
    ci: bool
    release: str  # what builds the release workflow's wheels: "cibuildwheel", "scripts/wheels" or "" (none)

    @property
    def number(self) -> str:  # "3.13" of "3.13t"
        return self.version.rstrip("t")

    @property
    def free_threaded(self) -> bool:
        return self.version.endswith("t")

    @property
    def tag(self) -> str:  # the wheel's ABI tag and cibuildwheel's identifier: cp313, cp313t
        return "cp" + self.version.replace(".", "")

    @property
    def python_tag(self) -> str:  # the wheel's Python tag: cp313 of both 3.13 and 3.13t
        return "cp" + self.number.replace(".", "")

    @property
    def minor(self) -> int:
        return int(self.number.split(".")[1])


@dataclass(frozen=True)
class Platform:
    name: str    # manylinux_x86_64 ...
    zig: str     # zig's target
    tag: str     # auditwheel's platform tag (win_amd64: the wheel's)
    python: str  # one of PLATFORM_PYTHONS
    uv: str      # uv pip install's --python-platform of the tag


@dataclass(frozen=True)
class Matrix:
    pins: dict[str, str]
    pythons: tuple[Python, ...]
    platforms: dict[str, Platform]

    def pin(self, name: str) -> str:
        return f"{name}=={self.pins[name]}"

    def python(self, version: str) -> Python:
        for p in self.pythons:
            if p.version == version:
                return p
        raise KeyError(f"Python {version} is not in matrix.toml")

    def available(self) -> list[Python]:
        return [p for p in self.pythons if p.kind != "none"]

    def select(self, kind: str | None = None, wheel: str | None = None, ci: bool = False) -> list[Python]:
        return [p for p in self.available() if (kind is None or p.kind == kind)
                and (wheel is None or wheel in p.wheels) and (not ci or p.ci)]


def load(path: Path = ROOT / "matrix.toml") -> Matrix:
    data = tomllib.loads(path.read_text())
    platforms = {name: Platform(name, d["zig"], d["tag"], d["python"], d["uv"])
                 for name, d in data["platforms"].items()}
    pythons = []
    for version, d in data["pythons"].items():
        kind = d["kind"]
        wheels = tuple(d.get("wheels", ()))
        problems = [f"kind {kind!r}" for _ in [0] if kind not in KINDS]
        problems += [f"platform {w!r}" for w in wheels if w not in platforms]
        if problems:
            raise ValueError(f"{path.name}: Python {version}: unknown {', '.join(problems)}")
        release = d.get("release", kind != "none")
        release = {True: "cibuildwheel", False: ""}.get(release, release)
        if release not in RELEASES:
            raise ValueError(f"{path.name}: Python {version}: unknown release {release!r}")
        pythons.append(Python(version, kind, wheels, d.get("ci", kind != "none"), release))
    for p in platforms.values():
        if p.python not in PLATFORM_PYTHONS:
            raise ValueError(f"{path.name}: platform {p.name}: unknown python {p.python!r}")
    return Matrix(dict(data["pins"]), tuple(pythons), platforms)


def cache_dir(variable: str, name: str) -> Path:
    """The cache folder that $variable names, else $XDG_CACHE_HOME/name (~/.cache/name)."""
    if os.environ.get(variable):
        return Path(os.environ[variable])
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / name


def interpreter(p: Python) -> str:
    """This machine's x86_64 interpreter of p, or "" (a chroot's is found inside it)."""
    if p.kind == "pyenv":
        root = os.environ.get("PYENV_ROOT") or str(Path.home() / ".pyenv")
        found = sorted(glob.glob(f"{root}/versions/{p.number}.*/bin/python{p.number}"),
                       key=lambda c: [int(x) for x in c.split("/")[-3].split(".") if x.isdigit()])
        return found[-1] if found else shutil.which(f"python{p.number}") or ""
    if p.kind == "chroot":
        return f"/usr/bin/python{p.number}" if Path("/usr/bin/python" + p.number).exists() else ""
    if p.kind == "free-threaded":
        exe = cache_dir("TILU_PLATFORMS", "tilu-platforms") / f"free-threaded-{p.number}" / "bin" / f"python{p.version}"
        return str(exe) if exe.exists() else ""
    return ""


def main() -> int:
    ap = argparse.ArgumentParser(prog="scripts/matrix", description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="what", required=True)
    sub.add_parser("pin").add_argument("name")
    v = sub.add_parser("versions")
    v.add_argument("--kind")
    v.add_argument("--wheel")
    v.add_argument("--ci", action="store_true")
    sub.add_parser("python").add_argument("version")
    args = ap.parse_args()
    m = load()
    if args.what == "pin":
        print(m.pin(args.name))
    elif args.what == "versions":
        print("\n".join(p.version for p in m.select(args.kind, args.wheel, args.ci)))
    else:
        print(interpreter(m.python(args.version)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
