"""The checks of a built wheel (scripts/wheels, step 3), each a second or two:
its contents, the libraries and symbol versions its module needs (Linux), the
DLLs it imports and what it exports (Windows).

    python scripts/wheel_check.py auditwheel PLATFORM ARGS...

runs auditwheel (of the tools' environment, scripts/dev.py) as on a machine of
PLATFORM: auditwheel offers the tags of the machine it runs on only (its own
detection of the architecture and the C library); its analysis reads any ELF
file.
"""
from __future__ import annotations

import fnmatch
import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

import matrix

GLIBC = (2, 17)  # the oldest glibc the manylinux wheels run on (manylinux2014)
GLIBC_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
              "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
WINDOWS_DLLS = re.compile(r"(?i)(api-ms-win-crt-.*|kernel32|bcrypt|python3\d+)\.dll")


def tool(*cmd: str) -> str:
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout


def contents(names: list[str], module: str) -> list[str]:
    problems = [f"missing from the wheel: {pattern}" for pattern in
                [module, "tilu-stubs/__init__.pyi", "tilu_cli/__init__.py", "tilu_cli/__main__.py",
                 "*.dist-info/entry_points.txt", "*.dist-info/licenses/LICENSE"]
                if not fnmatch.filter(names, pattern)]
    unexpected = [n for n in names if not fnmatch.fnmatch(n, module)
                  and not n.startswith(("tilu-stubs/", "tilu_cli/")) and not n.split("/")[0].endswith(".dist-info")]
    if unexpected:  # e.g. libraries that auditwheel copied in (tilu.libs/)
        problems.append(f"unexpected files in the wheel: {unexpected}")
    return problems


def windows_module(so: str, facts: list[str]) -> list[str]:
    dump = tool("objdump", "-p", so)
    dlls = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower)
    facts.append(f"imports {' '.join(dlls)}")
    problems = [f"imports DLLs beyond the system's and Python's: {dlls}"] if any(
        not WINDOWS_DLLS.fullmatch(n) for n in dlls) else []
    exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", dump.split("[Ordinal/Name Pointer] Table")[-1], re.M)
    return problems + ([f"exports {exports}"] if exports != ["PyInit_tilu"] else [])


def linux_module(plat: matrix.Platform, so: str, show: str, facts: list[str]) -> list[str]:
    arch = plat.name.split("_", 1)[1]
    manylinux = plat.name.startswith("manylinux")
    show = " ".join(show.split())  # auditwheel wraps its lines
    verdict = re.search(r'consistent with the following platform tag: "([^"]+)"', show)
    want = f"manylinux_{GLIBC[0]}_{GLIBC[1]}_{arch}" if manylinux else plat.tag
    problems = [f"auditwheel show: {show}"] if not verdict or verdict.group(1) != want else []
    facts.append(f"auditwheel: {verdict.group(1) if verdict else '?'}")
    if ".debug_" in tool("readelf", "-S", "-W", so):
        problems.append("not stripped: debug sections in the module")
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", tool("readelf", "-d", so))
    beyond = set(needed) - (GLIBC_LIBS if manylinux else {f"libc.musl-{arch}.so.1"})
    if beyond:
        problems.append(f"needs libraries beyond the C library: {sorted(beyond)}")
    facts.append(f"NEEDED: {' '.join(needed)}")
    if manylinux:
        syms = tool("readelf", "--dyn-syms", "-W", so)
        newest = max(tuple(map(int, v.split("."))) for v in re.findall(r"@GLIBC_(\d+(?:\.\d+)+)", syms))
        text = ".".join(map(str, newest))
        if newest > GLIBC:
            problems.append(f"needs GLIBC_{text}")
        facts.append(f"newest symbol version GLIBC_{text}")
    return problems


def check(plat: matrix.Platform, wheel: Path, show: str) -> bool:
    """Prints the repaired wheel's facts and problems; whether it has none.
    show: what `auditwheel show` said of it (Linux)."""
    names = zipfile.ZipFile(wheel).namelist()
    module = "tilu.cp*-win_amd64.pyd" if plat.name == "win_amd64" else "tilu.cpython-*-linux-*.so"
    problems, facts = contents(names, module), list[str]()
    if not problems:
        with tempfile.TemporaryDirectory() as d:
            so = zipfile.ZipFile(wheel).extract(fnmatch.filter(names, module)[0], d)
            problems = (windows_module(so, facts) if plat.name == "win_amd64"
                        else linux_module(plat, so, show, facts))
    print(f"{wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB; {'; '.join(facts)}")
    for p in problems:
        print("  PROBLEM:", p)
    return not problems


def musl_soname(raw: Path, patchelf: Path) -> None:
    """zig links musl's C library by the name "libc.so", which musl's loader takes
    for itself; the wheels of musl systems name it by its soname."""
    new = raw.with_suffix(".new")
    with tempfile.TemporaryDirectory() as d, zipfile.ZipFile(raw) as old, \
            zipfile.ZipFile(new, "w", zipfile.ZIP_DEFLATED) as out:
        for info in old.infolist():
            data = old.read(info)
            if fnmatch.fnmatch(info.filename, "tilu.*.so"):
                so = old.extract(info, d)
                subprocess.run([patchelf, "--replace-needed", "libc.so", "libc.musl-x86_64.so.1", so], check=True)
                data = Path(so).read_bytes()
            out.writestr(info, data)  # auditwheel writes the RECORD anew
    os.replace(new, raw)


def auditwheel(plat: str, args: list[str]) -> int:
    from auditwheel.architecture import Architecture
    from auditwheel.libc import Libc, LibcVersion
    from auditwheel.main import main
    Architecture.detect = staticmethod(lambda **_: Architecture(plat.split("_", 1)[1]))
    Libc.detect = staticmethod(lambda: Libc.MUSL if plat.startswith("musllinux") else Libc.GLIBC)
    if plat.startswith("musllinux"):  # the musl of the machine: that of the tag wanted
        Libc.get_current_version = lambda self: LibcVersion(1, 2)
    sys.argv = ["auditwheel", *args]
    return int(main() or 0)


if __name__ == "__main__":
    if sys.argv[1:2] != ["auditwheel"] or len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(auditwheel(sys.argv[2], sys.argv[3:]))
