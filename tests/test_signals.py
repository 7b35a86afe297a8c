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
from helpers import run_python, start_python, wait_python

LATENCY_BOUND = 0.25  # seconds, from the signal to the exception in the caller
# What an interrupted call may leave behind (allocator slack; a free-threaded
# build's mimalloc keeps more of the pages of the objects it freed: 8.5 MB once
# after an interrupted read_reconstruction_bin, beside CI's other steps), and
# what the platform itself keeps (an emulator's translated code).
RSS_BOUND_MB = 8 + (8 if platforms.FREE_THREADED else 0) + platforms.RSS_NOISE_MB
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
pytestmark = platforms.needs_proc  # open descriptors and RSS of the child

# --- long calls, sized on this machine -------------------------------------------------

N_IMAGES = 1000   # the image ids of the points' tracks
STRIDES = 16      # track of point p: images b, b+s, b+2s, ... with b = p % N, s = 1 + p // N % STRIDES
PERIOD = N_IMAGES * STRIDES  # points of one whole period of the track pattern
TRACK = 12
# The covisibility calls get a file of their own, of longer tracks: their cost
# grows with the image pairs of each track.
OVERLAP_TRACK = 48


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
                     for p in range(PERIOD))
    return periodic(block, len(head) + 8 * track, count, 0, 8)


def cameras_file(count: int) -> bytes:
    cam = struct.pack("<IiQQ4d", 0, 1, 640, 480, 500.0, 500.0, 320.0, 240.0)
    return periodic(cam, len(cam), count, 0, 4)


def images_file(count: int) -> bytes:
    img = struct.pack("<I4d3dI", 0, 1.0, 0.0, 0.0, 0.0, 0.5, 0.5, 0.5, 1) + b"a.jpg\0" + struct.pack("<Q", 0)
    return periodic(img, len(img), count, 0, 4)


def overlap_shape() -> tuple[int, int]:
    """(images, items) of compute_overlaps on a file of whole periods of the track
    pattern (every image has the same partners)."""
    t = OVERLAP_TRACK
    partners = {(k * s) % N_IMAGES for s in range(1, STRIDES + 1) for k in range(-t + 1, t)}
    return N_IMAGES, N_IMAGES * len(partners)  # each row holds its image too


def best_time(call, arg) -> float:
    """The shorter of two timings of call(arg), in seconds."""
    times = []
    for _ in range(2):
        t0 = time.perf_counter()
        call(arg)
        times.append(time.perf_counter() - t0)
    return min(times)


class LongCalls:
    """Files that keep each call busy for a given time on this machine, in this
    build (a sanitizer build is several times slower), whatever its speed: each
    is sized from timings of the call in this process, grown until the shorter
    of two lasts that long."""

    def __init__(self, root: Path):
        self.root = root
        self.sized: dict[str, tuple[int, float]] = {}  # kind -> (count, seconds)

    def file(self, kind: str, seconds: float) -> tuple[Path, int]:
        """(path, count) of a file of `kind` (cameras, images, points3D: records;
        overlaps: whole periods of points) on which its call lasts `seconds` or
        more."""
        import tilu

        write, measure, count = {
            "cameras": (cameras_file, lambda path: best_time(tilu.read_cameras_bin, path), 200_000),
            "images": (images_file, lambda path: best_time(tilu.read_images_bin, path), 200_000),
            "points3D": (lambda n: points_file(TRACK, n),
                         lambda path: best_time(tilu.read_points3D_bin, path), 100_000),
            "overlaps": (lambda n: points_file(OVERLAP_TRACK, n * PERIOD),
                         lambda path: best_time(tilu.compute_overlaps, tilu.read_points3D_bin(path)), 1),
        }[kind]
        path = self.root / f"{kind}.bin"
        count, took = self.sized.get(kind, (count, 0.0))
        while took < seconds:
            if took:
                count = int(count * min(8.0, 1.25 * seconds / max(took, 1e-3))) + 1
            path.write_bytes(write(count))
            took = measure(str(path))
        self.sized[kind] = count, took
        return path, count


@pytest.fixture(scope="session")
def long_calls(tmp_path_factory) -> LongCalls:
    return LongCalls(tmp_path_factory.mktemp("long"))


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
        arg = tilu.read_points3D_bin(arg)
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


# --- a handler that forks while the file is read -----------------------------------

FORK_CHILD = r'''
import os, signal, struct, sys, tilu
path, n = sys.argv[1], int(sys.argv[2])
forked = []

def fork_while_open(signum, frame):
    # Forks once, between two pieces of the read: while the file is open. Parent
    # and child then share the descriptor and its offset. The timer is armed
    # once at a time, so that the handler never runs inside itself.
    if any(os.readlink(f"/proc/self/fd/{fd}") == path for fd in os.listdir("/proc/self/fd")
           if os.path.exists(f"/proc/self/fd/{fd}")):
        forked.append(os.fork())
    else:
        signal.setitimer(signal.ITIMER_REAL, 1e-4)

signal.signal(signal.SIGALRM, fork_while_open)
signal.setitimer(signal.ITIMER_REAL, 1e-4)
try:
    points2D = tilu.read_images_bin(path)[7].points2D
    outcome = f"{sum(p != [i, i + 0.5] for i, p in enumerate(points2D))} of {len(points2D)} wrong"
except BaseException as e:
    outcome = f"{type(e).__name__}: {e}"
signal.signal(signal.SIGALRM, signal.SIG_IGN)  # the handler may have armed the timer once more
who = "child" if forked == [0] else "parent" if forked else "no fork"
os.write(1, f"{who} {outcome}\n".encode())  # one write: the two processes share the pipe
if forked == [0]:
    os._exit(0)
if forked:
    os.waitpid(forked[0], 0)
'''


@platforms.needs_fork
@platforms.needs_itimer
def test_fork_in_a_handler_during_the_read_leaves_both_reads_whole(tmp_path):
    # 1,000,000 keypoints, then 16 MB of bytes after the last image that the
    # reader ignores: pieces read twice or skipped would give wrong keypoints
    # or a short file, in either process.
    n = 1_000_000
    head = struct.pack("<I4d3dI", 7, 1, 0, 0, 0, 0, 0, 0, 1) + b"a\0" + struct.pack("<Q", n)
    keypoints = array.array("d", [0.0]) * (3 * n)
    keypoints[0::3] = array.array("d", range(n))
    keypoints[1::3] = array.array("d", (i + 0.5 for i in range(n)))
    keypoints = bytearray(keypoints.tobytes())
    for k in range(8):  # the point3D ids: the marker
        keypoints[16 + k :: 24] = b"\xff" * n
    path = tmp_path / "images.bin"
    path.write_bytes(struct.pack("<Q", 1) + head + keypoints + b"\xff" * (16 << 20))
    done = run_python("-c", FORK_CHILD, str(path), str(n), timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert sorted(done.stdout.splitlines()) == [f"child 0 of {n} wrong", f"parent 0 of {n} wrong"], done.stdout


# --- a handler looking for the result while it is built --------------------------------

GC_CHILD = r'''
import gc, os, signal, sys, tilu
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the progress lines
name, path = sys.argv[1:]
fn = getattr(tilu, name)
covisibility = name.startswith("compute")
arg = tilu.read_points3D_bin(path) if covisibility else path

def summary(result):  # readers: the identifiers; covisibility: every count or fraction
    return result if covisibility else sorted(result)

want = summary(fn(arg))
mine = {id(o) for o in gc.get_objects()}
found, runs = [], []

def meddle(signum, frame):
    # What a handler can find of the call's work through the garbage collector:
    # new dicts of identifiers, which it empties. Once the whole result shows,
    # the call has returned (the result is made last, with no look for signals
    # after it): then its rows may show too, and the handler leaves them.
    runs.append(1)
    new = [o for o in gc.get_objects()
           if type(o) is dict and id(o) not in mine and o and all(type(k) is int for k in o)]
    if any(summary(o) == want for o in new):
        return
    for o in new:
        found.append(len(o))
        o.clear()
    signal.setitimer(signal.ITIMER_REAL, 1e-3)  # one timer at a time: no handler inside itself

signal.signal(signal.SIGALRM, meddle)
signal.setitimer(signal.ITIMER_REAL, 1e-3)
got = fn(arg)
signal.signal(signal.SIGALRM, signal.SIG_IGN)  # a handler may have armed the timer once more
print(len(runs) > 0, found, summary(got) == want, file=sys.stderr)
'''


@platforms.needs_itimer
@pytest.mark.parametrize("fn, kind", [("read_cameras_bin", "cameras"), ("read_images_bin", "images"),
                                      ("read_points3D_bin", "points3D"), ("compute_overlaps", "overlaps"),
                                      ("compute_overlap_percentages", "overlaps")])
def test_handler_finds_no_partial_result(fn, kind, long_calls):
    # The handler runs many times while the records are read or the rows made.
    path, _ = long_calls.file(kind, 0.2)
    done = run_python("-c", GC_CHILD, fn, str(path), timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stderr.splitlines()[-1] == "True [] True"


# --- SIGINT during long calls ---------------------------------------------------------

# (function, file kind, delay of the signal in seconds)
SIGINT_CASES = {
    "cameras": ("read_cameras_bin", "cameras", 0.05),
    "images": ("read_images_bin", "images", 0.05),
    "points3D": ("read_points3D_bin", "points3D", 0.05),
    "reconstruction": ("read_reconstruction_bin", "points3D", 0.1),  # two small files, then the large one
    **{f"{name}-{delay}": (fn, "overlaps", delay)
       for delay in (0.05, 0.2)
       for name, fn in [("overlaps", "compute_overlaps"), ("percentages", "compute_overlap_percentages")]},
}
# Each long call lasts several times what a case needs (the signal's delay and
# the latency bound), so that the call is still running when the signal comes
# and a late exception would show.
LONG_CALL = 3 * (max(delay for _, _, delay in SIGINT_CASES.values()) + LATENCY_BOUND)


@platforms.needs_sigint
@pytest.mark.parametrize("name", SIGINT_CASES)
def test_sigint_during_a_long_call(name, long_calls, tmp_path):
    fn, kind, delay = SIGINT_CASES[name]
    path, count = long_calls.file(kind, LONG_CALL)
    if fn == "read_reconstruction_bin":
        (tmp_path / "model").mkdir()
        (tmp_path / "model" / "cameras.bin").write_bytes(cameras_bin([Cam(1, 0, 640, 480, [1.0, 2.0, 3.0])]))
        (tmp_path / "model" / "images.bin").write_bytes(struct.pack("<Q", 0))
        (tmp_path / "model" / "points3D.bin").symlink_to(path)
        path, result = tmp_path / "model", [1, 0, count]
    elif kind == "overlaps":
        images, items = overlap_shape()
        points = count * PERIOD
        result = ([images, items, points * OVERLAP_TRACK] if fn == "compute_overlaps"
                  else [images, items - images, 0])
    else:
        result = count
    out, t_sent = run_sigint_case(dict(kind="sigint", fn=fn, arg=str(path)), tmp_path, delay)
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
