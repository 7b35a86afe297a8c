"""Times tilu against the other ways of loading a COLMAP binary model in Python.

    python benchmarks/compare.py --model DIR [--repeat N] [--only NAME,...] [--json PATH]

Every measurement runs in a fresh child process that imports what it needs,
loads the model once and reports the wall time of the load and its own peak
resident set size (ru_maxrss), so no candidate inherits another's memory or
allocator state.  The first run of each candidate is a warm-up and is discarded
(it also leaves the files in the page cache for everyone); the table shows the
median of the following runs.  Before anything is timed, every candidate's
result is reduced to a digest (identifiers, a sample of values, track totals)
and compared with tilu's, or with the pure-Python reader's when tilu is absent.
"""
from __future__ import annotations

import argparse
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
    group: str = "load"    # rows are compared within their group
    setup: Callable | None = None  # setup(model) -> prepared, outside the clock


def _points_of(model):
    import tilu
    return tilu.read_points3D_bin(os.path.join(model, "points3D.bin"))


def _overlap_fn(name):
    """compute_overlaps alternatives from bench_overlaps.py, which sits beside this file."""
    def run(model, points):
        if name == "tilu":
            import tilu
            return tilu.compute_overlaps(points)
        sys.path.insert(0, HERE)
        import bench_overlaps
        return getattr(bench_overlaps, name + "_overlaps")(points)
    return run


def _loader(load):
    return lambda model, prepared: load(model)


CANDIDATES = {
    "tilu": Candidate(_loader(load_tilu), views_tilu, "all", "tilu.read_reconstruction_bin"),
    "tilu+touch": Candidate(_loader(load_tilu_touch), views_tilu, "all",
                            "... + every track entry and every image's point3D_ids"),
    "tilu-points3D": Candidate(_loader(load_tilu_points), views_tilu, "points", "tilu.read_points3D_bin alone"),
    "pycolmap": Candidate(_loader(load_pycolmap), views_pycolmap, "all", "pycolmap.Reconstruction(path)"),
    "pycolmap+touch": Candidate(_loader(load_pycolmap_touch), views_pycolmap, "all",
                                "... + every track element (image_id, point2D_idx) and every "
                                "img.points2D[k].point3D_id"),
    "pure-python": Candidate(_loader(load_pure), views_pure, "all", "struct-based reader, everything eager"),
    "read-bytes": Candidate(_loader(load_floor), None, None, "floor: the three files read into bytes"),
    # Covisibility counts of the model's points, each from the dict tilu.read_points3D_bin made.
    "overlaps-tilu": Candidate(_overlap_fn("tilu"), lambda r: r, "overlaps", "tilu.compute_overlaps",
                               "overlaps", _points_of),
    "overlaps-scipy": Candidate(_overlap_fn("scipy"), lambda r: r, "overlaps",
                                "tracks to a sparse incidence matrix A, A.T @ A, dicts",
                                "overlaps", _points_of),
    "overlaps-Counter": Candidate(_overlap_fn("counter"), lambda r: r, "overlaps",
                                  "pure-Python loop with collections.Counter", "overlaps", _points_of),
}
GROUP_BASELINE = {"load": "tilu", "overlaps": "overlaps-tilu"}


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
        rows = sorted((a, sorted(inner.items())) for a, inner in v.items())
        return {"overlap_images": len(rows), "overlap_entries": sum(len(r) for _, r in rows),
                "overlaps": hashlib.sha1(repr(rows).encode()).hexdigest()[:16]}
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
# Child process
# --------------------------------------------------------------------------

def child(name, model, mode, out_path):
    cand = CANDIDATES[name]
    # Imports and setup stay outside the clock.
    for module in _needs(name):
        __import__(module)
    prepared = cand.setup(model) if cand.setup else None
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    result = cand.run(model, prepared)
    seconds = time.perf_counter() - t0
    rss_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    report = {"seconds": seconds, "rss_peak_kb": rss_peak, "rss_before_kb": rss_before}
    if mode == "check" and cand.views is not None:
        report["digest"] = digest(cand.views(result), cand.covers)
        if name.endswith("+touch"):
            report["touched"] = list(result[-1])
    with open(out_path, "w") as f:
        json.dump(report, f)
    sys.stdout.flush()
    os._exit(0)  # skip freeing millions of objects: it is not part of the load


def _needs(name):
    """Modules a candidate imports (tilu provides the points of every overlap row)."""
    needs = {"tilu": ["tilu"], "pycolmap": ["pycolmap"], "overlaps": ["tilu", "numpy", "scipy"]}
    return needs.get(name.split("-")[0].split("+")[0], [])


def run_child(name, model, mode):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as tmp:
        out_path = tmp.name
    try:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", name, "--model", model,
               "--mode", mode, "--out", out_path]
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", required=True, help="model directory (cameras.bin, images.bin, points3D.bin)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per candidate, after one warm-up")
    ap.add_argument("--only", help="comma-separated candidate names: " + ", ".join(CANDIDATES))
    ap.add_argument("--json", help="write the results to this file")
    ap.add_argument("--no-overlaps", action="store_true", help="skip the overlap rows")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--mode", default="time", help=argparse.SUPPRESS)
    ap.add_argument("--out", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        return child(args.child, args.model, args.mode, args.out)

    names = [n for n in CANDIDATES if not (args.no_overlaps and CANDIDATES[n].group == "overlaps")]
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
    if "overlaps-tilu" in names and not os.path.exists(os.path.join(HERE, "bench_overlaps.py")):
        for n in ("overlaps-scipy", "overlaps-Counter"):
            if n in names:
                names.remove(n)
                skipped[n] = "benchmarks/bench_overlaps.py is missing"
    print(f"model {os.path.abspath(args.model)}; {info['cpu']}, {info['nproc']} cpus, Python {info['python']}, "
          f"tilu {info['tilu']}, pycolmap {info['pycolmap']}", flush=True)
    for n, why in skipped.items():
        print(f"  skipped {n}: {why}", flush=True)

    # Same answer from everyone before anything is timed, group by group.
    for group, baseline in GROUP_BASELINE.items():
        digests = {}
        for n in names:
            if CANDIDATES[n].group != group or CANDIDATES[n].views is None:
                continue
            rep = run_child(n, args.model, "check")
            digests[n] = rep["digest"]
            if "touched" in rep:
                want = [rep["digest"]["track_entries"], rep["digest"]["tracked_point3D_ids"]]
                if rep["touched"] != want:
                    raise SystemExit(f"{n}: touched {rep['touched']} entries/ids, digest says {want}")
        if not digests:
            continue
        ref_name = next((n for n in (baseline, "pure-python") if n in digests), next(iter(digests)))
        ref = digests[ref_name]
        for n, d in digests.items():
            common = [k for k in d if k in ref]
            diff = first_difference({k: ref[k] for k in common}, {k: d[k] for k in common})
            if diff:
                raise SystemExit(f"{n} disagrees with {ref_name}: {diff}")
        summary = ", ".join(f"{k} {v[0] if isinstance(v, list) else v}" for k, v in ref.items()
                            if k in ("image_ids", "point_ids", "track_entries", "tracked_point3D_ids",
                                     "overlap_images", "overlap_entries"))
        print(f"  {group}: results agree ({', '.join(digests)}): {summary}", flush=True)

    rows = []
    for n in names:
        run_child(n, args.model, "time")  # warm-up
        runs = [run_child(n, args.model, "time") for _ in range(args.repeat)]
        secs = [r["seconds"] for r in runs]
        rows.append({"name": n, "group": CANDIDATES[n].group, "what": CANDIDATES[n].what,
                     "median_s": statistics.median(secs), "min_s": min(secs), "runs_s": secs,
                     "rss_peak_mb": max(r["rss_peak_kb"] for r in runs) / 1024,
                     "rss_at_start_mb": max(r["rss_before_kb"] for r in runs) / 1024})
        print(f"  {n}: {statistics.median(secs):.3f} s", flush=True)

    print()
    print(f"{'candidate':<17} {'median s':>9} {'min s':>8} {'x tilu':>7} {'peak RSS MB':>12} {'at start':>9}")
    for group, baseline in GROUP_BASELINE.items():
        base = next((r["median_s"] for r in rows if r["name"] == baseline), None)
        for r in rows:
            if r["group"] == group:
                r["ratio"] = r["median_s"] / base if base else None
                ratio = f"{r['ratio']:.2f}" if base else "-"
                print(f"{r['name']:<17} {r['median_s']:>9.3f} {r['min_s']:>8.3f} {ratio:>7} {r['rss_peak_mb']:>12.0f} "
                      f"{r['rss_at_start_mb']:>9.0f}")
    print("\n'at start': peak RSS after imports (and, for the overlap rows, after reading the "
          "points with tilu), before the timed call")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "model": model_summary(args.model), "repeat": args.repeat,
                       "skipped": skipped, "rows": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
