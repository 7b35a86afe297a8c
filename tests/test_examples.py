"""Runs the example scripts on the bundled sample model and checks what they write."""
import errno
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest

import platforms
import tilu
from colmap_writer import Cam, Img, Pt, cameras_bin, images_bin, points3D_bin
from helpers import run_python, start_python, wait_python

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "sample" / "sparse"
pytestmark = pytest.mark.skipif(not SAMPLE.is_dir(), reason="sample model not found")
try:
    import matplotlib  # noqa: F401  (the heatmap example's optional dependency)
except ImportError:
    matplotlib = None
needs_matplotlib = pytest.mark.skipif(matplotlib is None, reason="matplotlib is not installed (extra 'plot')")


def run(script, *args, cwd):
    return run_python(ROOT / "examples" / script, *args, cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def model():
    _, images, points3D = tilu.read_reconstruction_bin(str(SAMPLE))
    counts = tilu.compute_overlaps(points3D)
    ids = {img.name: i for i, img in images.items()}
    return ids, counts


def kth_largest(counts, a, k):
    """The count an image b must reach to be among a's k most covisible images."""
    others = sorted((n for b, n in counts[a].items() if b != a), reverse=True)
    return others[min(k, len(others)) - 1] if others and k else float("inf")


@pytest.mark.parametrize("k", [0, 1, 3, 50])
def test_pairs_are_the_top_k_covisible_each_once(k, model, tmp_path):
    ids, counts = model
    proc = run("pairs_from_covisibility.py", SAMPLE, "--top-k", k, "--output", "p.txt", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = (tmp_path / "p.txt").read_text().splitlines()
    pairs = [tuple(ids[name] for name in line.split(" ")) for line in lines]  # KeyError: unknown name
    assert all(len(p) == 2 and p[0] != p[1] for p in pairs)
    assert len({frozenset(p) for p in pairs}) == len(pairs)
    partners = {a: set() for a in counts}
    for a, b in pairs:
        partners[a].add(b)
        partners[b].add(a)
        # Chosen by a or by b: within the k best of one of them.
        assert counts[a][b] >= min(kth_largest(counts, a, k), kth_largest(counts, b, k))
    for a, chosen in partners.items():
        threshold = kth_largest(counts, a, k)
        assert {b for b, n in counts[a].items() if b != a and n > threshold} <= chosen
        assert sum(counts[a].get(b, 0) >= threshold for b in chosen) >= min(k, len(counts[a]) - 1)
    if k >= len(ids):  # every covisible pair, nothing else
        assert len(pairs) == sum(len(row) - 1 for row in counts.values()) // 2


@pytest.mark.parametrize("ids", ["abcde", "edcba"])  # image ids in or against name order
def test_ties_are_broken_by_name_not_by_ids_or_file_order(ids, tmp_path):
    seen_by = ["ab", "ac", "bd", "bd", "ce", "ce"]  # a shares 1 point with b and 1 with c
    seen_by = seen_by if ids == "abcde" else seen_by[::-1]
    (tmp_path / "cameras.bin").write_bytes(cameras_bin([Cam(1, 0, 9, 9, [1.0, 4.0, 4.0])]))
    (tmp_path / "images.bin").write_bytes(images_bin(
        [Img(ids.index(n) + 1, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 1, f"{n}.jpg") for n in "abcde"]))
    (tmp_path / "points3D.bin").write_bytes(points3D_bin(
        [Pt(i, (0.0, 0.0, 0.0), (0, 0, 0), 0.0, [(ids.index(n) + 1, 0) for n in s]) for i, s in enumerate(seen_by)]))
    proc = run("pairs_from_covisibility.py", tmp_path, "--top-k", 1, "--output", "-", cwd=tmp_path)
    assert sorted(proc.stdout.splitlines()) == ["a.jpg b.jpg", "b.jpg d.jpg", "c.jpg e.jpg"]


def test_pairs_on_stdout_are_deterministic_and_clean(tmp_path):
    outs = [run("pairs_from_covisibility.py", SAMPLE, "--top-k", 2, "--output", "-", cwd=tmp_path)
            for _ in range(3)]  # tilu promises no dict order
    assert all(p.returncode == 0 for p in outs)
    assert outs[0].stdout and all(p.stdout == outs[0].stdout for p in outs)
    assert "Computing" not in outs[0].stdout and "Computing overlaps..." in outs[0].stderr
    assert not list(tmp_path.iterdir())


SCRIPTS = ["pairs_from_covisibility.py", "demo.py",
           pytest.param("covisibility_heatmap.py", marks=needs_matplotlib)]


def interrupt_blocked_read(script, model, cwd):
    """Runs `script` on a model whose cameras.bin is a FIFO that stays silent, and
    sends SIGINT once the script is blocked reading it."""
    fifo = model / "cameras.bin"
    os.mkfifo(fifo)
    proc, writer = start_python(ROOT / "examples" / script, model, cwd=cwd), None
    try:
        deadline = time.monotonic() + 60
        while writer is None:  # opening the write end succeeds once the script reads
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
        pytest.fail("the script did not end on SIGINT", pytrace=False)
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
        proc = interrupt_blocked_read(script, model, cwd=tmp_path)
    else:
        proc = run(script, model, cwd=tmp_path)
    assert proc.returncode == status, proc.stderr
    assert proc.stderr.splitlines()[-1] == f"{script}: " + last_line.format(model)
    assert "Traceback" not in proc.stderr


@needs_matplotlib
def test_heatmap_shows_the_counts(tmp_path):
    import numpy as np
    from matplotlib.image import imread
    proc = run("covisibility_heatmap.py", SAMPLE, "--output", "h.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    pixels = imread(tmp_path / "h.png")
    colours = np.unique(pixels.reshape(-1, pixels.shape[-1]), axis=0)
    assert pixels.shape[0] > 300 and len(colours) > 20
