"""read_cameras_bin: layout, model numbers, truncation and hostile counts."""
import math
import struct

import pytest

import tilu
from colmap_writer import MODEL_NAMES, PARAM_COUNTS, Cam, camera_record, cameras_bin
from helpers import (U32_MAX, U64_MAX, bits, cam_view, check_file_and_truncations, oor, panics,
                     read, ref_cameras, views)

PINHOLE = Cam(1, 1, 640, 480, [500.0, 510.0, 320.0, 240.0])
CAMS = [  # all-ones identifiers and sizes must come back unsigned
    PINHOLE,
    Cam(0, 0, 0, 0, [1.5, -2.0, 3.25]),
    Cam(U32_MAX, 10, U64_MAX, 1, [k / 7 for k in range(12)]),
    Cam(7, 3, 1, 2, [0.1, 0.2, 0.3, 0.4, 0.5]),
    Cam(9, 8, 3, U64_MAX - 1, [-1e300, 1e-300, 2.5, 4.0]),
]


def expected(cams):
    return {c.camera_id: (c.camera_id, MODEL_NAMES[c.model], c.width, c.height, bits(c.params))
            for c in cams}


def test_valid_file_and_every_truncation(tmp_path):
    check_file_and_truncations(tmp_path, tilu.read_cameras_bin, ref_cameras, cam_view, tilu.Camera,
                               cameras_bin(CAMS), expected(CAMS))


@pytest.mark.parametrize("model", range(11))
def test_each_model_has_its_name_and_param_count(tmp_path, model):
    params = [1.0 + k / 4 for k in range(PARAM_COUNTS[model])]
    # a record behind it proves that the reader advanced by exactly 24 + 8P bytes
    cams = [Cam(3, model, 11, 22, params), Cam(4, 1, 5, 6, [9.0, 8.0, 7.0, 6.0])]
    result = read(tmp_path, "cameras", cameras_bin(cams))
    assert result[3].model_id == MODEL_NAMES[model]
    assert type(result[3].model_id) is str
    assert result[3].params == params and (result[3].width, result[3].height) == (11, 22)
    assert cam_view(result[4]) == (4, "Pinhole", 5, 6, bits([9.0, 8.0, 7.0, 6.0]))


@pytest.mark.parametrize("data, message", [
    (b"", oor(8, 0)),
    (b"abc", oor(8, 3)),
    (bytes(7), oor(8, 7)),
    (struct.pack("<QI", 1, 1), oor(16, 12)),
    (struct.pack("<QIi", 1, 1, 1), oor(24, 16)),
    (cameras_bin([PINHOLE])[:56], oor(64, 56)),
    (cameras_bin([PINHOLE])[:63], oor(64, 63)),
    (cameras_bin([PINHOLE], count=2), oor(68, 64)),
    (cameras_bin([PINHOLE], count=2) + b"\1\0\0", oor(68, 67)),
])
def test_short_files(tmp_path, data, message):
    with panics(message):
        read(tmp_path, "cameras", data)


@pytest.mark.parametrize("model", [-2, 11, 12, -(2**31), 2**31 - 1])
@pytest.mark.parametrize("tail", [b"", b"\0" * 8, b"\0" * 16, b"\0" * 200])
@pytest.mark.parametrize("before", [[], [PINHOLE]])
def test_invalid_model_number_fails_before_width(tmp_path, model, tail, before):
    data = cameras_bin(before, count=len(before) + 1) + struct.pack("<Ii", 5, model) + tail
    with panics("Invalid enum value"):
        read(tmp_path, "cameras", data)


@pytest.mark.parametrize("tail, message_at", [
    (b"", 16), (b"\1" * 7, 16), (b"\1" * 8, 24), (b"\1" * 15, 24),
    (b"\1" * 16, None), (b"\1" * 120, None),
])
@pytest.mark.parametrize("before", [[], [Cam(2, 0, 1, 1, [1.0, 2.0, 3.0])]])
def test_invalid_camera_model_minus_one(tmp_path, tail, message_at, before):
    o = len(cameras_bin(before))
    data = cameras_bin(before, count=len(before) + 1) + struct.pack("<Ii", 5, -1) + tail
    msg = "Cannot get params for invalid camera" if message_at is None else oor(o + message_at, len(data))
    with panics(msg):
        read(tmp_path, "cameras", data)


@pytest.mark.parametrize("body, end", [
    (b"", 12), (bytes(3), 12), (camera_record(PINHOLE), 68),
    # 30 zero bytes: camera 0 of model 0, whose first parameter would end at 64 + 24 + 8
    (camera_record(PINHOLE) + bytes(30), 96),
])
def test_huge_count_fails_at_first_missing_field(tmp_path, body, end):
    data = struct.pack("<Q", U64_MAX) + body
    with panics(oor(end, len(data))):
        read(tmp_path, "cameras", data)


SEVEN_A, SEVEN_B = Cam(7, 0, 10, 20, [1.0, 2.0, 3.0]), Cam(7, 4, 30, 40, [float(k) for k in range(8)])


@pytest.mark.parametrize("data, cams", [
    (bytes(8), []),
    (bytes(8) + b"\xff" * 40, []),                                   # count 0, bytes after it ignored
    (struct.pack("<Q", 0) + camera_record(PINHOLE), []),
    (cameras_bin([SEVEN_A, PINHOLE, SEVEN_B]), [PINHOLE, SEVEN_B]),  # the later duplicate wins
    (cameras_bin(CAMS) + b"\0", CAMS),
    (cameras_bin(CAMS) + b"\xff" * 100, CAMS),
    (cameras_bin(CAMS) + camera_record(SEVEN_A), CAMS),
])
def test_records_read(tmp_path, data, cams):
    assert views(read(tmp_path, "cameras", data), cam_view) == expected(cams)


def test_params_are_taken_bit_for_bit(tmp_path):
    payload_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
    params = [payload_nan, -0.0, math.inf, -math.inf, 5e-324, 2.2250738585072014e-308, -1.0, 1e308]
    cam = read(tmp_path, "cameras", cameras_bin([Cam(1, 4, 2, 2, params)]))[1]
    assert bits(cam.params) == bits(params)
