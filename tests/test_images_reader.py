"""read_images_bin: layout, names, 2D points, truncation and hostile counts."""
import gc
import math
import struct

import pytest

import tilu
from colmap_writer import NO_POINT3D, Img, image_record, images_bin
from helpers import (U32_MAX, U64_MAX, bits, check_file_and_truncations, img_view, oor, panics,
                     read, ref_images, rotmat, unterminated, views)

A = Img(1, (1.0, 0.0, 0.0, 0.0), (0.5, -1.0, 2.0), 2, "a.jpg",
        [(1.0, 2.0, 5), (3.0, 4.0, NO_POINT3D), (5.0, 6.0, 7)])
IMGS = [  # all-ones identifiers must come back unsigned
    A,
    Img(U32_MAX, (0.5, 0.5, 0.5, 0.5), (1.0, 2.0, 3.0), U32_MAX, "", []),
    Img(0, (0.1, 0.2, 0.3, 0.4), (-1e-3, 1e3, 0.0), 0, "dir/é ü.png", [(0.5, 0.25, 0)]),
    Img(42, (2.0, 1.0, 0.0, 0.0), (7.0, 8.0, 9.0), 3, "x" * 30,
        [(-1.0, 1e10, U64_MAX - 1), (0.0, -0.0, NO_POINT3D), (2.5, 3.5, 12)]),
    Img(5, (0.0, 0.0, 0.0, 1.0), (0.0, 0.0, 0.0), 9, "z", []),
]


def expected(imgs):
    return {i.image_id: (i.image_id, i.camera_id, i.name_bytes.decode("utf-8", "replace"),
                         bits(sum(rotmat(*i.qvec), [])), bits(i.tvec),
                         [bits([x, y]) for x, y, _ in i.points2D], [p for _, _, p in i.points2D])
            for i in imgs}


def test_valid_file_and_every_truncation(tmp_path):
    check_file_and_truncations(tmp_path, tilu.read_images_bin, ref_images, img_view, tilu.Image,
                               images_bin(IMGS), expected(IMGS))


HEAD = struct.pack("<QI7dI", 1, 3, *[0.0] * 7, 4)  # count 1, a record up to its name (72 bytes)


@pytest.mark.parametrize("data, message", [
    (bytes(7), oor(8, 7)),
    (struct.pack("<Q", 1) + b"\1\2", oor(12, 10)),
    (HEAD[:-1], oor(72, 71)),
    (HEAD, unterminated(72)),               # name would start at the end of the file
    (HEAD + b"n" * 28, unterminated(100)),  # name runs to the end of a 100-byte file
    (HEAD + b"\0", oor(81, 73)),            # empty name, count of 2D points missing
    (HEAD + b"ab\0" + bytes(7), oor(83, 82)),
    (HEAD + b"ab\0" + struct.pack("<Q", 1) + bytes(8), oor(99, 91)),
    (HEAD + b"ab\0" + struct.pack("<Q", 1) + bytes(16), oor(107, 99)),
    (HEAD + b"ab\0" + struct.pack("<Q", 1) + bytes(23), oor(107, 106)),
    (HEAD + b"ab\0" + struct.pack("<Q", 2) + bytes(24), oor(115, 107)),
    (images_bin([A], count=2), oor(len(images_bin([A])) + 4, len(images_bin([A])))),
])
def test_short_files(tmp_path, data, message):
    with panics(message):
        read(tmp_path, "images", data)


ONE_N = struct.pack("<QI7dI", 1, 1, *[0.0] * 7, 1) + b"n\0" + struct.pack("<Q", U64_MAX)  # 2D points at 82


@pytest.mark.parametrize("data, end", [
    (struct.pack("<Q", U64_MAX), 12),
    (struct.pack("<Q", U64_MAX) + image_record(A), 8 + len(image_record(A)) + 4),
    (ONE_N, 90),
    (ONE_N + bytes(8), 98),
    (ONE_N + bytes(24 * 3), 82 + 24 * 3 + 8),
])
def test_huge_counts_fail_at_first_missing_field(tmp_path, data, end):
    with panics(oor(end, len(data))):
        read(tmp_path, "images", data)


@pytest.mark.parametrize("ids", [[], [NO_POINT3D] * 3, [0, U64_MAX - 1, NO_POINT3D, 1]])
def test_point3D_ids_and_points_keep_file_order(tmp_path, ids):
    pts = [(k + 0.5, -k - 0.25, pid) for k, pid in enumerate(ids)]
    img = read(tmp_path, "images", images_bin([Img(1, (1, 0, 0, 0), (0, 0, 0), 1, "", pts)]))[1]
    assert img.point3D_ids == ids
    assert img.points2D == [[x, y] for x, y, _ in pts]
    assert all(type(p) is list for p in img.points2D)


LONG = Img(1, (0.0, 1.0, 0.0, 0.0), (9.0, 9.0, 9.0), 8, "first-and-longer.jpg", [(1.0, 1.0, 1)] * 4)
SHORT = Img(1, (0.5, 0.5, 0.5, 0.5), (1.0, 2.0, 3.0), 2, "b", [])


@pytest.mark.parametrize("data, imgs", [
    (bytes(8), []),
    (bytes(8) + b"\xff" * 90, []),
    (struct.pack("<Q", 0) + image_record(A), []),
    (images_bin([LONG, IMGS[2], SHORT]), [IMGS[2], SHORT]),  # the later duplicate wins
    (images_bin(IMGS) + b"\0", IMGS),
    (images_bin(IMGS) + b"\xff" * 200, IMGS),
    (images_bin(IMGS) + image_record(LONG), IMGS),
])
def test_records_read(tmp_path, data, imgs):
    assert views(read(tmp_path, "images", data), img_view) == expected(imgs)


def test_reals_are_taken_bit_for_bit(tmp_path):
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000042))[0]
    vals = [nan, -0.0, math.inf, 5e-324]
    img = read(tmp_path, "images", images_bin([Img(1, (1, 0, 0, 0), tuple(vals[:3]), 1, "f",
                                         [(vals[0], vals[1], 1), (vals[2], vals[3], 2)])]))[1]
    assert bits(img.trans) == bits(vals[:3])
    assert [bits(p) for p in img.points2D] == [bits(vals[:2]), bits(vals[2:])]


# --- keypoints kept in the file's pages, which go back as images go ---------------

def keypoints(i, n):
    return [(i + k * 0.5, -k - i * 0.25, k if k % 3 else NO_POINT3D) for k in range(n)]


def keypoint_values(img):
    return img.points2D, img.point3D_ids, img.get_tracked_point3D_ids()


# Keypoint counts around one page of keypoint bytes (4096 / 24 = 170.7): an
# image's keypoints share pages with one neighbour, several, or none.
LAYOUTS = {
    "mixed": [0, 1, 3, 170, 171, 2000, 1, 0, 5000, 2, 700, 0],
    "small": [1, 2, 3] * 60,
    "pages": [700] * 24,
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("keep", [lambda i: i % 2 == 0, lambda i: i % 3 == 1, lambda i: i == 0,
                                  lambda i: i in (5, 6)], ids=["even", "every-third", "first", "pair"])
def test_held_images_outlive_the_rest(tmp_path, layout, keep):
    counts = LAYOUTS[layout]
    data = images_bin([Img(i + 1, (1, 0, 0, 0), (i, 0, 0), 1, f"{i}.jpg", keypoints(i, n))
                       for i, n in enumerate(counts)])
    want = {i: keypoint_values(img) for i, img in read(tmp_path, "images", data).items()}
    images = read(tmp_path, "images", data)
    held = [images[i + 1] for i in range(len(counts)) if keep(i)]
    del images
    gc.collect()
    while held:  # dropped one by one from the middle, the others stay intact
        assert [keypoint_values(img) for img in held] == [want[img.image_id] for img in held]
        del held[len(held) // 2]


def test_image_dropped_while_reading_leaves_the_next_intact(tmp_path):
    # The first image 1 goes when the second is read. Its keypoints are large
    # enough to be handed back at once, and their last page holds the start
    # of image 2, still to be read.
    imgs = [Img(1, (1, 0, 0, 0), (0, 0, 0), 1, "a", keypoints(1, 200_000)),
            Img(1, (1, 0, 0, 0), (0, 0, 0), 1, "b", []),
            Img(2, (0.5, 0.5, 0.5, 0.5), (1, 2, 3), 4, "c", keypoints(2, 5)),
            Img(3, (1, 0, 0, 0), (0, 0, 0), 1, "d", keypoints(3, 300))]
    assert views(read(tmp_path, "images", images_bin(imgs)), img_view) == expected(imgs[1:])
