"""Hostile files, leaks and subinterpreters (threads: test_threads.py).

Every check that needs a clean process (peak RSS, a leak loop,
a subinterpreter) runs in a child interpreter. Run as a script this file is the
leak workload of scripts/leaks:

    python tests/test_hardening.py leaks ROUNDS TRACED_ROUNDS  # JSON on stderr: RSS and traced growth
    python tests/test_hardening.py workload ROUNDS             # the calls alone (for valgrind)
"""
from __future__ import annotations

import gc
import json
import os
import struct
import sys
import tempfile
import tracemalloc
import weakref
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
sys.path.insert(0, str(TESTS))

import platforms  # noqa: E402
import tilu  # noqa: E402
from colmap_writer import (NO_POINT3D, Cam, Img, Pt, cameras_bin, camera_record, image_record,  # noqa: E402
                           images_bin, points3D_bin)
from helpers import U64_MAX, oor, panics, run_python, unterminated  # noqa: E402
from platforms import rss_kb  # noqa: E402

HUGE = [U64_MAX, 2**63, 2**32]
# Child scripts print their JSON result on the original stdout; fd 1 itself
# goes to /dev/null so that the overlap progress lines do not mix in.
PRELUDE = ("import os, sys\n_out = os.fdopen(os.dup(1), 'w')\n"
           "os.dup2(os.open(os.devnull, os.O_WRONLY), 1)\n")


def run_child(code: str, *args, timeout: float = 300):
    """The JSON value that the child script `code` prints last."""
    proc = run_python("-c", PRELUDE + code, *args, timeout=timeout)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


def write_model(d: Path, n_images: int = 4, n_keypoints: int = 200, n_points: int = 120) -> Path:
    d.mkdir(parents=True, exist_ok=True)
    cams = [Cam(m + 1, m, 640, 480, [100.0 + k for k in range(n)]) for m, n in [(0, 3), (1, 4), (2, 4)]]
    imgs = [Img(i, (0.9, 0.1 * i, 0.2, 0.3), (i, -1.5, 2.0), 1 + i % 3, f"img_{i}.jpg",
                [(k * 0.5, k * 0.25, k % n_points if k % 3 else NO_POINT3D) for k in range(n_keypoints)])
            for i in range(1, n_images + 1)]
    pts = [Pt(p, (p, p * 0.5, -p), (p % 256, 7, 255), 0.25,
              [(1 + (p + j) % n_images, j) for j in range(1 + p % 4)]) for p in range(n_points)]
    (d / "cameras.bin").write_bytes(cameras_bin(cams))
    (d / "images.bin").write_bytes(images_bin(imgs))
    (d / "points3D.bin").write_bytes(points3D_bin(pts))
    return d


# --- hostile files ---------------------------------------------------------------

IMG_FIXED = struct.pack("<I4d3dI", 1, 1, 0, 0, 0, 0, 0, 0, 1)  # 64 bytes up to the name
PT_FIXED = struct.pack("<Q3d3Bd", 1, 0, 0, 0, 1, 2, 3, 0.5)    # 43 bytes up to the track length


def hostile_cases():
    """(id, reader, bytes, message): counts that the bytes cannot hold fail at the
    first missing field, whatever the count claims."""
    for x in HUGE:
        cam = camera_record(Cam(1, 1, 640, 480, [1.0, 2.0, 3.0, 4.0]))
        yield f"cameras-count-{x:#x}", "read_cameras_bin", struct.pack("<Q", x) + cam, oor(68, 64)
        img = image_record(Img(1, (1, 0, 0, 0), (0, 0, 0), 1, "a"))
        yield f"images-count-{x:#x}", "read_images_bin", struct.pack("<Q", x) + img, oor(86, 82)
        # Two whole keypoints and 10 bytes of a third: its x fits, its y does not.
        keypoints = struct.pack("<Q", 1) + IMG_FIXED + b"a\0" + struct.pack("<Q", x) + bytes(58)
        yield f"images-points2D-{x:#x}", "read_images_bin", keypoints, oor(146, 140)
        pt = struct.pack("<Q", x) + PT_FIXED + struct.pack("<QII", 1, 1, 0)
        yield f"points-count-{x:#x}", "read_points3D_bin", pt, oor(75, 67)
        # Three whole track entries and the image id of a fourth.
        track = struct.pack("<Q", 1) + PT_FIXED + struct.pack("<Q", x) + bytes(28)
        yield f"points-track-{x:#x}", "read_points3D_bin", track, oor(91, 87)
        yield f"names-count-{x:#x}", "read_images_bin", struct.pack("<Q", x) + IMG_FIXED + b"abc", unterminated(75)
    yield "name-at-end", "read_images_bin", struct.pack("<Q", 1) + IMG_FIXED, unterminated(72)
    yield "name-no-byte", "read_images_bin", struct.pack("<Q", 1) + IMG_FIXED[:-1], oor(72, 71)
    yield "name-long", "read_images_bin", struct.pack("<Q", 2) + IMG_FIXED + b"x" * 100_000, unterminated(100_072)


CASES = {case[0]: case[1:] for case in hostile_cases()}

HOSTILE_CHILD = """
import json, platforms, tilu
cases = json.loads(sys.argv[1])
# On Linux, outside the sanitizer build, cap the address space too: reserving
# from a count would then fail with MemoryError instead of passing unnoticed.
# (macOS does not enforce RLIMIT_AS; Windows has no such limit.)
if platforms.LINUX and "asan" not in os.environ.get("LD_PRELOAD", ""):  # ASan reserves terabytes of shadow
    vm = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    platforms.resource.setrlimit(platforms.resource.RLIMIT_AS, (vm + (1 << 30), platforms.resource.RLIM_INFINITY))
base = platforms.peak_rss_kb()
out = {}
for name, fn, path in cases:
    try:
        getattr(tilu, fn)(path)
        got = ["returned"]
    except BaseException as e:
        got = [type(e).__name__, *map(str, e.args)]
    out[name] = [got, platforms.peak_rss_kb() - base]
print(json.dumps(out), file=_out)
"""


@pytest.fixture(scope="module")
def hostile_outcomes(tmp_path_factory):
    d = tmp_path_factory.mktemp("hostile")
    cases = []
    for name, (fn, data, _) in CASES.items():
        (d / name).write_bytes(data)
        cases.append([name, fn, str(d / name)])
    return run_child(HOSTILE_CHILD, json.dumps(cases))


@pytest.mark.parametrize("name", CASES)
def test_hostile_file_fails_at_first_missing_field(name, hostile_outcomes):
    _, data, message = CASES[name]
    got, rss_growth_kb = hostile_outcomes[name]
    assert got == ["PanicException", message]
    assert rss_growth_kb * 1024 <= len(data) + 20 * 2**20


@pytest.mark.parametrize("count", HUGE)
def test_hostile_points_file_in_a_model(tmp_path, count):
    model = write_model(tmp_path)
    (model / "points3D.bin").write_bytes(struct.pack("<Q", count) + PT_FIXED)
    with panics(oor(59, 51)):
        tilu.read_reconstruction_bin(str(model))


def test_repeating_keys_and_empty_tracks(tmp_path):
    # Keys that are not exact ints make the conversion drop repeated keys; with
    # no track entry at all, that must not hand memmove a null pointer (run
    # under scripts/sanitize, UBSan reports it).
    (tmp_path / "e.bin").write_bytes(points3D_bin([Pt(9, (0, 0, 0), (0, 0, 0), 0.0, [])]))
    empty = tilu.read_points3D_bin(str(tmp_path / "e.bin"))[9]
    for fn in (tilu.compute_overlaps, tilu.compute_overlap_percentages):
        assert fn({True: empty, 1: empty, 2: empty}) == {}


# --- leaks -------------------------------------------------------------------------

class Shrinking:
    """A key whose __index__ removes another entry of its dict."""

    def __init__(self, d):
        self.d = d

    def __index__(self):
        self.d.pop(2, None)
        return 1


def workload(model: Path, rounds: int) -> None:
    """Every function, method, attribute and str() of the module, called with
    good and bad arguments."""
    short, noname = model / "short.bin", model / "noname.bin"
    short.write_bytes(b"abc")
    noname.write_bytes(struct.pack("<Q", 1) + IMG_FIXED + b"abc")
    cams, imgs, pts = tilu.read_reconstruction_bin(str(model))
    img, other, pt = imgs[1], imgs[2], next(iter(pts.values()))
    failing = [
        (tilu.read_cameras_bin, (str(model / "missing"),), {}), (tilu.read_images_bin, (str(model),), {}),
        (tilu.read_points3D_bin, ("a\0b",), {}), (tilu.read_cameras_bin, ("\udc80",), {}),
        (tilu.read_cameras_bin, (str(short),), {}), (tilu.read_images_bin, (str(noname),), {}),
        (tilu.read_points3D_bin, (str(short),), {}), (tilu.read_reconstruction_bin, (str(short),), {}),
        (tilu.read_cameras_bin, (5,), {}), (tilu.read_images_bin, ("a", "b"), {}),
        (tilu.read_points3D_bin, (), {"file": "a"}), (tilu.read_reconstruction_bin, (), {}),
        (tilu.compute_overlaps, ([],), {}), (tilu.compute_overlaps, ({"k": pt},), {}),
        (tilu.compute_overlap_percentages, ({-1: pt},), {}), (tilu.compute_overlaps, ({1: 5},), {}),
        (img.relative_pose_from, (5,), {}), (img.relative_pose_to, (), {"x": other}),
        (cams[1].K, (1,), {}), (cams[3].K, (), {}), (tilu.Camera, (), {}),
    ]
    for _ in range(rounds):
        cams, imgs, pts = tilu.read_reconstruction_bin(str(model))
        tilu.read_cameras_bin(str(model / "cameras.bin"))
        tilu.read_images_bin(path=str(model / "images.bin"))
        tilu.read_points3D_bin(str(model / "points3D.bin"))
        for c in cams.values():
            str(c), repr(c), c.camera_id, c.width, c.height, c.params, c.model_id
            if c.camera_id < 3:
                c.K()
        for i in imgs.values():
            str(i), i.image_id, i.camera_id, i.name, i.rot, i.trans, i.points2D, i.point3D_ids
            i.get_tracked_point3D_ids(), i.get_tracked_points2D()
            i.relative_pose_from(other), i.relative_pose_to(other=img)
        for p in pts.values():
            color = p.color
            str(p), p.id, p.xyz, p.error, p.track, str(color), color.r, color.g, color.b
        tilu.compute_overlaps(pts), tilu.compute_overlap_percentages(points3D=pts)
        for fn, args, kwargs in failing:
            try:
                fn(*args, **kwargs)
            except BaseException:  # noqa: BLE001 - each of them fails on purpose
                pass
        d = {}
        d[Shrinking(d)], d[2] = pt, pt
        try:
            tilu.compute_overlaps(d)
        except BaseException:  # noqa: BLE001
            pass
        d.clear()


def leak_figures(model: Path, rounds: int, traced_rounds: int) -> dict:
    """Growth of RSS over `rounds` rounds, then of the memory traced by
    tracemalloc (which slows every call) over `traced_rounds`, after a warm-up."""
    workload(model, 10)
    gc.collect()
    rss0 = rss_kb()
    workload(model, rounds)
    gc.collect()
    rss_growth = None if rss0 is None else rss_kb() - rss0
    tracemalloc.start()
    traced0 = tracemalloc.get_traced_memory()[0]
    workload(model, traced_rounds)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced0
    tracemalloc.stop()
    return {"rounds": rounds, "rss_growth_kb": rss_growth,
            "traced_rounds": traced_rounds, "traced_growth_bytes": traced_growth}


def test_no_leak_in_any_call(tmp_path):
    # Bounds: less than one Python object (>= 16 bytes) per traced round, and
    # less than 1 MB of RSS over 300 rounds, in which a leaked keypoint array
    # (4.8 KB per image) or file buffer would add several MB.
    write_model(tmp_path)
    figures = run_child(f"import json, test_hardening as t\nprint(json.dumps(t.leak_figures("
                        f"t.Path({str(tmp_path)!r}), 300, 20)), file=_out)")
    assert figures["traced_growth_bytes"] < 16 * 20, figures
    # ASan's quarantine holds freed memory; macOS has no reading of the RSS now.
    if "asan" not in os.environ.get("LD_PRELOAD", "") and figures["rss_growth_kb"] is not None:
        assert figures["rss_growth_kb"] < 1024, figures


class Holder:
    pass


@pytest.mark.parametrize("dicts", [
    lambda model: [tilu.read_cameras_bin(str(model / "cameras.bin"))],
    lambda model: list(tilu.read_reconstruction_bin(str(model))),
    lambda model: list(tilu.compute_overlaps(tilu.read_points3D_bin(str(model / "points3D.bin"))).values()),
    lambda model: list(tilu.compute_overlap_percentages(tilu.read_points3D_bin(str(model / "points3D.bin")))
                       .values()),
], ids=["reader", "reconstruction", "overlap rows", "percentage rows"])
def test_returned_dicts_take_part_in_cycle_collection(dicts, tmp_path):
    # The module builds its dicts out of the collector's sight; a dict it hands
    # out must be collectable again once the caller makes it part of a cycle.
    write_model(tmp_path)
    refs = []
    for d in dicts(tmp_path):
        holder = Holder()
        holder.d, d["holder"] = d, holder
        refs.append(weakref.ref(holder))
    del d, holder
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


RELOAD_CHILD = """
import gc, json, tilu
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))
def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
gc.collect()
out, kept = {"before": status("VmRSS")}, []
for run in (1, 2, 3):
    reset_peak()
    model = tilu.read_reconstruction_bin(sys.argv[1])
    out[f"loaded{run}"], out[f"peak{run}"] = status("VmRSS"), status("VmHWM")
    # Whatever the program allocates meanwhile outlives the model, in the C
    # allocator's heap after the model's blocks.
    kept.append(bytes(4000))
    del model
    gc.collect()
    out[f"dropped{run}"] = status("VmRSS")
print(json.dumps(out), file=_out)
"""


def keypoints_model(d: Path) -> None:
    """29 MB of keypoints in 300 images (pages that must go back)."""
    kp = [(1.5, 2.5, NO_POINT3D)] * 4000
    (d / "images.bin").write_bytes(images_bin([Img(i, (1, 0, 0, 0), (0, 0, 0), 1, f"{i}.jpg", kp)
                                               for i in range(1, 301)]))
    (d / "points3D.bin").write_bytes(points3D_bin([Pt(p, (p, 0, 0), (1, 2, 3), 0.5, [(1, 0), (2, p)])
                                                   for p in range(20_000)]))


def scattered_ids_model(d: Path) -> None:
    """400,000 small points whose identifiers are a permutation of 0..399,999, so
    that the 65,536 below 2^16 (ints the module shares for the process) come
    spread over the whole load rather than first."""
    n, step = 400_000, 7919  # step coprime to n
    record = struct.Struct("<Q3d3BdQ2I2I")
    (d / "images.bin").write_bytes(images_bin([]))
    (d / "points3D.bin").write_bytes(struct.pack("<Q", n) + b"".join(
        record.pack(i * step % n, 0, 0, 0, 1, 2, 3, 0.5, 2, 1, 0, 2, 0) for i in range(n)))


@platforms.needs_clear_refs
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan's quarantine holds freed memory")
@pytest.mark.parametrize("model", [
    pytest.param(keypoints_model, id="keypoints"),  # pages of the module's own
    # Objects, whose memory the interpreter's allocator holds.
    pytest.param(scattered_ids_model, id="scattered-ids", marks=pytest.mark.skipif(
        platforms.FREE_THREADED, reason="a free-threaded build's allocator (mimalloc) keeps freed objects' pages")),
])
def test_memory_goes_back_when_a_model_is_dropped(model, tmp_path):
    # Each model grows the process by about 30 MB or more, and the first drop gives
    # it back. Later loads neither peak higher nor leave more behind: glibc
    # keeps the last dict table a drop frees (once it has freed a larger
    # block, blocks of up to 32 MB come from its heap) and reuses it.
    (tmp_path / "cameras.bin").write_bytes(cameras_bin([Cam(1, 0, 640, 480, [1.0, 2.0, 3.0])]))
    model(tmp_path)
    kb = run_child(RELOAD_CHILD, tmp_path)
    assert kb["loaded1"] - kb["before"] > 24 * 1024, kb
    assert kb["dropped1"] - kb["before"] < 4 * 1024, kb
    assert kb["dropped3"] - kb["dropped2"] < 4 * 1024, kb
    for run in (2, 3):  # (qemu-user's translated code may first show in a later run)
        assert (kb[f"peak{run}"] - kb["before"]
                <= (kb["peak1"] - kb["before"]) * 1.05 + platforms.RSS_NOISE_MB * 1024), kb


# --- subinterpreters ------------------------------------------------------------------

SUBINTERPRETER_CHILD = """
import json, tilu
try:
    import _interpreters as si
except ImportError:
    import _xxsubinterpreters as si
points = sys.argv[1]
before = tilu.compute_overlaps(tilu.read_points3D_bin(points))
try:
    iid = si.create("legacy")  # 3.13: shares the GIL, allows single-phase modules
except TypeError:
    iid = si.create(isolated=False)  # 3.12
si.run_string(iid, f'''
try:
    import tilu
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError: " + str(e)
with open({sys.argv[2]!r}, "w") as f:
    f.write(outcome)
''')
si.destroy(iid)
del sys.modules["tilu"]
import tilu as again
after = again.compute_overlaps(again.read_points3D_bin(points))
print(json.dumps([open(sys.argv[2]).read(), again is tilu, before == after != {}]), file=_out)
"""


def test_subinterpreter_import_fails_and_main_keeps_working(tmp_path):
    model = write_model(tmp_path / "m")
    outcome, same_module, same_result = run_child(SUBINTERPRETER_CHILD, model / "points3D.bin",
                                                  tmp_path / "outcome")
    assert outcome.startswith("ImportError: ") and "subinterpreters" in outcome
    assert same_module and same_result


if __name__ == "__main__":
    mode, rounds = sys.argv[1], int(sys.argv[2])
    traced_rounds = int(sys.argv[3]) if len(sys.argv) > 3 else rounds // 10
    sys.stdout.flush()
    out = os.fdopen(os.dup(1), "w")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the overlap progress lines
    with tempfile.TemporaryDirectory() as d:
        model = write_model(Path(d))
        if mode == "leaks":
            print(json.dumps(leak_figures(model, rounds, traced_rounds)), file=out)
        else:
            workload(model, rounds)
