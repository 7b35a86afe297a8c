"""Loads a COLMAP binary model with tilu and prints a short tour of it.

    python examples/demo.py [MODEL_DIR]     (default: the bundled sample model)

A model that cannot be read ends the tour with one line naming it and exit
status 1; Ctrl-C with status 130. The `tilu` command does the same.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import NoReturn

import tilu

SAMPLE = Path(__file__).resolve().parents[1] / "sample" / "sparse"


def main(model: str) -> None:
    cameras, images, points3D = tilu.read_reconstruction_bin(model)
    print(f"model {model}: {len(cameras)} cameras, {len(images)} images, {len(points3D)} 3D points")

    print("\ncameras:")
    for camera_id in sorted(cameras):
        cam = cameras[camera_id]
        print(f"  {cam}  params={cam.params}")

    print("\nimages:")
    for image_id in sorted(images):
        img = images[image_id]
        tracked = len(img.get_tracked_point3D_ids())
        print(f"  {img}")
        print(f"      {len(img.point3D_ids)} keypoints, {tracked} of them observe a 3D point")

    if points3D:
        tracks = [len(p.track) for p in points3D.values()]
        errors = [p.error for p in points3D.values()]
        first = points3D[min(points3D)]
        print(f"\n3D points: mean track length {sum(tracks) / len(tracks):.2f}, "
              f"longest {max(tracks)}, mean error {sum(errors) / len(errors):.3f}")
        print(f"  e.g. {first}  {first.color}")

    sys.stdout.flush()  # tilu writes its progress lines straight to file descriptor 1
    overlaps = tilu.compute_overlaps(points3D)
    fractions = tilu.compute_overlap_percentages(points3D)
    pairs = sorted(
        ((count, a, b) for a, row in overlaps.items() for b, count in row.items() if a < b),
        reverse=True,
    )
    print("\nten most covisible image pairs (shared points, share of each image's points):")
    for count, a, b in pairs[:10]:
        print(f"  {images[a].name if a in images else a}  {images[b].name if b in images else b}"
              f"  {count:5d}  {fractions[a][b]:.3f} / {fractions[b][a]:.3f}")

    if len(images) >= 2:
        a, b = sorted(images)[:2]
        rotation, translation = images[a].relative_pose_from(images[b])
        print(f"\npose of image {b} in the frame of image {a}:")
        for row in rotation:
            print("  [" + ", ".join(f"{v: .6f}" for v in row) + "]")
        print("  t = [" + ", ".join(f"{v: .6f}" for v in translation) + "]")


def fail(message: str, status: int = 1) -> NoReturn:
    print(f"demo.py: {message}", file=sys.stderr)
    raise SystemExit(status)


if __name__ == "__main__":
    model = sys.argv[1] if len(sys.argv) > 1 else str(SAMPLE)
    try:
        main(model)
    except KeyboardInterrupt:
        fail(f"interrupted while working on the model {model}", 130)  # 128 + SIGINT
    except OSError as e:
        fail(f"cannot read the model {model}: {e}")
    except BaseException as e:
        # tilu's PanicException (malformed content) derives from BaseException
        # and is not a module attribute; tilu has already said where it failed.
        if type(e).__name__ != "PanicException":
            raise
        fail(f"cannot use the model {model}: {e}")
