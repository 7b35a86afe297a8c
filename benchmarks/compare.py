"""Times tilu against the other ways of loading a COLMAP binary model in Python.

    python benchmarks/compare.py --model DIR [--repeat N] [--only NAME,...] [--json PATH]

Every measurement runs in a fresh child process that imports what it needs,
loads the model once and reports the wall time of the load and the resident
memory around it: the resident set size just before the call and its peak
during the call (VmRSS and VmHWM from /proc/self/status, the peak reset just
before the call), so no candidate inherits another's memory or allocator
state.  The reload rows load, drop and load again in one child and report the
memory of each step.  The first run of each candidate is a warm-up and is
discarded (it also leaves the files in the page cache for everyone); the table
shows the median of the following runs.  Before anything is timed, every
candidate's result is reduced to a digest (identifiers, a sample of values,
track totals) and compared with tilu's, or with the pure-Python reader's when
tilu is absent.  The covisibility rows of tilu also time, in the same child
and outside the call's clock, the floor of any function returning that dict of
dicts: building it again from ready-made lists of its own keys and values.
"""
from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Callable, NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
NO_POINT3D = 0xFFFFFFFFFFFFFFFF
SAMPLE = 7  # images and points whose values enter the digest
# tilu hands a camera's model out as its name, pycolmap as an enum member.
MODEL_NUMBERS = {
    "Simple Pinhole": 0, "Pinhole": 1, "Simple Radial": 2, "Radial": 3, "OpenCV": 4,
    "OpenCV Fisheye": 5, "Full OpenCV": 6, "FOV": 7, "Simple Radial Fisheye": 8,
    "Radial Fisheye": 9, "Thin Prism Fisheye": 10,
}


# --------------------------------------------------------------------------
# Candidates.  Each load function takes the model directory and returns what
# must stay alive until the clock stops; `views` turns that result into the
# reader-neutral form the digest is computed from.
# --------------------------------------------------------------------------

def _files(model):
    return [os.path.join(model, n) for n in ("cameras.bin", "images.bin", "points3D.bin")]


def load_floor(model):
    out = []
    for path in _files(model):
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def load_tilu(model):
    import tilu
    return tilu.read_reconstruction_bin(model)


def load_tilu_touch(model):
    cameras, images, points = load_tilu(model)
    return cameras, images, points, touch_tilu(images, points)


def load_tilu_points(model):
    import tilu
    return tilu.read_points3D_bin(os.path.join(model, "points3D.bin"))


def load_tilu_images(model):
    import tilu
    return tilu.read_images_bin(os.path.join(model, "images.bin"))


def load_pycolmap(model):
    import pycolmap
    return pycolmap.Reconstruction(model)


def load_pycolmap_touch(model):
    rec = load_pycolmap(model)
    return rec, touch_pycolmap(rec)


def load_pure(model):
    sys.path.insert(0, HERE)
    import pure_python_reader
    return pure_python_reader.read_reconstruction_bin(model)


def touch_tilu(images, points):
    """Every track entry's two ints and every image's 3D point ids, as Python values."""
    entries = 0
    for p in points.values():
        for image_id, point2D_idx in p.track:
            entries += 1
    tracked = 0
    for img in images.values():
        ids = img.point3D_ids
        tracked += len(ids) - ids.count(NO_POINT3D)
    return entries, tracked


def touch_pycolmap(rec):
    entries = 0
    for p in rec.points3D.values():
        for e in p.track.elements:
            e.image_id, e.point2D_idx
            entries += 1
    tracked = 0
    for img in rec.images.values():
        ids = [q.point3D_id for q in img.points2D]
        tracked += len(ids) - ids.count(NO_POINT3D)
    return entries, tracked


# A view makes any reader's result look alike for the digest:
#   cameras  {id: (model number, width, height, params)}
#   images   {id: image object}, with image(obj) -> (name, camera id, rotation matrix rows,
#            translation, points2D, point3D_ids) and ids3D(obj) -> point3D_ids
#   points   {id: point object}, with point(obj) -> (xyz, rgb, error, track)
# so that only sampled objects are converted in full.

def views_tilu(result):
    cameras, images, points = result[:3] if isinstance(result, tuple) else ({}, {}, result)
    cams = {i: (MODEL_NUMBERS[c.model_id], c.width, c.height, c.params) for i, c in cameras.items()}
    return dict(
        cameras=cams, images=images, points=points,
        image=lambda im: (im.name, im.camera_id, im.rot, im.trans, im.points2D, im.point3D_ids),
        ids3D=lambda im: im.point3D_ids,
        point=lambda p: (p.xyz, (p.color.r, p.color.g, p.color.b), p.error, p.track),
        track_length=lambda p: len(p.track))


def views_pycolmap(result):
    rec = result[0] if isinstance(result, tuple) else result

    def image(im):
        pose = im.cam_from_world  # a property before pycolmap 3.12, a method since
        pose = pose() if callable(pose) else pose
        return (im.name, im.camera_id, pose.rotation.matrix().tolist(), pose.translation.tolist(),
                [q.xy.tolist() for q in im.points2D], [q.point3D_id for q in im.points2D])

    cams = {i: (int(c.model.value), c.width, c.height, c.params.tolist()) for i, c in rec.cameras.items()}
    return dict(
        cameras=cams, images=dict(rec.images.items()), points=dict(rec.points3D.items()),
        image=image,
        ids3D=lambda im: [q.point3D_id for q in im.points2D],
        point=lambda p: (p.xyz.tolist(), [int(c) for c in p.color], p.error,
                         [(e.image_id, e.point2D_idx) for e in p.track.elements]),
        track_length=lambda p: p.track.length())


def _rotation(qw, qx, qy, qz):
    return [[1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qw * qz), 2 * (qx * qz + qw * qy)],
            [2 * (qx * qy + qw * qz), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qw * qx)],
            [2 * (qx * qz - qw * qy), 2 * (qy * qz + qw * qx), 1 - 2 * (qx * qx + qy * qy)]]


def views_pure(result):
    cameras, images, points = result
    cams = {i: (c.model_id, c.width, c.height, c.params) for i, c in cameras.items()}
    return dict(
        cameras=cams, images=images, points=points,
        image=lambda im: (im.name, im.camera_id, _rotation(*im.qvec), im.tvec, im.points2D, im.point3D_ids),
        ids3D=lambda im: im.point3D_ids,
        point=lambda p: (p.xyz, p.rgb, p.error, p.track),
        track_length=lambda p: len(p.track))


class Candidate(NamedTuple):
    run: Callable          # run(model, prepared) -> result; the only thing timed
    views: Callable | None  # result -> neutral view for the digest (None: not checked)
    covers: str | None     # what the digest can cover: "all", "points" or "overlaps"
    what: str
    group: str = "load"    # rows are tabled and set against a baseline within their group
    setup: Callable | None = None  # setup(model) -> prepared, outside the clock
    reload: bool = False   # load, drop, load again in the same child
    floor: bool = False    # also time rebuilding the result from ready lists


def _points_of(model):
    import tilu
    return tilu.read_points3D_bin(os.path.join(model, "points3D.bin"))


def _tilu_covisibility(function):
    def run(model, points):
        import tilu
        return getattr(tilu, function)(points)
    return run


def _peer_covisibility(function):
    """A covisibility alternative from bench_overlaps.py, which sits beside this file;
    importing it (numpy, scipy.sparse) is part of the setup, not of the call."""
    def setup(model):
        import bench_overlaps
        return getattr(bench_overlaps, function), _points_of(model)

    def run(model, prepared):
        fn, points = prepared
        return fn(points)
    return setup, run


def _loader(load):
    return lambda model, prepared: load(model)


def _dict_floor(kind, variant):
    """A floor row of dict_floor.py, which sits beside this file."""
    def setup(model):
        import dict_floor
        return dict_floor.prepare(model, kind, variant)

    def run(model, prepared):
        import dict_floor
        return dict_floor.run(prepared)
    return Candidate(run, None, None, f"floor: {kind}.bin's records as objects in a dict, {variant}",
                     "load", setup)


_scipy_setup, _scipy_run = _peer_covisibility("scipy_overlaps")
_counter_setup, _counter_run = _peer_covisibility("counter_overlaps")

CANDIDATES = {
    "tilu": Candidate(_loader(load_tilu), views_tilu, "all", "tilu.read_reconstruction_bin"),
    "tilu+touch": Candidate(_loader(load_tilu_touch), views_tilu, "all",
                            "... + every track entry and every image's point3D_ids"),
    "tilu-points3D": Candidate(_loader(load_tilu_points), views_tilu, "points", "tilu.read_points3D_bin alone"),
    "tilu-images": Candidate(_loader(load_tilu_images), None, None, "tilu.read_images_bin alone"),
    "pycolmap": Candidate(_loader(load_pycolmap), views_pycolmap, "all", "pycolmap.Reconstruction(path)"),
    "pycolmap+touch": Candidate(_loader(load_pycolmap_touch), views_pycolmap, "all",
                                "... + every track element (image_id, point2D_idx) and every "
                                "img.points2D[k].point3D_id"),
    "pure-python": Candidate(_loader(load_pure), views_pure, "all", "struct-based reader, everything eager"),
    "read-bytes": Candidate(_loader(load_floor), None, None, "floor: the three files read into bytes"),
    **{f"floor-{kind}-{variant}": _dict_floor(kind, variant)
       for kind in ("points3D", "images") for variant in ("file", "sorted", "file-presized", "sorted-presized")},
    # Load, del + gc.collect(), load again, in one child: what a notebook that reloads pays.
    "tilu-reload": Candidate(_loader(load_tilu), views_tilu, "all",
                             "tilu.read_reconstruction_bin, dropped, read again", "reload", reload=True),
    "pycolmap-reload": Candidate(_loader(load_pycolmap), views_pycolmap, "all",
                                 "pycolmap.Reconstruction(path), dropped, read again", "reload", reload=True),
    # Covisibility of the model's points, each from the dict tilu.read_points3D_bin made.
    "overlaps-tilu": Candidate(_tilu_covisibility("compute_overlaps"), lambda r: r, "overlaps",
                               "tilu.compute_overlaps", "overlaps", _points_of, floor=True),
    "overlaps-scipy": Candidate(_scipy_run, lambda r: r, "overlaps",
                                "tracks to a sparse incidence matrix A, A.T @ A, dicts",
                                "overlaps", _scipy_setup),
    "overlaps-Counter": Candidate(_counter_run, lambda r: r, "overlaps",
                                  "pure-Python loop with collections.Counter", "overlaps", _counter_setup),
    "percentages-tilu": Candidate(_tilu_covisibility("compute_overlap_percentages"), lambda r: r, "overlaps",
                                  "tilu.compute_overlap_percentages", "percentages", _points_of, floor=True),
}
GROUP_BASELINE = {"load": "tilu", "reload": "tilu-reload", "overlaps": "overlaps-tilu",
                  "percentages": "percentages-tilu"}
# Groups whose results must agree with one another before anything is timed.
CHECK_FAMILY = {"load": "load", "reload": "load", "overlaps": "overlaps", "percentages": "percentages"}
COVISIBILITY_GROUPS = ("overlaps", "percentages")


# --------------------------------------------------------------------------
# Digest of a loaded model
# --------------------------------------------------------------------------

def _num(x):
    """Floats to 10 significant digits: pycolmap and the pure-Python reader build the
    rotation matrix with another order of operations than tilu."""
    if isinstance(x, float):
        return float(f"{x:.10g}")
    if isinstance(x, (list, tuple)):
        return [_num(v) for v in x]
    return x


def _id_digest(ids):
    ids = sorted(ids)
    return len(ids), hashlib.sha1(",".join(map(str, ids)).encode()).hexdigest()[:16]


def _sample(ids, k=SAMPLE):
    ids = sorted(ids)
    return [ids[(j * len(ids)) // k] for j in range(k)] if ids else []


def digest(v, covers):
    if covers == "overlaps":
        h = hashlib.sha1()
        for a in sorted(v):  # row by row: a repr of the whole result takes gigabytes on xlarge
            h.update(repr((a, sorted(v[a].items()))).encode())
        return {"overlap_images": len(v), "overlap_entries": sum(map(len, v.values())),
                "overlaps": h.hexdigest()[:16]}
    d = {}
    if covers == "all":
        d["cameras"] = {str(i): _num([m, w, h, list(params)]) for i, (m, w, h, params) in sorted(v["cameras"].items())}
        images = v["images"]
        d["image_ids"] = _id_digest(images)
        sample = {}
        for i in _sample(images):
            name, camera_id, rot, trans, points2D, point3D_ids = v["image"](images[i])
            sample[str(i)] = [name, camera_id, _num([list(r) for r in rot]), _num(list(trans)), len(points2D),
                              _num([list(q) for q in points2D[:3]]), list(point3D_ids[:50])]
        d["image_sample"] = sample
        tracked = 0
        for im in images.values():
            ids = v["ids3D"](im)
            tracked += len(ids) - ids.count(NO_POINT3D)
        d["tracked_point3D_ids"] = tracked
    points = v["points"]
    d["point_ids"] = _id_digest(points)
    sample = {}
    for i in _sample(points):
        xyz, rgb, error, track = v["point"](points[i])
        sample[str(i)] = [_num(list(xyz)), list(rgb), _num(error), [list(e) for e in track]]
    d["point_sample"] = sample
    d["track_entries"] = sum(map(v["track_length"], points.values()))
    return d


# --------------------------------------------------------------------------
# Resident memory of the child
# --------------------------------------------------------------------------
# ru_maxrss cannot give the peak of one call: it never goes down, and a child
# also starts with its parent's peak, which Linux carries over through exec (the
# larger of the old and the new address space's high-water marks).  Linux keeps a
# resettable high-water mark instead: VmHWM in /proc/self/status, set back to the
# current resident size (VmRSS) by writing "5" to /proc/self/clear_refs.

def _proc_status_kb():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0])
    return out


class Memory:
    """Resident set size now and its peak since the last reset, in kB."""

    def __init__(self, method):
        self.method = method  # "hwm" (VmRSS/VmHWM) or "maxrss" (ru_maxrss only)

    def now(self):
        if self.method == "hwm":
            return _proc_status_kb()["VmRSS"]
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def reset_peak(self):
        if self.method == "hwm":
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")

    def peak(self):
        if self.method == "hwm":
            return _proc_status_kb()["VmHWM"]
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


PROBE_MB = 256


def probe_memory():
    """Whether the resettable peak works here and measures what it claims: a
    bytearray of PROBE_MB, filled and freed, must show as that much above the
    resident size at the reset, and a reset must bring the peak back down."""
    mem = Memory("hwm")
    try:
        before = mem.now()
        mem.reset_peak()
        reset_ok = mem.peak() - before < 4096
        block = bytearray(PROBE_MB << 20)  # filled with zeros, so resident
        del block
        rise = (mem.peak() - before) / 1024
        mem.reset_peak()
        back = (mem.peak() - mem.now()) / 1024
    except (OSError, KeyError, ValueError) as e:
        return {"method": "maxrss", "why": f"{type(e).__name__}: {e}"}
    ok = reset_ok and PROBE_MB - 4 <= rise < PROBE_MB + 16 and back < 4
    return {"method": "hwm" if ok else "maxrss", "probe_mb": PROBE_MB, "seen_mb": round(rise, 1),
            "why": None if ok else f"a {PROBE_MB} MB block showed as {rise:.1f} MB, "
                                   f"{back:.1f} MB above the resident size after a reset"}


# --------------------------------------------------------------------------
# The floor of a covisibility function
# --------------------------------------------------------------------------

def dict_floor(result):
    """Times building `result` again from ready lists: per image its keys and its
    values, the very objects of the result (the shared ints for image ids and
    counts, the finished floats for fractions), so only the dicts are made.  The
    result stays alive, so the rebuilt dicts take fresh memory, as the call's did."""
    rows = [(a, list(inner), list(inner.values())) for a, inner in result.items()]
    entries = sum(len(keys) for _, keys, _ in rows)
    t0 = time.perf_counter()
    rebuilt = {a: dict(zip(keys, values)) for a, keys, values in rows}
    seconds = time.perf_counter() - t0
    if rebuilt != result:
        raise AssertionError("the floor rebuilt another dict of dicts")
    return {"floor_s": seconds, "entries": entries}


# --------------------------------------------------------------------------
# Child process
# --------------------------------------------------------------------------

def _measure(cand, model, prepared, mem, report, suffix=""):
    """One timed call; its resident size before and its peak go into report."""
    report["rss_before_kb" + suffix] = mem.now()
    mem.reset_peak()
    t0 = time.perf_counter()
    result = cand.run(model, prepared)
    report["seconds" + suffix] = time.perf_counter() - t0
    report["rss_peak_kb" + suffix] = mem.peak()
    return result


def child(name, model, mode, out_path, memory_method):
    cand = CANDIDATES[name]
    sys.path.insert(0, HERE)
    # Imports and setup stay outside the clock.
    for module in _needs(name):
        __import__(module)
    prepared = cand.setup(model) if cand.setup else None
    mem = Memory(memory_method)
    report = {"memory": memory_method}
    result = _measure(cand, model, prepared, mem, report)
    if cand.reload:
        t0 = time.perf_counter()
        del result
        gc.collect()
        report["drop_s"] = time.perf_counter() - t0
        report["rss_after_drop_kb"] = mem.now()
        result = _measure(cand, model, prepared, mem, report, "2")
    if cand.floor and mode == "time":
        report.update(dict_floor(result))
    if mode == "check" and cand.views is not None:
        report["digest"] = digest(cand.views(result), cand.covers)
        if name.endswith("+touch"):
            report["touched"] = list(result[-1])
    with open(out_path, "w") as f:
        json.dump(report, f)
    os._exit(0)  # skip freeing millions of objects: it is not part of the load


def _needs(name):
    """Modules a candidate imports (tilu provides the points of every covisibility row;
    bench_overlaps.py, which the peers of the overlap rows come from, needs numpy and scipy)."""
    if name in ("overlaps-scipy", "overlaps-Counter"):
        return ["tilu", "numpy", "scipy"]
    needs = {"tilu": ["tilu"], "pycolmap": ["pycolmap"], "overlaps": ["tilu"], "percentages": ["tilu"],
             "floor": ["tilu"]}
    return needs.get(name.split("-")[0].split("+")[0], [])


def run_child(name, model, mode, memory_method="hwm"):
    """Runs one child.  Its standard output goes to /dev/null: tilu's covisibility
    functions write their progress lines to file descriptor 1 with write(2), past
    any Python buffering; the report comes back through a file."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        out_path = tmp.name
    try:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", name, "--model", model,
               "--mode", mode, "--out", out_path, "--memory", memory_method]
        proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"{name} ({mode}) failed with exit code {proc.returncode}:\n{proc.stderr[-3000:]}")
        with open(out_path) as f:
            return json.load(f)
    finally:
        os.unlink(out_path)


# --------------------------------------------------------------------------
# Driver
# --------------------------------------------------------------------------

def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    info = {"cpu": cpu, "nproc": os.cpu_count(), "python": platform.python_version(),
            "platform": platform.platform()}
    for mod in ("tilu", "pycolmap", "numpy", "scipy"):
        probe = subprocess.run(
            [sys.executable, "-c", f"import importlib.metadata as m, {mod}\n"
             f"try: print(m.version({mod!r}))\nexcept m.PackageNotFoundError: print('(not installed: ' + {mod}.__file__ + ')')"],
            capture_output=True, text=True)
        info[mod] = probe.stdout.strip() if probe.returncode == 0 else None
    return info


def model_summary(model):
    sizes = {n: os.path.getsize(os.path.join(model, n)) for n in ("cameras.bin", "images.bin", "points3D.bin")}
    return {"path": os.path.abspath(model), "bytes": sizes}


def first_difference(a, b, path=""):
    if type(a) is not type(b) and not (isinstance(a, (int, float)) and isinstance(b, (int, float))):
        return f"{path}: {a!r} != {b!r}"
    if isinstance(a, dict):
        for k in sorted(set(a) | set(b)):
            if k not in a or k not in b:
                return f"{path}/{k}: present in one only"
            diff = first_difference(a[k], b[k], f"{path}/{k}")
            if diff:
                return diff
        return None
    if isinstance(a, list):
        if len(a) != len(b):
            return f"{path}: length {len(a)} != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            diff = first_difference(x, y, f"{path}[{i}]")
            if diff:
                return diff
        return None
    return None if a == b else f"{path}: {a!r} != {b!r}"


def _mb(kb):
    return kb / 1024


def summarize(name, runs):
    """A table row from the runs of one candidate: medians of the times, the largest
    of each memory figure (MB), and for the covisibility rows the floor."""
    cand = CANDIDATES[name]
    secs = [r["seconds"] for r in runs]
    row = {"name": name, "group": cand.group, "what": cand.what,
           "median_s": statistics.median(secs), "min_s": min(secs), "runs_s": secs,
           "rss_before_mb": _mb(max(r["rss_before_kb"] for r in runs)),
           "rss_peak_mb": _mb(max(r["rss_peak_kb"] for r in runs))}
    if cand.reload:
        secs2 = [r["seconds2"] for r in runs]
        row.update(second_median_s=statistics.median(secs2), second_runs_s=secs2,
                   drop_median_s=statistics.median(r["drop_s"] for r in runs),
                   rss_after_drop_mb=_mb(max(r["rss_after_drop_kb"] for r in runs)),
                   rss_peak2_mb=_mb(max(r["rss_peak_kb2"] for r in runs)))
    if cand.floor:
        floors = [r["floor_s"] for r in runs]
        entries = runs[0]["entries"]
        row.update(entries=entries, floor_median_s=statistics.median(floors), floor_runs_s=floors,
                   # Each call and its floor ran in the same process, one after the other.
                   ratio_to_floor=statistics.median(r["seconds"] / r["floor_s"] for r in runs),
                   ns_per_entry=1e9 * row["median_s"] / max(entries, 1),
                   floor_ns_per_entry=1e9 * statistics.median(floors) / max(entries, 1))
    return row


def print_tables(rows, memory):
    w = max([17] + [len(r["name"]) for r in rows])
    print()
    print(f"{'candidate':<{w}} {'median s':>9} {'min s':>8} {'x base':>7} {'RSS before':>11} {'peak RSS':>9}")
    for group, baseline in GROUP_BASELINE.items():
        if group == "reload":
            continue
        base = next((r["median_s"] for r in rows if r["name"] == baseline), None)
        for r in rows:
            if r["group"] == group:
                r["ratio"] = r["median_s"] / base if base else None
                ratio = f"{r['ratio']:.2f}" if base else "-"
                print(f"{r['name']:<{w}} {r['median_s']:>9.3f} {r['min_s']:>8.3f} {ratio:>7} "
                      f"{r['rss_before_mb']:>11.0f} {r['rss_peak_mb']:>9.0f}")
    print("'x base': against tilu in its group; RSS in MB, before the timed call (after imports "
          "and, for the covisibility rows, after reading the points) and its peak during the call"
          + ("" if memory == "hwm" else "; peaks are ru_maxrss, which includes earlier peaks"))

    reloads = [r for r in rows if r["group"] == "reload"]
    if reloads:
        print(f"\n{'reload':<17} {'1st s':>7} {'2nd s':>7} {'drop s':>7} {'RSS before':>11} "
              f"{'1st peak':>9} {'after drop':>11} {'2nd peak':>9}")
        for r in reloads:
            print(f"{r['name']:<17} {r['median_s']:>7.3f} {r['second_median_s']:>7.3f} "
                  f"{r['drop_median_s']:>7.3f} {r['rss_before_mb']:>11.0f} {r['rss_peak_mb']:>9.0f} "
                  f"{r['rss_after_drop_mb']:>11.0f} {r['rss_peak2_mb']:>9.0f}")
        print("one child: load, del + gc.collect() ('drop s'), load again; RSS in MB; each peak "
              "is that load's alone" + ("" if memory == "hwm" else " (not here: ru_maxrss)"))

    floors = [r for r in rows if "floor_median_s" in r]
    if floors:
        print(f"\n{'covisibility':<17} {'entries':>11} {'call s':>8} {'ns/entry':>9} {'floor s':>8} "
              f"{'ns/entry':>9} {'x floor':>8}")
        for r in floors:
            print(f"{r['name']:<17} {r['entries']:>11,} {r['median_s']:>8.3f} {r['ns_per_entry']:>9.0f} "
                  f"{r['floor_median_s']:>8.3f} {r['floor_ns_per_entry']:>9.0f} {r['ratio_to_floor']:>8.2f}")
        print("floor: the same dict of dicts built in the same process from ready lists of its "
              "keys and values; 'x floor': median over runs of call / floor")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", required=True, help="model directory (cameras.bin, images.bin, points3D.bin)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per candidate, after one warm-up")
    ap.add_argument("--only", help="comma-separated candidate names: " + ", ".join(CANDIDATES))
    ap.add_argument("--json", help="write the results to this file")
    ap.add_argument("--no-overlaps", action="store_true", help="skip the covisibility rows")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--mode", default="time", help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    ap.add_argument("--memory", default="hwm", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child == "memory-probe":
        with open(args.out, "w") as f:
            json.dump(probe_memory(), f)
        return 0
    if args.child:
        return child(args.child, args.model, args.mode, args.out, args.memory)

    names = [n for n in CANDIDATES if not (args.no_overlaps and CANDIDATES[n].group in COVISIBILITY_GROUPS)]
    if args.only:
        names = [n.strip() for n in args.only.split(",") if n.strip()]
        unknown = [n for n in names if n not in CANDIDATES]
        if unknown:
            ap.error(f"unknown candidate(s) {', '.join(unknown)}; known: {', '.join(CANDIDATES)}")
    info = machine()
    skipped = {}
    for n in list(names):
        missing = [m for m in _needs(n) if info[m] is None]
        if missing:
            skipped[n] = f"cannot import {', '.join(missing)}"
            names.remove(n)
    if not os.path.exists(os.path.join(HERE, "bench_overlaps.py")):
        for n in ("overlaps-scipy", "overlaps-Counter"):
            if n in names:
                names.remove(n)
                skipped[n] = "benchmarks/bench_overlaps.py is missing"
    print(f"model {os.path.abspath(args.model)}; {info['cpu']}, {info['nproc']} cpus, Python {info['python']}, "
          f"tilu {info['tilu']}, pycolmap {info['pycolmap']}", flush=True)
    for n, why in skipped.items():
        print(f"  skipped {n}: {why}", flush=True)
    probe = run_child("memory-probe", args.model, "probe")
    memory = probe["method"]
    if memory == "hwm":
        print(f"  memory: VmRSS/VmHWM, peak reset before each call (a {probe['probe_mb']} MB block "
              f"showed as {probe['seen_mb']} MB)", flush=True)
    else:
        print(f"  memory: ru_maxrss, peaks include earlier ones ({probe['why']})", flush=True)

    # Same answer from everyone before anything is timed, family by family; a
    # candidate alone in its family has nothing to agree with and is not checked.
    for family in dict.fromkeys(CHECK_FAMILY.values()):
        members = [n for n in names if CHECK_FAMILY[CANDIDATES[n].group] == family
                   and CANDIDATES[n].views is not None]
        if len(members) < 2:
            continue
        digests = {}
        for n in members:
            rep = run_child(n, args.model, "check", memory)
            digests[n] = rep["digest"]
            if "touched" in rep:
                want = [rep["digest"]["track_entries"], rep["digest"]["tracked_point3D_ids"]]
                if rep["touched"] != want:
                    raise SystemExit(f"{n}: touched {rep['touched']} entries/ids, digest says {want}")
        ref_name = next((n for n in (GROUP_BASELINE[family], "pure-python") if n in digests), members[0])
        ref = digests[ref_name]
        for n, d in digests.items():
            common = [k for k in d if k in ref]
            diff = first_difference({k: ref[k] for k in common}, {k: d[k] for k in common})
            if diff:
                raise SystemExit(f"{n} disagrees with {ref_name}: {diff}")
        summary = ", ".join(f"{k} {v[0] if isinstance(v, list) else v}" for k, v in ref.items()
                            if k in ("image_ids", "point_ids", "track_entries", "tracked_point3D_ids",
                                     "overlap_images", "overlap_entries"))
        print(f"  {family}: results agree ({', '.join(digests)}): {summary}", flush=True)

    rows = []
    for n in names:
        run_child(n, args.model, "time", memory)  # warm-up
        runs = [run_child(n, args.model, "time", memory) for _ in range(args.repeat)]
        row = summarize(n, runs)
        row["runs"] = runs
        rows.append(row)
        extra = ""
        if "second_median_s" in row:
            extra = f", again {row['second_median_s']:.3f} s"
        if "floor_median_s" in row:
            extra = f", floor {row['floor_median_s']:.3f} s"
        print(f"  {n}: {row['median_s']:.3f} s{extra}", flush=True)

    print_tables(rows, memory)

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "model": model_summary(args.model), "repeat": args.repeat,
                       "memory": probe, "skipped": skipped, "rows": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
