"""Writes the small sample model bundled in sample/sparse.

A camera moves along a gentle arc and photographs a cloud of points in front
of it; each point is observed by the consecutive views that see it, so the
covisibility falls off with the distance between views, as in a real
sequence. Deterministic: the same files every time.

    python examples/make_sample.py [OUTDIR]
"""
from __future__ import annotations

import math
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from colmap_writer import NO_POINT3D, Cam, Img, Pt, cameras_bin, images_bin, points3D_bin  # noqa: E402

NUM_IMAGES = 12
NUM_POINTS = 400
KEYPOINTS_PER_IMAGE = 160


def quaternion_about_y(angle: float) -> tuple[float, float, float, float]:
    return (math.cos(angle / 2), 0.0, math.sin(angle / 2), 0.0)


def main(out: Path) -> None:
    rng = random.Random(20261208)
    cams = [
        Cam(1, 1, 1280, 720, [1000.0, 1002.5, 640.0, 360.0]),
        Cam(2, 2, 1920, 1080, [1500.0, 960.0, 540.0, -0.012]),
    ]
    views = []
    for v in range(NUM_IMAGES):
        angle = 0.08 * v
        views.append(dict(q=quaternion_about_y(angle), t=(-0.5 * v, 0.02 * v, 0.1 * v), kps=[]))

    points = []
    for p in range(NUM_POINTS):
        first = rng.randrange(NUM_IMAGES)
        length = min(NUM_IMAGES - first, 2 + int(rng.expovariate(0.45)))
        xyz = (rng.uniform(-4, 8), rng.uniform(-2, 2), rng.uniform(4, 12))
        rgb = (rng.randrange(256), rng.randrange(256), rng.randrange(256))
        track = []
        for v in range(first, first + length):
            kps = views[v]["kps"]
            track.append((v + 1, len(kps)))
            kps.append((rng.uniform(0, 1280), rng.uniform(0, 720), 1000 + 3 * p))
        points.append(Pt(1000 + 3 * p, xyz, rgb, rng.uniform(0.1, 2.0), track))

    imgs = []
    for v, view in enumerate(views):
        kps = view["kps"]
        while len(kps) < KEYPOINTS_PER_IMAGE:  # keypoints without a 3D point
            kps.append((rng.uniform(0, 1280), rng.uniform(0, 720), NO_POINT3D))
        imgs.append(Img(v + 1, view["q"], view["t"], 1 + v % 2, f"seq_0001/frame_{v:06d}.jpg", kps))

    out.mkdir(parents=True, exist_ok=True)
    (out / "cameras.bin").write_bytes(cameras_bin(cams))
    (out / "images.bin").write_bytes(images_bin(imgs))
    (out / "points3D.bin").write_bytes(points3D_bin(points))


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "sample" / "sparse")
