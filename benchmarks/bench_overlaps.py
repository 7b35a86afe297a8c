r"""Time tilu's covisibility functions against what a user would write otherwise.

    PYTHONPATH=build/dev .venv-dev/bin/python benchmarks/bench_overlaps.py \
        [--points 1000000] [--images 5000] [--repeat 3] [--seed 0]

A synthetic points3D.bin is generated with numpy (track lengths of mean about 5
with a heavy tail up to a few hundred; a track walks along neighbouring images,
so its images are mostly distinct) and read with tilu.read_points3D_bin. Each
candidate then takes that same dict of Point3D objects and returns the same
dict of dicts, timed end to end:

- tilu: compute_overlaps / compute_overlap_percentages (argument conversion
  and building the result dicts included);
- scipy: tracks copied out of the Point3D objects into arrays, the sparse
  points x images incidence matrix A, A.T @ A, then the dicts;
- Counter: a pure-Python loop over the tracks with collections.Counter.

All three must agree exactly before anything is timed. tilu's progress lines
go to file descriptor 1 and appear between the rows; that is expected.
"""
from __future__ import annotations

import argparse
import gc
import statistics
import sys
import tempfile
import time
from array import array
from collections import Counter, defaultdict
from itertools import chain
from pathlib import Path

import numpy as np
import scipy.sparse as sp

import tilu

MAX_TRACK = 300

HEADER = np.dtype([("id", "<u8"), ("xyz", "<f8", 3), ("rgb", "u1", 3),
                   ("error", "<f8"), ("track_length", "<u8")])  # 51 bytes, packed


def synthetic_points3D_bin(n_points: int, n_images: int, seed: int) -> bytes:
    rng = np.random.default_rng(seed)
    # 2 + a Lomax (Pareto II) tail: mean about 5, a few tracks of hundreds.
    lengths = np.minimum(2 + np.floor(rng.pareto(2.1, n_points) * 3.8), MAX_TRACK).astype(np.int64)
    ids = rng.permutation(np.arange(n_points, dtype=np.uint64) * 3 + 1)  # ids with gaps
    # Every record of one track length has the same size, so records are written
    # grouped by length: one structured array per length (file order is free).
    parts = [np.array([n_points], "<u8").tobytes()]
    start = 0
    for length, count in zip(*np.unique(lengths, return_counts=True)):
        length, count = int(length), int(count)
        rec = np.zeros(count, np.dtype([("head", HEADER), ("track", "<u4", (length, 2))]))
        rec["head"]["id"] = ids[start:start + count]
        rec["head"]["xyz"] = rng.normal(size=(count, 3))
        rec["head"]["rgb"] = rng.integers(0, 256, (count, 3))
        rec["head"]["error"] = rng.random(count)
        rec["head"]["track_length"] = length
        # Walk along neighbouring images in steps of 1 to 3; a step of 0 (about
        # 3 %) observes the same image again, so tracks may repeat an image.
        steps = rng.integers(1, 4, (count, length))
        steps[rng.random((count, length)) < 0.03] = 0
        steps[:, 0] = rng.integers(0, n_images, count)
        rec["track"][:, :, 0] = np.cumsum(steps, axis=1) % n_images + 1
        rec["track"][:, :, 1] = rng.integers(0, 8000, (count, length))
        parts.append(rec.tobytes())
        start += count
    return b"".join(parts)


# ----------------------------------------------------------------------------- scipy

def scipy_cooccurrence(points: dict):
    tracks = [p.track for p in points.values()]
    lengths = np.fromiter(map(len, tracks), np.int64, len(tracks))
    flat = np.fromiter(chain.from_iterable(chain.from_iterable(tracks)), np.int64,
                       2 * int(lengths.sum()))
    image_ids, columns = np.unique(flat[::2], return_inverse=True)
    rows = np.repeat(np.arange(len(tracks)), lengths)
    a = sp.csr_matrix((np.ones(len(rows), np.int32), (rows, columns)),
                      shape=(len(tracks), len(image_ids)))
    a.data[:] = 1  # a repeated image in one track counts once
    c = (a.T @ a).tocsr()
    c.sort_indices()
    return image_ids, c


def scipy_overlaps(points: dict) -> dict:
    image_ids, c = scipy_cooccurrence(points)
    keys = image_ids.tolist()
    cols = image_ids[c.indices].tolist()
    counts = c.data.tolist()
    ptr = c.indptr.tolist()
    return {keys[i]: dict(zip(cols[ptr[i]:ptr[i + 1]], counts[ptr[i]:ptr[i + 1]]))
            for i in range(len(keys))}


def scipy_percentages(points: dict) -> dict:
    image_ids, c = scipy_cooccurrence(points)
    diag = c.diagonal().astype(np.float32)
    rows = np.repeat(np.arange(c.shape[0]), np.diff(c.indptr))
    off = c.indices != rows
    fractions = (c.data.astype(np.float32) / diag[rows])[off].tolist()
    cols = image_ids[c.indices[off]].tolist()
    ptr = np.concatenate([[0], np.cumsum(np.bincount(rows[off], minlength=c.shape[0]))]).tolist()
    keys = image_ids.tolist()
    return {keys[i]: dict(zip(cols[ptr[i]:ptr[i + 1]], fractions[ptr[i]:ptr[i + 1]]))
            for i in range(len(keys)) if ptr[i] != ptr[i + 1]}


# --------------------------------------------------------------------------- Counter

def counter_overlaps(points: dict) -> dict:
    counts: defaultdict[int, Counter] = defaultdict(Counter)
    for p in points.values():
        seen = {image for image, _ in p.track}
        for a in seen:
            counts[a].update(seen)
    return {a: dict(row) for a, row in counts.items()}


def counter_percentages(points: dict) -> dict:
    out = {}
    for a, row in counter_overlaps(points).items():
        if len(row) == 1:
            continue
        d = row[a]
        others = [b for b in row if b != a]
        # Counts below 2**24 are exact in binary32, and one rounding of the
        # binary64 quotient to binary32 (array "f") is the binary32 division.
        out[a] = dict(zip(others, array("f", [row[b] / d for b in others])))
    return out


# ---------------------------------------------------------------------------- driver

def time_candidates(candidates, arg, repeat: int) -> list[tuple[float, float]]:
    """Median wall-clock and CPU seconds of each candidate.

    The candidates take turns within each round, so a load that comes and goes
    on a shared machine falls on all of them alike; the CPU time of the process
    is shown beside the wall-clock time because it is the less disturbed one.
    """
    wall = [[] for _ in candidates]
    cpu = [[] for _ in candidates]
    for _ in range(repeat):
        for k, (_, fn) in enumerate(candidates):
            gc.collect()
            w0, c0 = time.perf_counter(), time.process_time()
            result = fn(arg)
            wall[k].append(time.perf_counter() - w0)
            cpu[k].append(time.process_time() - c0)
            del result
    return [(statistics.median(w), statistics.median(c)) for w, c in zip(wall, cpu)]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--points", type=int, default=1_000_000)
    ap.add_argument("--images", type=int, default=5_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()

    t0 = time.perf_counter()
    data = synthetic_points3D_bin(args.points, args.images, args.seed)
    with tempfile.TemporaryDirectory() as d:
        path = Path(d) / "points3D.bin"
        path.write_bytes(data)
        points = tilu.read_points3D_bin(str(path))
    lengths = np.fromiter((len(p.track) for p in points.values()), np.int64, len(points))
    distinct = np.fromiter((len({i for i, _ in p.track}) for p in points.values()),
                           np.int64, len(points))
    print(f"model: {len(points)} points, {args.images} images, {len(data) / 1e6:.1f} MB, "
          f"track length mean {lengths.mean():.2f} max {lengths.max()}, "
          f"tracks with a repeated image {np.mean(distinct < lengths):.1%}, "
          f"sum of n^2 {int((distinct ** 2).sum())} ({time.perf_counter() - t0:.1f} s)",
          flush=True)

    tasks = {
        "compute_overlaps": [("tilu", tilu.compute_overlaps), ("scipy", scipy_overlaps),
                             ("Counter", counter_overlaps)],
        "compute_overlap_percentages": [
            ("tilu", tilu.compute_overlap_percentages), ("scipy", scipy_percentages),
            ("Counter", counter_percentages)],
    }
    rows = []
    for task, candidates in tasks.items():
        results = [fn(points) for _, fn in candidates]
        for (name, _), result in zip(candidates[1:], results[1:]):
            if result != results[0]:
                sys.exit(f"{task}: {name} disagrees with tilu")
        pairs = sum(len(r) for r in results[0].values())
        print(f"{task}: {len(results[0])} images, {pairs} entries; all candidates agree",
              flush=True)
        del results
        times = time_candidates(candidates, points, args.repeat)
        rows += [(task, name, wall, cpu, wall / times[0][0], cpu / times[0][1])
                 for (name, _), (wall, cpu) in zip(candidates, times)]

    print(f"\nmedian of {args.repeat}; ratios are candidate time / tilu time\n")
    print(f"{'function':<29} {'candidate':<9} {'wall s':>8} {'cpu s':>8} "
          f"{'wall vs tilu':>13} {'cpu vs tilu':>12}")
    for task, name, wall, cpu, wall_ratio, cpu_ratio in rows:
        print(f"{task:<29} {name:<9} {wall:>8.3f} {cpu:>8.3f} "
              f"{wall_ratio:>12.1f}x {cpu_ratio:>11.1f}x")


if __name__ == "__main__":
    main()
