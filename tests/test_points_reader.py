"""read_points3D_bin: layout, tracks, truncation and hostile counts."""
import math
import random
import struct

import pytest

import tilu
from colmap_writer import Pt, point_record, points3D_bin
from helpers import (U32_MAX, U64_MAX, bits, check_file_and_truncations, oor, panics, pt_view, read,
                     ref_points, views)

P7 = Pt(7, (1.0, -2.5, 0.1), (10, 20, 30), 0.75, [(4, 12), (4, 12), (1, 0)])
PTS = [  # all-ones identifiers and colour bytes must come back unsigned
    P7,
    Pt(0, (0.0, 0.0, 0.0), (0, 0, 0), 0.0, []),
    Pt(U64_MAX, (1e300, -1e-300, 3.0), (255, 128, 255), 12.5, [(U32_MAX, U32_MAX)]),
    Pt(123456789012, (4.0, 5.0, 6.0), (1, 2, 3), -1.0, [(k, 2 * k) for k in range(6)]),
    Pt(8, (7.0, 8.0, 9.0), (9, 8, 7), 2.0, []),
]


def expected(pts):
    return {p.point3D_id: (p.point3D_id, bits(p.xyz), p.rgb, bits([p.error]), p.track) for p in pts}


def test_valid_file_and_every_truncation(tmp_path):
    result = check_file_and_truncations(tmp_path, tilu.read_points3D_bin, ref_points, pt_view,
                                        tilu.Point3D, points3D_bin(PTS), expected(PTS))
    assert all(type(t) is tuple for t in result[7].track)


ONE = struct.pack("<Q", 1)


@pytest.mark.parametrize("data, message", [
    (b"", oor(8, 0)),
    (bytes(7), oor(8, 7)),
    (ONE + bytes(12), oor(24, 20)),
    (ONE + bytes(32), oor(41, 40)),           # colour bytes are fields of their own
    (ONE + bytes(33), oor(42, 41)),
    (ONE + bytes(34), oor(43, 42)),
    (ONE + bytes(42), oor(51, 50)),           # error at offset 35 of the record
    (ONE + bytes(35) + struct.pack("<QQ", 0, 1) + bytes(4), oor(67, 63)),  # image id only
    (ONE + bytes(35) + struct.pack("<QQ", 0, 2) + bytes(8), oor(71, 67)),
    (points3D_bin([P7], count=2), oor(len(points3D_bin([P7])) + 8, len(points3D_bin([P7])))),
])
def test_short_files(tmp_path, data, message):
    with panics(message):
        read(tmp_path, "points3D", data)


TRACK_MAX = struct.pack("<Q", 1) + bytes(43) + struct.pack("<Q", U64_MAX)  # track entries from 59


@pytest.mark.parametrize("data, end", [
    (struct.pack("<Q", U64_MAX), 16),
    (struct.pack("<Q", U64_MAX) + point_record(P7), 8 + len(point_record(P7)) + 8),
    (TRACK_MAX, 63),
    (TRACK_MAX + bytes(8 * 5 + 4), 59 + 8 * 5 + 8),
])
def test_huge_counts_fail_at_first_missing_field(tmp_path, data, end):
    with panics(oor(end, len(data))):
        read(tmp_path, "points3D", data)


EMPTY = Pt(1, (1.0, 2.0, 3.0), (4, 5, 6), 0.5, [])
AFTER = Pt(2, (0.0, 0.0, 0.0), (7, 8, 9), 1.5, [(3, 4)])
FIRST7 = Pt(7, (9.0, 9.0, 9.0), (1, 1, 1), 9.0, [(1, 1)] * 10)


@pytest.mark.parametrize("data, pts", [
    (bytes(8), []),
    (bytes(8) + b"\xff" * 60, []),
    (struct.pack("<Q", 0) + point_record(P7), []),
    (points3D_bin([EMPTY, AFTER]), [EMPTY, AFTER]),          # an empty-track record is 51 bytes
    (points3D_bin([FIRST7, PTS[1], P7]), [PTS[1], P7]),      # the later duplicate wins
    (points3D_bin(PTS) + b"\0", PTS),
    (points3D_bin(PTS) + b"\xff" * 100, PTS),
    (points3D_bin(PTS) + point_record(FIRST7), PTS),
])
def test_records_read(tmp_path, data, pts):
    assert views(read(tmp_path, "points3D", data), pt_view) == expected(pts)


def test_reals_are_taken_bit_for_bit(tmp_path):
    nan = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000777))[0]
    p = read(tmp_path, "points3D", points3D_bin([Pt(1, (nan, -0.0, -math.inf), (0, 0, 0), 5e-324)]))[1]
    assert bits(p.xyz) == bits([nan, -0.0, -math.inf]) and bits([p.error]) == bits([5e-324])


@pytest.mark.parametrize("spread", [2**12, 2**30, 2**64])  # small, large and 64-bit identifiers
def test_records_in_any_order_with_repeated_ids(tmp_path, spread):
    # A file in no order, with some identifiers twice or more: the dict holds
    # every identifier once, with the record that came last in the file.
    rng = random.Random(spread)
    ids = [rng.randrange(spread) for _ in range(3000)] + [0, spread - 1]
    ids += rng.choices(ids, k=1000)
    rng.shuffle(ids)
    pts = [Pt(i, (float(k), 0.0, 0.0), (k % 256, 0, 0), 0.5, [(k, k)] * (k % 3)) for k, i in enumerate(ids)]
    got = read(tmp_path, "points3D", points3D_bin(pts))
    last = {p.point3D_id: p for p in pts}
    assert views(got, pt_view) == expected(last.values())
