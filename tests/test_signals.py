"""Signals during long or blocked calls.

A signal handler that raises ends the call at once with its exception, the
file closed and everything built so far released; a handler that returns lets
the call go on; the next call works. Every case runs in a child interpreter
bounded by a timeout (a call that cannot be interrupted hangs), and SIGINT comes
from this process: the call holds the interpreter lock, so no thread of the
child could send it on time.

Each case prints the measured latency, from the signal to the exception in the
caller (run with -s to see the figures).
"""
from __future__ import annotations

import array
import json
import os
import signal
import struct
import subprocess
import time
from pathlib import Path

import pytest

import platforms
from colmap_writer import Cam, cameras_bin
from helpers import start_python, wait_python

LATENCY_BOUND = 0.25  # seconds, from the signal to the exception in the caller
# What an interrupted call may leave behind (allocator slack), and what the
# platform itself keeps (an emulator's translated code).
RSS_BOUND_MB = 8 + platforms.RSS_NOISE_MB
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
pytestmark = platforms.needs_proc  # open descriptors and RSS of the child

# --- a large model, written fast ---------------------------------------------------

N_IMAGES = 1000   # the image ids of the points' tracks
STRIDES = 16      # track of point p: images b, b+s, b+2s, ... with b = p % N, s = 1 + p // N % STRIDES
TRACK = 12
SCALE = 4 if ASAN else 1  # the sanitizer build is several times slower: smaller files do
# Sizes meant to make each call last half a second or more; each test checks
# that its call would have outlasted the signal by LATENCY_BOUND.
N_CAMERAS = 1_500_000 // SCALE
N_IMAGE_RECORDS = 1_500_000 // SCALE
N_POINTS = 1_500_000 // SCALE
# The covisibility calls get a file of their own, of longer tracks: their cost
# grows with the image pairs of each track, and a second or so (release build)
# leaves room for the signal and the bound. Not scaled down for the sanitizer:
# the counting stays cheap there against the reading.
OVERLAP_TRACK = 48
N_OVERLAP_POINTS = 12 * N_IMAGES * STRIDES  # whole periods of the track pattern


def periodic(block: bytes, rec_size: int, count: int, id_offset: int, id_width: int) -> bytes:
    """`count` records repeating the records of `block`, with the ids 1..count (u32 or
    u64 at `id_offset` of each record) written in by strided slices."""
    reps, rest = divmod(count, len(block) // rec_size)
    buf = bytearray(block * reps + block[: rest * rec_size])
    ids = array.array("Q" if id_width == 8 else "I", range(1, count + 1))
    assert ids.itemsize == id_width
    ids = ids.tobytes()
    for k in range(id_width):
        buf[id_offset + k :: rec_size] = ids[k :: id_width]
    return struct.pack("<Q", count) + buf


def track_images(p: int, track: int) -> list[int]:
    b, s = p % N_IMAGES, 1 + p // N_IMAGES % STRIDES
    return [(b + j * s) % N_IMAGES + 1 for j in range(track)]


def points_file(track: int, count: int) -> bytes:
    head = struct.pack("<Q3d3BdQ", 0, 1.0, 2.0, 3.0, 1, 2, 3, 0.5, track)
    block = b"".join(head + b"".join(struct.pack("<II", i, j) for j, i in enumerate(track_images(p, track)))
                     for p in range(N_IMAGES * STRIDES))
    return periodic(block, len(head) + 8 * track, count, 0, 8)


def overlap_shape() -> tuple[int, int]:
    """(images, items) of compute_overlaps on the overlap file (whole periods of the
    track pattern, so every image has the same partners)."""
    t = OVERLAP_TRACK
    partners = {(k * s) % N_IMAGES for s in range(1, STRIDES + 1) for k in range(-t + 1, t)}
    return N_IMAGES, N_IMAGES * len(partners)  # each row holds its image too


@pytest.fixture(scope="session")
def big_model(tmp_path_factory) -> Path:
    d = tmp_path_factory.mktemp("big")
    cam = struct.pack("<IiQQ4d", 0, 1, 640, 480, 500.0, 500.0, 320.0, 240.0)
    (d / "cameras.bin").write_bytes(periodic(cam, len(cam), N_CAMERAS, 0, 4))
    img = struct.pack("<I4d3dI", 0, 1.0, 0.0, 0.0, 0.0, 0.5, 0.5, 0.5, 1) + b"a.jpg\0" + struct.pack("<Q", 0)
    (d / "images.bin").write_bytes(periodic(img, len(img), N_IMAGE_RECORDS, 0, 4))
    (d / "points3D.bin").write_bytes(points_file(TRACK, N_POINTS))
    (d / "overlaps.bin").write_bytes(points_file(OVERLAP_TRACK, N_OVERLAP_POINTS))
    # The whole-model reader on the large points file, after two small files.
    small = d / "small"
    small.mkdir()
    (small / "cameras.bin").write_bytes(cameras_bin([Cam(1, 0, 640, 480, [1.0, 2.0, 3.0])]))
    (small / "images.bin").write_bytes(struct.pack("<Q", 0))
    (small / "points3D.bin").symlink_to(d / "points3D.bin")
    return d


# --- the child ----------------------------------------------------------------------

CHILD = r'''
import ctypes, gc, json, os, resource, signal, struct, subprocess, sys, time
import tilu

report = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the overlap progress lines go nowhere
case = json.loads(sys.argv[1])

# The module keeps the int objects below 65536 once made, for the process: make
# them all now (a track of 65536 entries), so that they do not count as memory
# left behind by the call under test, nor pin the pages its objects used.
with open(case["ints"], "wb") as f:
    f.write(struct.pack("<QQ3d3BdQ", 1, 1, 0, 0, 0, 0, 0, 0, 0, 1 << 16))
    f.write(b"".join(struct.pack("<II", k, k) for k in range(1 << 16)))
tilu.read_points3D_bin(case["ints"])[1].track

_trim = getattr(ctypes.CDLL(None), "malloc_trim", None)


def rss_mb():
    gc.collect()
    if _trim:
        _trim(0)  # what the allocator keeps cached is not what the call kept
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm("from the handler")


def alarm_in(seconds):
    signal.signal(signal.SIGALRM, raise_alarm)
    t = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, seconds)
    return t + seconds  # when the signal comes


def disarm():
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)


def tell_parent():  # the parent sends SIGINT once it has read this line
    print("calling", file=report, flush=True)
    return time.monotonic()


def summary(result):
    """What a call returned, in a few numbers."""
    if isinstance(result, tuple):
        return [summary(r) for r in result]
    if result and isinstance(next(iter(result.values())), dict):
        return [len(result), sum(map(len, result.values())), sum(row.get(a, 0) for a, row in result.items())]
    return len(result)


def writer(src, fifo, delay=0):  # another process fills the FIFO with the bytes of src
    return subprocess.Popen(["sh", "-c", f'sleep {delay}; cat "$1" > "$2"', "sh", src, fifo])


def interrupted(call, arm, follow):
    """Runs call() with a signal armed by arm(), then follow() without: the outcome,
    the open files and the memory before and after, and follow()'s result."""
    fds0, rss0 = open_fds(), rss_mb()
    t_signal = arm()
    t0 = time.monotonic()
    t_exc, got = None, ["returned"]
    try:
        call()
    except BaseException as e:
        t_exc = time.monotonic()
        got = [type(e).__name__, *map(str, e.args)]
    disarm()
    fds1, rss1 = open_fds(), rss_mb()
    t1 = time.monotonic()
    result = follow()
    duration = time.monotonic() - t1
    return dict(got=got, t0=t0, t_signal=t_signal, t_exc=t_exc, fds=[fds0, fds1], rss=[rss0, rss1],
                duration=duration, result=summary(result))


kind = case["kind"]
if kind == "fifo":
    # FIFO with no writer (open blocks) or with one that stays silent (read blocks).
    fifo, src = case["fifo"], case["src"]
    os.mkfifo(fifo)
    silent = None
    if case["writer"] == "silent":
        r = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        silent = os.open(fifo, os.O_WRONLY)
        os.close(r)

    def follow():
        if silent is not None:
            os.close(silent)
        w = writer(src, fifo)
        result = tilu.read_cameras_bin(fifo)
        w.wait()
        return result

    out = interrupted(lambda: tilu.read_cameras_bin(fifo), lambda: alarm_in(0.3), follow)
elif kind == "fifo-handler-returns":
    # A handler that returns: the call goes on and ends normally, and the handler
    # runs while the call waits (not once after it).
    fifo, src = case["fifo"], case["src"]
    os.mkfifo(fifo)
    ran = []
    signal.signal(signal.SIGALRM, lambda signum, frame: ran.append(time.monotonic()))
    w = writer(src, fifo, delay=0.5)
    signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
    result = tilu.read_cameras_bin(fifo)
    t_end = time.monotonic()
    disarm()
    w.wait()
    out = dict(result=summary(result), ran_during=sum(t < t_end for t in ran))
elif kind == "progress":
    # Standard output is a full pipe: writing the first progress line blocks.
    points = tilu.read_points3D_bin(case["points"])
    r, w = os.pipe()
    os.dup2(w, 1)
    os.set_blocking(w, False)
    try:
        while True:
            os.write(w, b"x" * 4096)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)

    def follow():
        os.set_blocking(r, False)
        try:
            while os.read(r, 1 << 16):
                pass
        except BlockingIOError:
            pass
        result = tilu.compute_overlaps(points)
        out["lines"] = os.read(r, 1 << 16).decode()
        return result

    out = {}
    out.update(interrupted(lambda: tilu.compute_overlaps(points), lambda: alarm_in(0.3), follow))
elif kind == "sigint":
    fn = getattr(tilu, case["fn"])
    arg = case["arg"]
    if case["fn"].startswith("compute"):
        points = tilu.read_points3D_bin(arg)
        arg = {k: points[k] for k in range(1, case["points"] + 1)}
        del points
    if case.get("memory_cap") and "asan" not in os.environ.get("LD_PRELOAD", ""):
        # An endless file that is not interrupted ends in MemoryError, not in the OOM killer.
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (vm + (3 << 30), resource.RLIM_INFINITY))
    follow_arg = case.get("follow_arg", arg)
    out = interrupted(lambda: fn(arg), tell_parent, lambda: fn(follow_arg))
print(json.dumps(out), file=report)
'''


def start_case(case: dict, tmp_path: Path) -> subprocess.Popen:
    return start_python("-c", CHILD, json.dumps(dict(case, ints=str(tmp_path / "ints.bin"))))


def finish_case(proc: subprocess.Popen, timeout: float) -> dict:
    """The child's figures; a child still running after `timeout` seconds is killed."""
    try:
        done = wait_python(proc, timeout)
    except subprocess.TimeoutExpired:
        done = None
    if done is None:
        pytest.fail(f"the child was still running after {timeout} s: the call did not end", pytrace=False)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


def run_case(case: dict, tmp_path: Path, timeout: float = 30) -> dict:
    return finish_case(start_case(case, tmp_path), timeout)


def run_sigint_case(case: dict, tmp_path: Path, delay: float, timeout: float = 300) -> tuple[dict, float]:
    """Runs a "sigint" case and sends SIGINT `delay` seconds into its call; returns
    the child's figures and the time of the signal."""
    proc = start_case(case, tmp_path)
    if proc.stdout.readline() != "calling\n":  # the child writes it just before the call
        pytest.fail(f"the child ended before the call: {finish_case(proc, timeout)}")
    time.sleep(delay)
    t_sent = time.monotonic()  # CLOCK_MONOTONIC: one clock for the whole machine
    proc.send_signal(signal.SIGINT)
    return finish_case(proc, timeout), t_sent


def check_interrupted(out: dict, exception: list, t_signal: float, result, label: str) -> None:
    """The call ended with `exception` soon after the signal, left no file open and
    no memory held, and the following call returned `result`."""
    latency = None if out["t_exc"] is None else out["t_exc"] - t_signal
    print(f"\n{label}: signal -> exception {latency if latency is None else round(latency, 4)} s, "
          f"following call {out['duration']:.3f} s, RSS {out['rss'][0]:.0f} -> {out['rss'][1]:.0f} MB")
    assert out["got"] == exception
    assert out["t0"] <= t_signal
    assert latency < LATENCY_BOUND
    fds_before, fds_after = out["fds"]
    assert fds_after == fds_before
    rss_before, rss_after = out["rss"]
    if not ASAN:  # ASan's quarantine holds on to freed memory
        assert rss_after - rss_before < RSS_BOUND_MB
    assert out["result"] == result


# --- blocked reads and writes --------------------------------------------------------

SMALL_CAMERAS = cameras_bin([Cam(1, 0, 640, 480, [1.0, 2.0, 3.0]), Cam(2, 1, 9, 9, [1.0, 2.0, 3.0, 4.0])])


@platforms.needs_fifo
@platforms.needs_itimer
@pytest.mark.parametrize("writer", ["none", "silent"])
def test_blocked_fifo_ends_with_the_handlers_exception(writer, tmp_path):
    (tmp_path / "cameras.bin").write_bytes(SMALL_CAMERAS)
    out = run_case(dict(kind="fifo", writer=writer, fifo=str(tmp_path / "fifo"),
                        src=str(tmp_path / "cameras.bin")), tmp_path)
    check_interrupted(out, ["Alarm", "from the handler"], out["t_signal"], 2, f"FIFO, writer {writer}")


@platforms.needs_fifo
@platforms.needs_itimer
def test_handler_that_returns_runs_during_the_call_which_goes_on(tmp_path):
    (tmp_path / "cameras.bin").write_bytes(SMALL_CAMERAS)
    out = run_case(dict(kind="fifo-handler-returns", fifo=str(tmp_path / "fifo"),
                        src=str(tmp_path / "cameras.bin")), tmp_path)
    assert out["result"] == 2
    # A timer every 20 ms while open() waits 0.5 s for the writer.
    assert out["ran_during"] >= 5, out


@platforms.needs_itimer
def test_blocked_progress_line_ends_with_the_handlers_exception(tmp_path):
    track = [(1, 0), (2, 0), (3, 0)]
    head = struct.pack("<Q3d3BdQ", 7, 0.0, 0.0, 0.0, 0, 0, 0, 0.0, len(track))
    (tmp_path / "p.bin").write_bytes(struct.pack("<Q", 1) + head + b"".join(struct.pack("<II", *e) for e in track))
    out = run_case(dict(kind="progress", points=str(tmp_path / "p.bin")), tmp_path)
    check_interrupted(out, ["Alarm", "from the handler"], out["t_signal"], [3, 9, 3], "progress line")
    assert out["lines"] == "Computing overlaps...\nDone computing overlaps.\n"


# --- SIGINT during long calls ---------------------------------------------------------

def sigint_cases():
    """(id, function, argument name in big_model or a path, delay, following call's result)"""
    images, items = overlap_shape()
    yield "cameras", "read_cameras_bin", "cameras.bin", 0.05, N_CAMERAS
    yield "images", "read_images_bin", "images.bin", 0.05, N_IMAGE_RECORDS
    yield "points3D", "read_points3D_bin", "points3D.bin", 0.05, N_POINTS
    yield "reconstruction", "read_reconstruction_bin", "small", 0.1, [1, 0, N_POINTS]
    for delay in (0.05, 0.2):
        yield (f"overlaps-{delay}", "compute_overlaps", "overlaps.bin", delay,
               [images, items, N_OVERLAP_POINTS * OVERLAP_TRACK])
        yield (f"percentages-{delay}", "compute_overlap_percentages", "overlaps.bin", delay,
               [images, items - images, 0])


SIGINT_CASES = {c[0]: c[1:] for c in sigint_cases()}


@platforms.needs_sigint
@pytest.mark.parametrize("name", SIGINT_CASES)
def test_sigint_during_a_long_call(name, big_model, tmp_path):
    fn, arg, delay, result = SIGINT_CASES[name]
    case = dict(kind="sigint", fn=fn, arg=str(big_model / arg), points=N_OVERLAP_POINTS)
    out, t_sent = run_sigint_case(case, tmp_path, delay)
    check_interrupted(out, ["KeyboardInterrupt"], t_sent, result, f"SIGINT, {name}")
    # Uninterrupted, the call would have gone on long enough after the signal
    # for a late exception to show.
    assert out["duration"] >= t_sent - out["t0"] + LATENCY_BOUND, "too small a model to tell"


@platforms.needs_sigint
def test_sigint_while_reading_an_endless_file(tmp_path):
    (tmp_path / "cameras.bin").write_bytes(SMALL_CAMERAS)
    case = dict(kind="sigint", fn="read_cameras_bin", arg="/dev/zero", memory_cap=True,
                follow_arg=str(tmp_path / "cameras.bin"))
    out, t_sent = run_sigint_case(case, tmp_path, 0.15, timeout=120)
    check_interrupted(out, ["KeyboardInterrupt"], t_sent, 2, "SIGINT, /dev/zero")
