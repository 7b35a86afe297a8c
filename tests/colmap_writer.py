"""Writers for the three COLMAP binary model files, from explicit values.

Each function returns the bytes of one file so that a test can state, cut or
corrupt exactly what it feeds to the readers.  The layouts are colmap_layout's;
its constants are importable from here too.
"""
from __future__ import annotations

from dataclasses import dataclass, field

from colmap_layout import (CAMERA, COUNT, IMAGE, KEYPOINT, MODEL_NAMES, NO_POINT3D, PARAM,  # noqa: F401
                           PARAM_COUNTS, POINT3D, TRACK_ENTRY)


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
    return CAMERA.pack(c.camera_id, c.model, c.width, c.height) + b"".join(PARAM.pack(v) for v in c.params)


def image_record(i: Img) -> bytes:
    out = [IMAGE.pack(i.image_id, *i.qvec, *i.tvec, i.camera_id)]
    out.append(i.name_bytes + b"\0")
    out.append(COUNT.pack(len(i.points2D)))
    out.extend(KEYPOINT.pack(*p) for p in i.points2D)
    return b"".join(out)


def point_record(p: Pt) -> bytes:
    out = [POINT3D.pack(p.point3D_id, *p.xyz, *p.rgb, p.error)]
    out.append(COUNT.pack(len(p.track)))
    out.extend(TRACK_ENTRY.pack(*entry) for entry in p.track)
    return b"".join(out)


def _file(records: list[bytes], count: int | None) -> bytes:
    n = len(records) if count is None else count
    return COUNT.pack(n) + b"".join(records)


def cameras_bin(cams: list[Cam], count: int | None = None) -> bytes:
    return _file([camera_record(c) for c in cams], count)


def images_bin(imgs: list[Img], count: int | None = None) -> bytes:
    return _file([image_record(i) for i in imgs], count)


def points3D_bin(pts: list[Pt], count: int | None = None) -> bytes:
    return _file([point_record(p) for p in pts], count)
