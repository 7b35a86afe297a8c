"""The whole tilu API with type annotations; checked by `mypy --strict` in
scripts/check_types against the stubs in tilu-stubs/.

    python examples/typed_usage.py [MODEL_DIR]     (default: the bundled sample model)
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING

import tilu

if TYPE_CHECKING:
    # Color is not an attribute of tilu at run time (it is builtins.Color).
    from tilu import Color

SAMPLE = Path(__file__).resolve().parents[1] / "sample" / "sparse"
NO_POINT3D = 2**64 - 1  # point3D_ids marker for "this keypoint observes no 3D point"

Matrix = list[list[float]]


def load(model: Path) -> tuple[dict[int, tilu.Camera], dict[int, tilu.Image], dict[int, tilu.Point3D]]:
    try:
        return tilu.read_reconstruction_bin(str(model))  # str, not a Path
    except FileNotFoundError as e:
        # One argument: str(e) is "No such file or directory (os error 2)", e.errno is None.
        sys.exit(f"{model}: {e}")
    except BaseException as e:
        if type(e).__name__ == "PanicException":  # malformed file content
            sys.exit(f"{model}: malformed model: {e.args[0]}")
        raise


def describe_camera(cam: tilu.Camera) -> str:
    k: Matrix | None = cam.K() if cam.model_id in ("Simple Pinhole", "Pinhole") else None
    return f"{cam.camera_id}: {cam.model_id} {cam.width}x{cam.height} params={cam.params} K={k}"


def tracked(img: tilu.Image) -> list[tuple[int, list[float]]]:
    ids: list[int] = img.get_tracked_point3D_ids()
    xy: list[list[float]] = img.get_tracked_points2D()
    assert all(i != NO_POINT3D for i in ids) and len(ids) == len(xy)
    return list(zip(ids, xy))


def rgb(point: tilu.Point3D) -> tuple[int, int, int]:
    c: Color = point.color
    return (c.r, c.g, c.b)


def main(model: Path) -> None:
    cameras, images, points3D = load(model)
    for camera_id in sorted(cameras):
        print(describe_camera(cameras[camera_id]))

    first, second = (images[i] for i in sorted(images)[:2])
    rot: Matrix = first.rot
    trans: list[float] = first.trans
    R, t = first.relative_pose_from(second)
    print(first.image_id, first.camera_id, first.name, rot, trans, len(first.points2D))
    print("tracked keypoints:", len(tracked(first)), "of", len(first.point3D_ids))
    print("relative pose:", R, t)

    some: tilu.Point3D = points3D[min(points3D)]
    track: list[tuple[int, int]] = some.track
    xyz: list[float] = some.xyz
    print(some.id, xyz, rgb(some), some.error, track[:3])

    sys.stdout.flush()  # tilu prints progress lines on fd 1, bypassing sys.stdout
    counts: dict[int, dict[int, int]] = tilu.compute_overlaps(points3D)
    fractions: dict[int, dict[int, float]] = tilu.compute_overlap_percentages(points3D)
    a = first.image_id
    print("image", a, "sees", counts[a][a], "points; shares",
          {b: round(f, 3) for b, f in sorted(fractions.get(a, {}).items())})


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE)
