"""Type checks against the stub package tilu-stubs/, as a user of the installed
package sees them: stubtest compares the stubs with the built module, and
mypy --strict checks examples/typed_usage.py. Cold about 2 minutes (mypy and
the build), warm 20 s.

    scripts/check_types     tilu from this checkout into .venv-types

CI runs the same check() on every manylinux x86_64 wheel (scripts/wheels).
"""
from __future__ import annotations

import sys
from collections.abc import Sequence
from pathlib import Path

import dev
import matrix
from dev import ROOT, log, run


def check(vpy: Path, work: Path, prefix: Sequence[str] = ()) -> bool:
    """stubtest and mypy --strict with the environment of vpy, which has tilu and
    mypy installed; run from work (outside the source tree, so that only the
    installed module and stubs are seen)."""
    log("== stubtest tilu, mypy --strict examples/typed_usage.py")
    allow = ROOT / "scripts" / "stubtest_allowlist.txt"
    stubtest: list[str | Path] = [*prefix, vpy, "-m", "mypy.stubtest", "tilu", "--allowlist", allow]
    ok = run(stubtest, cwd=work, check=False) == 0
    typed: list[str | Path] = [*prefix, vpy, "-m", "mypy", "--strict", "--cache-dir", work / "mypy-cache",
                               ROOT / "examples" / "typed_usage.py"]
    return run(typed, cwd=work, check=False) == 0 and ok


if __name__ == "__main__":
    venv = ROOT / ".venv-types"
    vpy = dev.venv(venv, sys.executable, matrix.load().pin("mypy"))
    dev.pip(vpy, "--force-reinstall", "--no-deps", str(ROOT))
    sys.exit(0 if check(vpy, venv) else 1)
