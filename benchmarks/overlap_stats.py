"""Counts the work of the covisibility product on a model, so that a profile of
compute_overlaps can be divided by it.

    python benchmarks/overlap_stats.py MODEL_DIR_OR_POINTS3D_BIN [--json]

For every 3D point with n distinct images in its track, the row-by-row product
(for each image, for each of its points, for each image of that point) visits
n * n (image, point, image) triples, and the point adds to n * (n - 1) / 2
unordered pairs of distinct images.  Printed: points, track entries, distinct
(point, image) observations, images seen, the largest n, and the sums of n^2
(triples) and of n(n-1)/2 (pairs).  The file is read with numpy alone, not
with tilu, so the figures do not depend on the build under test.
"""
from __future__ import annotations

import argparse
import json
import os
import struct
import sys
import time

import numpy as np

HEADER = 51        # point3D_id u64, xyz 3 x f64, rgb 3 x u8, error f64, track_length u64
TRACK_ENTRY = 8    # image_id u32, point2D_idx u32


def track_images(path: str) -> tuple[np.ndarray, np.ndarray]:
    """Every point's track length and the image ids of all track entries, in file order."""
    with open(path, "rb") as f:
        raw = f.read()
    data = np.frombuffer(raw, dtype=np.uint8)
    count = struct.unpack_from("<Q", raw, 0)[0]
    # The records have variable length, so finding them is one sequential walk
    # (over the bytes object: unpacking from it is much cheaper than from an array).
    length_at = struct.Struct("<Q").unpack_from
    starts, lengths = [], []
    pos = 8
    for _ in range(count):
        n = length_at(raw, pos + HEADER - 8)[0]
        starts.append(pos + HEADER)
        lengths.append(n)
        pos += HEADER + TRACK_ENTRY * n
    if pos != len(data):
        sys.exit(f"{path}: the records end at byte {pos}, the file at {len(data)}")
    starts = np.array(starts, dtype=np.int64)
    lengths = np.array(lengths, dtype=np.int64)
    first = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=first[1:])
    entry_pos = (np.repeat(starts, lengths)
                 + TRACK_ENTRY * (np.arange(first[-1], dtype=np.int64) - np.repeat(first[:-1], lengths)))
    # Image ids sit at any byte offset (the headers are 51 bytes long): gather them
    # as aligned uint32 words, one byte shift at a time.
    images = np.empty(len(entry_pos), dtype=np.uint32)
    for shift in range(4):
        sel = np.flatnonzero(entry_pos % 4 == shift)
        words = data[shift:shift + (len(data) - shift) // 4 * 4].view("<u4")
        images[sel] = words[(entry_pos[sel] - shift) // 4]
    return lengths, images


def stats(path: str) -> dict:
    if os.path.isdir(path):
        path = os.path.join(path, "points3D.bin")
    lengths, images = track_images(path)
    point = np.repeat(np.arange(len(lengths), dtype=np.uint64), lengths)
    # Sorted (point, image) keys: a key that differs from its predecessor is a new
    # distinct image of its point.  (Sorting beats np.unique, which hashes first.)
    keys = (point << np.uint64(32)) | images.astype(np.uint64)
    del point
    keys.sort()
    distinct = keys[first_of_runs(keys)]
    n = np.bincount((distinct >> np.uint64(32)).astype(np.int64), minlength=len(lengths))
    images.sort()
    return {"points": len(lengths), "track_entries": int(lengths.sum()), "observations": int(n.sum()),
            "images": int(np.count_nonzero(first_of_runs(images))), "largest_n": int(n.max(initial=0)),
            "triples": int((n * n).sum()), "pairs": int((n * (n - 1) // 2).sum())}


def first_of_runs(sorted_values: np.ndarray) -> np.ndarray:
    """True where a sorted array's value differs from the one before it."""
    first = np.ones(len(sorted_values), dtype=bool)
    np.not_equal(sorted_values[1:], sorted_values[:-1], out=first[1:])
    return first


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model", help="model directory or a points3D.bin")
    ap.add_argument("--json", action="store_true", help="print one JSON object")
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    s = stats(args.model)
    if args.json:
        print(json.dumps(s))
        return 0
    print(f"points            {s['points']:>15,}")
    print(f"track entries     {s['track_entries']:>15,}")
    print(f"observations      {s['observations']:>15,}   distinct (point, image)")
    print(f"images            {s['images']:>15,}")
    print(f"largest n         {s['largest_n']:>15,}   distinct images of one point")
    print(f"triples           {s['triples']:>15,}   sum of n^2: (image, point, image) visits")
    print(f"pairs             {s['pairs']:>15,}   sum of n(n-1)/2: unordered image pairs", flush=True)
    print(f"({time.perf_counter() - t0:.1f} s)", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
