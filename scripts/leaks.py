"""Leak checks of the developer build (build/dev), with the workload of
tests/test_hardening.py. Cold about 2 minutes (the build), warm about 30 s.

  1. every function, method, attribute and str() of tilu, with good and failing
     arguments, in a loop: RSS may grow by less than 1 MB over ROUNDS rounds and
     tracemalloc's traced memory by less than 16 bytes per round over ROUNDS/10;
  2. valgrind memcheck (PYTHONMALLOC=malloc) of 2 rounds: no definite leak and
     no memory error with a frame in tilu's code.

    scripts/leaks [ROUNDS]      (default 3000)
"""
from __future__ import annotations

import json
import os
import re
import subprocess
import sys

import dev
from dev import ROOT, log, run


def loop(vpy: str, rounds: int, env: dict[str, str]) -> bool:
    out = subprocess.run([vpy, ROOT / "tests" / "test_hardening.py", "leaks", str(rounds), str(rounds // 10)],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True).stdout
    f = json.loads(out)
    ok: bool = f["rss_growth_kb"] < 1024 and f["traced_growth_bytes"] < 16 * f["traced_rounds"]
    log(f"loop: {out.strip()}\nloop: {'flat' if ok else 'GROWING'}")
    return ok


def memcheck(vpy: str, env: dict[str, str]) -> bool:
    logfile = ROOT / "build" / "leaks" / "valgrind.log"
    subprocess.run(["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
                    "--num-callers=40", f"--log-file={logfile}", vpy, ROOT / "tests" / "test_hardening.py",
                    "workload", "2"], env={**env, "PYTHONMALLOC": "malloc"}, stderr=subprocess.DEVNULL, check=False)
    text = logfile.read_text()
    blocks = re.split(r"\n==\d+== \n", text)
    leaks = [b for b in blocks if "definitely lost in" in b]
    errors = [b for b in blocks if re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap", b)]
    ours = [b for b in leaks + errors if "tilu" in b]  # the module file, PyInit_tilu or a tilu:: frame
    summary = re.search(r"definitely lost: .*", text)
    log("valgrind:", summary.group(0) if summary else "no leak summary",
        f"| definite leaks in tilu: {sum('tilu' in b for b in leaks)}, memory errors in tilu:"
        f" {sum('tilu' in b for b in errors)} (all errors: {len(errors)}; log {logfile})")
    for b in ours:
        log(b)
    return not ours


def main() -> int:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    run([ROOT / "scripts" / "devbuild"])
    dev.need_packages("valgrind")
    vpy = str(dev.venv(ROOT / "build" / "leaks" / "venv", sys.executable, "pytest"))
    env = {**os.environ, "PYTHONPATH": str(ROOT / "build" / "dev")}
    ok = loop(vpy, rounds, env)
    return 0 if memcheck(vpy, env) and ok else 1


if __name__ == "__main__":
    sys.exit(main())
