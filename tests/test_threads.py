"""Threads: tilu used by eight threads at once (thread_stress.py, in a child
interpreter, so that a crash fails the test rather than the run). On a
free-threaded build the threads run in parallel, and importing tilu leaves the
interpreter without its lock."""
from __future__ import annotations

import json

import platforms
from helpers import TESTS, run_python


def test_eight_threads_agree_with_one():
    proc = run_python(TESTS / "thread_stress.py", "1", timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    figures = json.loads(proc.stdout.splitlines()[-1])
    assert figures["gil"] == (not platforms.FREE_THREADED), figures
    assert all(figures[s] >= 8 for s in ("loads", "shared", "drops")) and figures["mutated"] >= 7, figures


def test_import_keeps_the_interpreter_lock_as_it_was():
    # (A RuntimeWarning, an error here, would say that the import enabled it.)
    proc = run_python("-W", "error", "-c",
                      "import sys, tilu; print(getattr(sys, '_is_gil_enabled', lambda: True)())")
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == [str(not platforms.FREE_THREADED)]
