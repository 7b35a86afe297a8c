"""A plain struct-based reader of COLMAP binary models, the way a script without
any native help would read them.  It is the baseline of the benchmarks: no numpy,
everything decoded eagerly into lists of Python numbers.

It spells out the file layouts itself, on purpose, rather than taking them from
tests/colmap_layout.py: it stands for the reader a user would write, with no
test helpers at hand, and benchmarks/ runs on its own, without tests/.
"""
from __future__ import annotations

import os
import struct
from typing import NamedTuple

# model id -> number of parameters
CAMERA_PARAM_COUNTS = {0: 3, 1: 4, 2: 4, 3: 5, 4: 8, 5: 8, 6: 12, 7: 5, 8: 4, 9: 5, 10: 12}
NO_POINT3D = 0xFFFFFFFFFFFFFFFF


class Camera(NamedTuple):
    camera_id: int
    model_id: int
    width: int
    height: int
    params: list


class Image(NamedTuple):
    image_id: int
    qvec: tuple          # w, x, y, z as stored
    tvec: tuple
    camera_id: int
    name: str
    points2D: list       # [x, y] per 2D point
    point3D_ids: list    # NO_POINT3D where the 2D point observes no 3D point


class Point3D(NamedTuple):
    id: int
    xyz: tuple
    rgb: tuple
    error: float
    track: list          # (image_id, point2D_idx) tuples


_U64 = struct.Struct("<Q")
_CAMERA = struct.Struct("<IiQQ")
_IMAGE = struct.Struct("<I7dI")
_POINT = struct.Struct("<Q3d3BdQ")


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def read_cameras_bin(path: str) -> dict[int, Camera]:
    data = _read(path)
    (count,) = _U64.unpack_from(data, 0)
    pos = 8
    cameras = {}
    for _ in range(count):
        camera_id, model_id, width, height = _CAMERA.unpack_from(data, pos)
        pos += _CAMERA.size
        n = CAMERA_PARAM_COUNTS[model_id]
        params = list(struct.unpack_from(f"<{n}d", data, pos))
        pos += 8 * n
        cameras[camera_id] = Camera(camera_id, model_id, width, height, params)
    return cameras


def read_images_bin(path: str) -> dict[int, Image]:
    data = _read(path)
    (count,) = _U64.unpack_from(data, 0)
    pos = 8
    images = {}
    for _ in range(count):
        image_id, qw, qx, qy, qz, tx, ty, tz, camera_id = _IMAGE.unpack_from(data, pos)
        pos += _IMAGE.size
        end = data.index(b"\0", pos)
        name = data[pos:end].decode("utf-8", "replace")
        pos = end + 1
        (n,) = _U64.unpack_from(data, pos)
        pos += 8
        values = struct.unpack_from("<" + "ddQ" * n, data, pos)
        pos += 24 * n
        xs, ys, ids = values[0::3], values[1::3], values[2::3]
        points2D = [[x, y] for x, y in zip(xs, ys)]
        images[image_id] = Image(image_id, (qw, qx, qy, qz), (tx, ty, tz), camera_id, name,
                                 points2D, list(ids))
    return images


def read_points3D_bin(path: str) -> dict[int, Point3D]:
    data = _read(path)
    (count,) = _U64.unpack_from(data, 0)
    pos = 8
    points = {}
    for _ in range(count):
        point_id, x, y, z, r, g, b, error, m = _POINT.unpack_from(data, pos)
        pos += _POINT.size
        flat = struct.unpack_from(f"<{2 * m}I", data, pos)
        pos += 8 * m
        track = list(zip(flat[0::2], flat[1::2]))
        points[point_id] = Point3D(point_id, (x, y, z), (r, g, b), error, track)
    return points


def read_reconstruction_bin(path: str):
    return (read_cameras_bin(os.path.join(path, "cameras.bin")),
            read_images_bin(os.path.join(path, "images.bin")),
            read_points3D_bin(os.path.join(path, "points3D.bin")))
