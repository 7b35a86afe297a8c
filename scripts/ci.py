"""CI on a clean clone (.ci/run): the steps below, their Pythons and wheels
taken from matrix.toml, run by WORKERS at a time (default 4 on two cores: most
steps keep one core busy, and wait on pip's index, a lock or wine a part of
their time), each step as soon as what it needs is done, longest first. Each
step's output is shown whole when it ends, then a table of the steps. On two
cores: cold (a new machine) about 35 minutes, warm (a fresh clone, the
machine's caches filled) about 15; exits non-zero on any failure.

    scripts/ci [--workers N] [--only NAME]...

Steps (each check once per Python; the aarch64 wheels under qemu-user run a
subset of the suite, scripts/wheels --emulated-subset):
  checks              scripts/checks (layers, system headers, the copies of the
                      matrix and of the classes' attributes); ruff and mypy of scripts/
  sdist               the sdist every wheel is built from (scripts/wheels --sdist-only)
  Debian sid chroot   scripts/chroot, for the Pythons of kind "chroot"
  tests on X.Y        scripts/test (built from this checkout by the Python's own
                      compiler: GCC 12 here, GCC 16 in the chroot); on the pyenv
                      Pythons with the plot extra (the heatmap's tests)
  wheel P X.Y         scripts/wheels --platform P X.Y, for each wheel of matrix.toml:
                      built, checked, tested installed; the manylinux x86_64 ones
                      also by stubtest and mypy --strict
  platform CPythons   scripts/pythons for the wheels' musl and Windows Pythons
  free-threaded CPythons  scripts/pythons free-threaded, for the Pythons of that kind
  thread sanitizer    scripts/tsan: the threads' stress test, module and interpreter
                      built with ThreadSanitizer
  sanitizers, leaks   scripts/sanitize, scripts/leaks
  other systems       scripts/cross
  fuzzing             scripts/fuzz FUZZ_SECONDS (default 20) per harness
Tools are made once per machine, outside the checkout: zig's runtimes, the
chroots, the platform CPythons.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import dev
import matrix

ROOT = matrix.ROOT
S = str(ROOT / "scripts")


@dataclass
class Step:
    name: str
    cmd: list[str]
    needs: list[str] = field(default_factory=list)
    env: dict[str, str] = field(default_factory=dict)
    result: str = ""
    wall: float = 0.0
    cpu: float = 0.0


def steps() -> list[Step]:
    """The steps, longest first (of those whose needs are done, a worker takes the first)."""
    m = matrix.load()
    ci = m.select(ci=True)
    py312 = matrix.interpreter(m.python("3.12"))
    pys = {"PYTHON": py312}
    sdist = str(ROOT / "build" / "ci-sdist")
    chroot = ["Debian sid chroot"] if any(p.kind == "chroot" for p in ci) else []
    platform_pythons = [[f"{S}/pythons", kind, p.version] for kind, wheel in (("musl", "musllinux_x86_64"),
                        ("windows", "win_amd64")) for p in ci if wheel in p.wheels]
    # One step a wheel, those tested under qemu first (the longest but for the free-threaded one).
    order = {"chroot-arm64": 0, "host": 1, "built": 2, "embeddable": 3}
    free = [p for p in ci if p.kind == "free-threaded"]
    built = {"chroot": chroot, "free-threaded": ["free-threaded CPythons"]}
    wheels = [Step(f"wheel {w.name} {p.version}", [f"{S}/wheels", "--emulated-subset", "--sdist",
                                                   f"{sdist}/tilu.tar.gz", "--platform", w.name, p.version],
                   ["sdist"] + built.get(p.kind, [])
                   + (["platform CPythons"] if w.python in ("built", "embeddable") else []),
                   {"TILU_WHEELHOUSE": str(ROOT / "build" / f"ci-wheelhouse-{w.name}-{p.version}")})
              for w in sorted(m.platforms.values(), key=lambda w: order[w.python]) for p in ci if w.name in p.wheels]
    tests = []
    for p in ci:
        if p.kind == "chroot":
            tests.append(Step(f"tests on {p.version} (chroot)",
                              [f"{S}/chroot", f"PYTHON=/usr/bin/python{p.number}", f"{S}/test"], chroot))
        elif p.kind == "free-threaded":  # the interpreter is made by the step it needs
            tests.append(Step(f"tests on {p.version}", ["/bin/sh", "-c", f'PYTHON="$({S}/pythons free-threaded'
                              f' {p.version})/bin/python{p.version}" exec {S}/test'], built[p.kind]))
        else:
            tests.append(Step(f"tests on {p.version}", [f"{S}/test"], env={"PYTHON": matrix.interpreter(p),
                                                                          "TILU_TEST_EXTRAS": "test,plot"}))
    return [
        Step("checks", [f"{S}/python.sh", "ci", "--lint"], env=pys),
        Step("sdist", [f"{S}/python.sh", "ci", "--sdist", sdist], env=pys),
        *(Step(name, [f"{S}/chroot", "true"]) for name in chroot),
        *(Step("free-threaded CPythons", ["/bin/sh", "-c", " && ".join(
            f"{S}/pythons free-threaded {p.version} >/dev/null" for p in free)]) for _ in free[:1]),
        *(Step("thread sanitizer", [f"{S}/tsan"], env=pys) for _ in free[:1]),
        Step("platform CPythons", ["/bin/sh", "-c", " && ".join(" ".join(c) + " >/dev/null" for c in platform_pythons)
                                   or "true"]),
        # The free-threaded wheel and suite (X.Yt) take longest: first; then the
        # suite under ASan, so that the short steps come last.
        *[s for s in wheels + tests if s.name.endswith("t")],
        Step("sanitizers", [f"{S}/sanitize"], env=pys),
        *[s for s in wheels + tests if not s.name.endswith("t")],
        Step("fuzzing", [f"{S}/fuzz", os.environ.get("FUZZ_SECONDS", "20")], env=pys),
        Step("leaks", [f"{S}/leaks"], env=pys),
        Step("other systems", [f"{S}/cross"], ["platform CPythons"], env=pys),
    ]


def lint() -> int:
    """The checks step: scripts/checks, then ruff and mypy over scripts/."""
    tools_py, _ = dev.tools()
    status = dev.run([sys.executable, f"{S}/checks.py"], check=False)
    status |= dev.run([tools_py, "-m", "ruff", "check", "--no-cache", S], check=False)
    status |= dev.run([tools_py, "-m", "mypy", "--cache-dir", ROOT / "build" / "mypy-cache", S], cwd=ROOT, check=False)
    return 1 if status else 0


def make_sdist(where: str) -> int:
    """The sdist for every wheels step, as build/ci-sdist/tilu.tar.gz."""
    out = Path(where)
    env = {**os.environ, "TILU_WHEELHOUSE": str(out)}
    status = subprocess.run([f"{S}/wheels", "--sdist-only"], env=env).returncode
    if status == 0:
        (out / "tilu.tar.gz").unlink(missing_ok=True)
        (out / "tilu.tar.gz").symlink_to(next(out.glob("tilu-*.tar.gz")).name)
    return status


def run_step(step: Step, logs: Path, lock: threading.Lock) -> None:
    log = logs / (step.name.replace(" ", "_").replace("/", "_") + ".log")
    t0 = time.monotonic()
    with open(log, "wb") as out:
        proc = subprocess.Popen(step.cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                env={**os.environ, **step.env}, cwd=ROOT)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    step.wall, step.cpu = time.monotonic() - t0, usage.ru_utime + usage.ru_stime
    step.result = "ok" if proc.returncode == 0 else "FAILED"
    with lock:
        print(f"\n=== {step.name} ===", flush=True)
        sys.stdout.buffer.write(log.read_bytes())
        print(f"=== {line(step)}", flush=True)


def line(step: Step) -> str:
    return f"{step.name:<34} {step.result:<6} {step.wall:5.0f} s  (cpu {step.cpu:.0f} s)"


def cpu_times() -> tuple[float, float]:
    """(busy, all) clock ticks of the machine's CPUs since boot (Linux's /proc/stat; zeros elsewhere)."""
    try:
        with open("/proc/stat") as f:
            # user nice system idle iowait irq softirq steal (guest time is counted in user)
            ticks = [int(t) for t in f.readline().split()[1:9]]
    except OSError:
        return 0.0, 0.0
    return sum(ticks) - ticks[3] - ticks[4], sum(ticks)


def main() -> int:
    ap = argparse.ArgumentParser(prog="scripts/ci", description=__doc__.split("\n")[0])
    ap.add_argument("--workers", type=int, default=int(os.environ.get("CI_WORKERS", "4")))
    ap.add_argument("--only", action="append", default=[])
    ap.add_argument("--lint", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--sdist", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.lint:
        return lint()
    if args.sdist:
        return make_sdist(args.sdist)
    todo = [s for s in steps() if not args.only or s.name in args.only]
    names = {s.name for s in todo}
    for s in todo:
        s.needs = [n for n in s.needs if n in names]
    for s in todo:
        if s.env.get("PYTHON") == "":
            raise SystemExit(f"{s.name}: no interpreter for it here")
    all_steps, done, lock, cond = list(todo), set[str](), threading.Lock(), threading.Condition()
    t0, cpu0 = time.monotonic(), cpu_times()

    def worker() -> None:
        while True:
            with cond:
                while todo and not any(all(n in done for n in s.needs) for s in todo):
                    cond.wait()
                if not todo:
                    return
                step = next(s for s in todo if all(n in done for n in s.needs))
                todo.remove(step)
            run_step(step, logs, lock)
            with cond:
                done.add(step.name)
                cond.notify_all()

    with tempfile.TemporaryDirectory(prefix="tilu-ci.") as d:
        logs = Path(d)
        threads = [threading.Thread(target=worker) for _ in range(args.workers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    print("\n=== steps (wall time; cpu = user + system of the step's processes)")
    for s in all_steps:
        print(line(s))
    whole = time.monotonic() - t0
    (busy0, all0), (busy1, all1) = cpu0, cpu_times()
    busy, ticks = busy1 - busy0, all1 - all0
    print(f"whole run: {whole:.0f} s ({whole / 60:.1f} min), {args.workers} at a time; the machine's"
          f" {os.cpu_count()} cores busy {100 * busy / max(ticks, 1):.0f}% of it; load average"
          f" {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    failed = [s.name for s in all_steps if s.result != "ok"]
    if failed:
        print(f"CI failed: {', '.join(failed)}")
        return 1
    print("CI passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
