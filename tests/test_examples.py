"""Runs the example scripts and checks how they end when a model cannot be used."""
import errno
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

import platforms
from helpers import run_python, start_python, wait_python

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "sample" / "sparse"
pytestmark = pytest.mark.skipif(not SAMPLE.is_dir(), reason="sample model not found")
SCRIPTS = ["demo.py"]  # the pairs and the heatmap are the tilu command's (test_command.py)


def run(script, *args, cwd):
    return run_python(ROOT / "examples" / script, *args, cwd=cwd, timeout=120)


def interrupt_blocked_read(proc, fifo):
    """Sends SIGINT to the child `proc` once it is blocked reading the FIFO `fifo`,
    which stays silent, and returns how the child ended."""
    writer = None
    try:
        deadline = time.monotonic() + 60
        while writer is None:  # opening the write end succeeds once the child reads
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as e:
                assert e.errno == errno.ENXIO and proc.poll() is None and time.monotonic() < deadline
                time.sleep(0.01)
        time.sleep(0.2)  # into read(2)
        proc.send_signal(signal.SIGINT)
        try:
            return wait_python(proc, timeout=30)
        except subprocess.TimeoutExpired:
            pass
        pytest.fail("the child did not end on SIGINT", pytrace=False)
    finally:
        if writer is not None:
            os.close(writer)
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def break_model(model, failure):
    if failure == "unreadable":
        (model / "cameras.bin").mkdir()
    elif failure == "malformed":
        (model / "cameras.bin").write_bytes(b"abc")


@pytest.mark.parametrize("script", SCRIPTS)
@pytest.mark.parametrize("failure, status, last_line", [
    pytest.param("missing", 1, "cannot read the model {}: No such file or directory (os error 2)", id="missing"),
    pytest.param("unreadable", 1, "cannot read the model {}: Is a directory (os error 21)", id="unreadable"),
    pytest.param("malformed", 1, "cannot use the model {}: range end index 8 out of range for slice of length 3",
                 id="malformed"),
    pytest.param("interrupted", 130, "interrupted while working on the model {}", id="ctrl-c",
                 marks=[platforms.needs_fifo, platforms.needs_sigint]),
])
def test_failures_end_with_one_line_naming_the_model(script, failure, status, last_line, tmp_path):
    model = tmp_path / "model"
    if failure != "missing":
        model.mkdir()
    break_model(model, failure)
    if failure == "interrupted":
        os.mkfifo(model / "cameras.bin")
        proc = interrupt_blocked_read(start_python(ROOT / "examples" / script, model, cwd=tmp_path),
                                      model / "cameras.bin")
    else:
        proc = run(script, model, cwd=tmp_path)
    assert proc.returncode == status, proc.stderr
    assert proc.stderr.splitlines()[-1] == f"{script}: " + last_line.format(model)
    assert "Traceback" not in proc.stderr
