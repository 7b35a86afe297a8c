"""The byte layouts of the three COLMAP binary model files, in one place for the
test writer (colmap_writer.py), the reference decoder (helpers.py) and the fuzz
corpus maker (fuzz/make_corpus.py).

Fields are little-endian and packed without padding. A file is COUNT, the
number of its records, then the records; a record is a fixed head, then:

    cameras.bin   CAMERA, then the model's parameters (PARAM_COUNTS of PARAM)
    images.bin    IMAGE, the name's bytes and a zero byte, COUNT, then that
                  many keypoints (KEYPOINT)
    points3D.bin  POINT3D, COUNT, then that many track entries (TRACK_ENTRY)
"""
from __future__ import annotations

import struct


class Layout:
    """Named fields in file order, each a struct format code."""

    def __init__(self, *fields: tuple[str, str]):
        self.names = [name for name, _ in fields]
        self.codes = [code for _, code in fields]
        self.format = "<" + "".join(self.codes)
        self.size = struct.calcsize(self.format)

    def offset(self, name: str) -> int:
        """Where field `name` starts within the layout."""
        return struct.calcsize("<" + "".join(self.codes[:self.names.index(name)]))

    def pack(self, *values) -> bytes:
        return struct.pack(self.format, *values)

    def field(self, data: bytes, start: int, name: str):
        """Field `name` of the layout that starts at `start` in `data`."""
        code = self.codes[self.names.index(name)]
        return struct.unpack_from("<" + code, data, start + self.offset(name))[0]


COUNT = Layout(("count", "Q"))
PARAM = Layout(("param", "d"))
CAMERA = Layout(("camera_id", "I"), ("model_id", "i"), ("width", "Q"), ("height", "Q"))
# The rotation quaternion scalar first: w, x, y, z.
IMAGE = Layout(("image_id", "I"), ("qw", "d"), ("qx", "d"), ("qy", "d"), ("qz", "d"),
               ("tx", "d"), ("ty", "d"), ("tz", "d"), ("camera_id", "I"))
KEYPOINT = Layout(("x", "d"), ("y", "d"), ("point3D_id", "Q"))
POINT3D = Layout(("point3D_id", "Q"), ("x", "d"), ("y", "d"), ("z", "d"),
                 ("r", "B"), ("g", "B"), ("b", "B"), ("error", "d"))
TRACK_ENTRY = Layout(("image_id", "I"), ("point2D_idx", "I"))

# The point3D_id of a keypoint that observes no 3D point.
NO_POINT3D = 0xFFFFFFFFFFFFFFFF

# model number -> parameter count, and name
PARAM_COUNTS = {0: 3, 1: 4, 2: 4, 3: 5, 4: 8, 5: 8, 6: 12, 7: 5, 8: 4, 9: 5, 10: 12}
MODEL_NAMES = {
    0: "Simple Pinhole", 1: "Pinhole", 2: "Simple Radial", 3: "Radial",
    4: "OpenCV", 5: "OpenCV Fisheye", 6: "Full OpenCV", 7: "FOV",
    8: "Simple Radial Fisheye", 9: "Radial Fisheye", 10: "Thin Prism Fisheye",
}
