"""Writers for the three COLMAP binary model files, from explicit values.

Each function returns the bytes of one file so that a test can state, cut or
corrupt exactly what it feeds to the readers.  All fields are little-endian and
packed without padding.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass, field

NO_POINT3D = 0xFFFFFFFFFFFFFFFF

# model number -> parameter count
PARAM_COUNTS = {0: 3, 1: 4, 2: 4, 3: 5, 4: 8, 5: 8, 6: 12, 7: 5, 8: 4, 9: 5, 10: 12}
MODEL_NAMES = {
    0: "Simple Pinhole", 1: "Pinhole", 2: "Simple Radial", 3: "Radial",
    4: "OpenCV", 5: "OpenCV Fisheye", 6: "Full OpenCV", 7: "FOV",
    8: "Simple Radial Fisheye", 9: "Radial Fisheye", 10: "Thin Prism Fisheye",
}


@dataclass
class Cam:
    camera_id: int
    model: int
    width: int
    height: int
    params: list[float]


@dataclass
class Img:
    image_id: int
    qvec: tuple[float, float, float, float]  # stored order: w, x, y, z
    tvec: tuple[float, float, float]
    camera_id: int
    name: bytes | str
    points2D: list[tuple[float, float, int]] = field(default_factory=list)  # x, y, point3D_id

    @property
    def name_bytes(self) -> bytes:
        return self.name.encode() if isinstance(self.name, str) else self.name


@dataclass
class Pt:
    point3D_id: int
    xyz: tuple[float, float, float]
    rgb: tuple[int, int, int]
    error: float
    track: list[tuple[int, int]] = field(default_factory=list)  # image_id, point2D_idx


def camera_record(c: Cam) -> bytes:
    return struct.pack("<IiQQ", c.camera_id, c.model, c.width, c.height) + struct.pack(
        f"<{len(c.params)}d", *c.params
    )


def image_record(i: Img) -> bytes:
    out = [struct.pack("<I4d3dI", i.image_id, *i.qvec, *i.tvec, i.camera_id)]
    out.append(i.name_bytes + b"\0")
    out.append(struct.pack("<Q", len(i.points2D)))
    out.extend(struct.pack("<2dQ", x, y, pid) for x, y, pid in i.points2D)
    return b"".join(out)


def point_record(p: Pt) -> bytes:
    out = [struct.pack("<Q3d3Bd", p.point3D_id, *p.xyz, *p.rgb, p.error)]
    out.append(struct.pack("<Q", len(p.track)))
    out.extend(struct.pack("<II", img, idx) for img, idx in p.track)
    return b"".join(out)


def _file(records: list[bytes], count: int | None) -> bytes:
    n = len(records) if count is None else count
    return struct.pack("<Q", n) + b"".join(records)


def cameras_bin(cams: list[Cam], count: int | None = None) -> bytes:
    return _file([camera_record(c) for c in cams], count)


def images_bin(imgs: list[Img], count: int | None = None) -> bytes:
    return _file([image_record(i) for i in imgs], count)


def points3D_bin(pts: list[Pt], count: int | None = None) -> bytes:
    return _file([point_record(p) for p in pts], count)
