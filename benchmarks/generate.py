"""Writes a synthetic COLMAP binary sparse model (cameras.bin, images.bin,
points3D.bin) for benchmarking.

    python benchmarks/generate.py {small,medium,large,xlarge} OUTDIR [--seed N]

The model is internally consistent: every track entry (image i, 2D point k) of a
3D point p has point3D_ids[k] == p in image i, and every other 2D point carries the
no-3D-point marker.  Images and points are written in the order in which a hash
map keyed by identifier holds them, as COLMAP writes them: by identifier modulo a
prime number of buckets (about a third of consecutive identifiers go down).  Track lengths follow a heavy-tailed law (at least 2, mean
about 5, a few tracks of several hundred images); the images of one track are
distinct and mostly neighbours in the capture order, as in a real sequence.

Every file is assembled from numpy arrays: the fixed-size parts as packed
structured arrays, the variable-length parts (names, 2D points, tracks) placed by
offsets computed with cumsum/repeat, so the large preset takes seconds and the
xlarge one (20,000 images, 5M points, 1.4 GB of files) well under a minute, with a
peak of about 2.7 GB.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass

import numpy as np

NO_POINT3D = np.uint64(0xFFFFFFFFFFFFFFFF)


@dataclass(frozen=True)
class Preset:
    images: int
    points: int
    keypoints: int        # mean number of 2D points per image
    max_track: int        # cap of the track-length tail
    frames_per_seq: int   # images per 'seq_NNNN' directory


PRESETS = {
    "small": Preset(images=100, points=10_000, keypoints=2_000, max_track=100, frames_per_seq=30),
    "medium": Preset(images=1_000, points=200_000, keypoints=3_000, max_track=400, frames_per_seq=250),
    "large": Preset(images=5_000, points=1_000_000, keypoints=4_000, max_track=500, frames_per_seq=500),
    # About 1,250 observations per image: 2,000 keypoints keep images.bin near 1 GB.
    "xlarge": Preset(images=20_000, points=5_000_000, keypoints=2_000, max_track=500, frames_per_seq=500),
    # large four times over: 20,000 images of 4,000 keypoints (images.bin 1.9 GB).
    "xxlarge": Preset(images=20_000, points=5_000_000, keypoints=4_000, max_track=500, frames_per_seq=500),
}

# (model id, width, height, parameters): a pinhole, a simple-radial and an OpenCV camera.
CAMERAS = [
    (1, 1920, 1080, [1450.0, 1452.5, 960.0, 540.0]),                             # PINHOLE
    (2, 1600, 1200, [1210.0, 800.0, 600.0, -0.021]),                             # SIMPLE_RADIAL
    (4, 4000, 3000, [3010.0, 3005.0, 2000.0, 1500.0, -0.11, 0.03, 1e-4, -2e-4]),  # OPENCV
]

CAMERA_RECORD = np.dtype([("camera_id", "<u4"), ("model_id", "<i4"), ("width", "<u8"), ("height", "<u8")])
IMAGE_HEADER = np.dtype([("image_id", "<u4"), ("qvec", "<f8", 4), ("tvec", "<f8", 3), ("camera_id", "<u4")])
POINT2D = np.dtype([("xy", "<f8", 2), ("point3D_id", "<u8")])
POINT3D_HEADER = np.dtype([("point3D_id", "<u8"), ("xyz", "<f8", 3), ("rgb", "u1", 3),
                           ("error", "<f8"), ("track_length", "<u8")])
TRACK_ENTRY = np.dtype([("image_id", "<u4"), ("point2D_idx", "<u4")])
assert IMAGE_HEADER.itemsize == 64 and POINT2D.itemsize == 24
assert POINT3D_HEADER.itemsize == 51 and TRACK_ENTRY.itemsize == 8


def ids_with_gaps(rng: np.random.Generator, n: int, first: int, max_step: int) -> np.ndarray:
    """n increasing identifiers starting at `first`, consecutive ones 1..max_step apart."""
    steps = rng.integers(1, max_step + 1, size=n, dtype=np.uint64)
    steps[0] = first
    return np.cumsum(steps, dtype=np.uint64)


def hash_map_order(ids: np.ndarray) -> np.ndarray:
    """The positions of `ids` in the order of a hash map of identity-hashed keys
    with one bucket per key: by id modulo the smallest prime >= len(ids)."""
    buckets = max(len(ids), 2)
    while any(buckets % d == 0 for d in range(2, int(buckets ** 0.5) + 1)):
        buckets += 1
    return np.argsort(ids % np.uint64(buckets), kind="stable")


def track_lengths(rng: np.random.Generator, n: int, cap: int) -> np.ndarray:
    """Lomax (Pareto II) tail over a floor of 2: mean about 5, a few hundred at most."""
    extra = np.floor(4.2 * (rng.random(n) ** (-1.0 / 2.2) - 1.0))
    return np.minimum(2 + extra, cap).astype(np.int64)


def group_starts(lengths: np.ndarray) -> np.ndarray:
    starts = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(lengths, out=starts[1:])
    return starts


def rank_in_group(lengths: np.ndarray) -> np.ndarray:
    """0, 1, ..., len-1 for every group, concatenated."""
    starts = group_starts(lengths)
    return np.arange(starts[-1], dtype=np.int64) - np.repeat(starts[:-1], lengths)


def choose_track_images(rng: np.random.Generator, lengths: np.ndarray, n_images: int) -> np.ndarray:
    """For point p, lengths[p] distinct image indices drawn from a window of
    neighbouring images (twice the track length wide, wrapping around)."""
    n = len(lengths)
    window = np.minimum(2 * lengths, n_images)
    first = rng.integers(0, n_images, size=n)
    owner = np.repeat(np.arange(n, dtype=np.int64), window)
    rank = rank_in_group(window)
    candidates = (np.repeat(first, window) + rank) % n_images
    # Shuffle within each point's window (the integer part of the key keeps the
    # points apart), then keep the first lengths[p] candidates of each window.
    order = np.argsort(owner + rng.random(len(owner)), kind="stable")
    del owner
    keep = rank < np.repeat(lengths, window)
    return candidates[order][keep]


def build_model(preset: Preset, seed: int) -> dict:
    rng = np.random.default_rng(seed)
    n_img, n_pts = preset.images, preset.points

    image_ids = ids_with_gaps(rng, n_img, first=1, max_step=2).astype(np.uint32)
    point_ids = ids_with_gaps(rng, n_pts, first=1, max_step=3)
    seq = np.arange(n_img) // preset.frames_per_seq
    camera_index = seq % len(CAMERAS)

    lengths = track_lengths(rng, n_pts, min(preset.max_track, n_img))
    obs_image = choose_track_images(rng, lengths, n_img)        # image index per track entry
    obs_point = np.repeat(np.arange(n_pts, dtype=np.int64), lengths)

    # Keypoints per image: about the preset's mean, never fewer than the image's observations.
    obs_per_image = np.bincount(obs_image, minlength=n_img)
    n_kp = rng.integers(int(preset.keypoints * 0.8), int(preset.keypoints * 1.2) + 1, size=n_img)
    n_kp = np.maximum(n_kp, obs_per_image)
    kp_start = group_starts(n_kp)

    # Give each observation a distinct 2D point of its image: sort the observations
    # by image and hand out the first entries of a random permutation of its keypoints.
    # A stable sort of 16-bit keys is a radix sort: several times faster than of int64.
    image_key = obs_image.astype(np.uint16 if n_img <= 1 << 16 else np.int64)
    by_image = np.argsort(image_key, kind="stable")
    del image_key
    rank = np.empty(len(obs_image), dtype=np.int64)
    rank[by_image] = rank_in_group(obs_per_image)
    point2D_idx = np.empty(len(obs_image), dtype=np.int64)
    obs_start = group_starts(obs_per_image)
    for i in range(n_img):
        members = by_image[obs_start[i]:obs_start[i + 1]]
        point2D_idx[members] = rng.permutation(n_kp[i])[: len(members)]

    points2D = np.empty(kp_start[-1], dtype=POINT2D)
    sizes = np.array([(c[1], c[2]) for c in CAMERAS], dtype=np.float64)[camera_index]
    points2D["xy"] = rng.random((kp_start[-1], 2)) * np.repeat(sizes, n_kp, axis=0)
    points2D["point3D_id"] = NO_POINT3D
    points2D["point3D_id"][kp_start[obs_image] + point2D_idx] = point_ids[obs_point]

    headers = np.empty(n_img, dtype=IMAGE_HEADER)
    q = rng.normal(size=(n_img, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    q[q[:, 0] < 0] *= -1.0
    headers["image_id"] = image_ids
    headers["qvec"] = q
    headers["tvec"] = rng.normal(scale=5.0, size=(n_img, 3))
    headers["camera_id"] = camera_index + 1
    frame = np.arange(n_img) % preset.frames_per_seq + 1
    names = [b"seq_%04d/frame_%06d.jpg" % (s + 1, f) for s, f in zip(seq.tolist(), frame.tolist())]

    points = np.empty(n_pts, dtype=POINT3D_HEADER)
    points["point3D_id"] = point_ids
    points["xyz"] = rng.normal(scale=20.0, size=(n_pts, 3))
    points["rgb"] = rng.integers(0, 256, size=(n_pts, 3), dtype=np.uint8)
    points["error"] = rng.gamma(2.0, 0.4, size=n_pts)
    points["track_length"] = lengths
    track = np.empty(len(obs_image), dtype=TRACK_ENTRY)
    track["image_id"] = image_ids[obs_image]
    track["point2D_idx"] = point2D_idx

    # The file order: points (with their tracks) and images as a hash map holds them.
    point_order = hash_map_order(point_ids)
    entry_order = np.repeat(group_starts(lengths)[:-1][point_order], lengths[point_order])
    entry_order += rank_in_group(lengths[point_order])
    return dict(headers=headers, names=names, n_kp=n_kp, kp_start=kp_start, points2D=points2D,
                points=points[point_order], track=track[entry_order], lengths=lengths[point_order],
                image_order=hash_map_order(image_ids.astype(np.uint64)))


def cameras_bytes() -> bytes:
    parts = [np.uint64(len(CAMERAS)).tobytes()]
    for i, (model, w, h, params) in enumerate(CAMERAS):
        rec = np.array([(i + 1, model, w, h)], dtype=CAMERA_RECORD)
        parts += [rec.tobytes(), np.asarray(params, dtype="<f8").tobytes()]
    return b"".join(parts)


def write_images(path: str, m: dict) -> None:
    headers, names, n_kp, kp_start, points2D = m["headers"], m["names"], m["n_kp"], m["kp_start"], m["points2D"]
    with open(path, "wb") as f:
        f.write(np.uint64(len(headers)).tobytes())
        for i in m["image_order"].tolist():
            f.write(headers[i:i + 1].tobytes())
            f.write(names[i] + b"\0")
            f.write(np.uint64(n_kp[i]).tobytes())
            f.write(memoryview(points2D[kp_start[i]:kp_start[i + 1]]).cast("B"))


def points3D_bytes(m: dict) -> np.ndarray:
    """points3D.bin as one byte array: the count, then each 51-byte point header
    followed by its track.  The two streams are merged in order through a mask that
    marks the header bytes: each record is [header | track], so the mask repeats
    True 51 times and False 8 * track_length times, point after point."""
    points, track, lengths = m["points"], m["track"], m["lengths"]
    n = len(points)
    run = np.empty(2 * n, dtype=np.int64)
    run[0::2] = POINT3D_HEADER.itemsize
    run[1::2] = TRACK_ENTRY.itemsize * lengths
    is_header = np.repeat(np.tile(np.array([True, False]), n), run)
    out = np.empty(8 + len(is_header), dtype=np.uint8)
    out[:8] = np.frombuffer(np.uint64(n).tobytes(), dtype=np.uint8)
    body = out[8:]
    body[is_header] = points.view(np.uint8)
    np.logical_not(is_header, out=is_header)
    body[is_header] = track.view(np.uint8)
    return out


def generate(preset_name: str, outdir: str, seed: int = 0) -> dict:
    """Writes the model of the named preset into outdir; returns a few totals."""
    preset = PRESETS[preset_name]
    os.makedirs(outdir, exist_ok=True)
    m = build_model(preset, seed)
    with open(os.path.join(outdir, "cameras.bin"), "wb") as f:
        f.write(cameras_bytes())
    write_images(os.path.join(outdir, "images.bin"), m)
    with open(os.path.join(outdir, "points3D.bin"), "wb") as f:
        f.write(memoryview(points3D_bytes(m)))
    lengths = m["lengths"]
    return dict(images=len(m["headers"]), points=len(lengths), keypoints=int(m["kp_start"][-1]),
                observations=int(lengths.sum()), mean_track=float(lengths.mean()),
                max_track=int(lengths.max()))


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("preset", choices=sorted(PRESETS))
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)
    t0 = time.perf_counter()
    stats = generate(args.preset, args.outdir, args.seed)
    print(f"{args.preset}: {stats['images']} images, {stats['points']} points, "
          f"{stats['keypoints']} 2D points, {stats['observations']} observations "
          f"(mean track {stats['mean_track']:.2f}, longest {stats['max_track']}) "
          f"-> {args.outdir} in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
