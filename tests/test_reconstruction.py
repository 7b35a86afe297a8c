"""read_reconstruction_bin: the three files, path forms, order of reading, first failure."""
import os
from pathlib import Path

import pytest

import tilu
from colmap_writer import NO_POINT3D, Cam, Img, Pt, cameras_bin, images_bin, points3D_bin
from helpers import (cam_view, img_view, oor, panics, pt_view,
                     ref_cameras, ref_images, ref_points, views)

CAMERAS = cameras_bin([Cam(1, 1, 640, 480, [500.0, 510.0, 320.0, 240.0]), Cam(2, 2, 10, 20, [1.0, 2.0, 3.0, 4.0])])
IMAGES = images_bin([Img(1, (1.0, 0.0, 0.0, 0.0), (0.5, -1.0, 2.0), 1, "a.jpg", [(1.0, 2.0, 5), (3.0, 4.0, NO_POINT3D)]),
                     Img(2, (0.5, 0.5, 0.5, 0.5), (1.0, 2.0, 3.0), 3, "b.jpg", [(5.0, 6.0, 5)])])
POINTS = points3D_bin([Pt(5, (1.0, 2.0, 3.0), (4, 5, 6), 0.5, [(1, 0), (2, 0)]), Pt(6, (0.0, 0.0, 0.0), (1, 1, 1), 0.0, [])])
FILES = ("cameras.bin", "images.bin", "points3D.bin")
READERS = [tilu.read_cameras_bin, tilu.read_images_bin, tilu.read_points3D_bin]


def model(root: Path, cameras=CAMERAS, images=IMAGES, points=POINTS) -> Path:
    root.mkdir(parents=True, exist_ok=True)
    for name, data in zip(FILES, (cameras, images, points)):
        if isinstance(data, bytes):
            (root / name).write_bytes(data)
        elif data == "dir":
            (root / name).mkdir()
    return root


def check_model(result):
    assert type(result) is tuple and len(result) == 3
    assert views(result[0], cam_view) == ref_cameras(CAMERAS)
    assert views(result[1], img_view) == ref_images(IMAGES)
    assert views(result[2], pt_view) == ref_points(POINTS)


@pytest.mark.parametrize("form", ["plain", "trailing slash", "doubled slashes", "relative", "non-ascii"])
def test_reads_the_three_files(tmp_path, monkeypatch, form):
    # a path is used as given: "~" is not expanded, a relative one is resolved by the system
    sub = "modèle 日本" if form == "non-ascii" else "~"
    root = model(tmp_path / sub)
    path = {"trailing slash": f"{root}/", "doubled slashes": f"{tmp_path}//{sub}//",
            "relative": f"./{sub}/."}.get(form, str(root))
    monkeypatch.chdir(tmp_path)
    result = tilu.read_reconstruction_bin(path)
    check_model(result)
    single = [r(str(root / f)) for r, f in zip(READERS, FILES)]
    for got, alone, view in zip(result, single, (cam_view, img_view, pt_view)):
        assert views(got, view) == views(alone, view)


MISSING, DIRECTORY = None, "dir"


@pytest.mark.parametrize("cameras, images, points, raised, message", [
    (MISSING, b"\1", b"\1", FileNotFoundError, "No such file or directory (os error 2)"),
    (CAMERAS, MISSING, b"\1", FileNotFoundError, "No such file or directory (os error 2)"),
    (CAMERAS, IMAGES, MISSING, FileNotFoundError, "No such file or directory (os error 2)"),
    (DIRECTORY, b"\1", b"\1", OSError, "Is a directory (os error 21)"),
    (CAMERAS, DIRECTORY, b"\1", OSError, "Is a directory (os error 21)"),
    (b"abc", MISSING, MISSING, "panic", oor(8, 3)),
    (cameras_bin([Cam(1, 11, 1, 1, [])]), MISSING, MISSING, "panic", "Invalid enum value"),
    (CAMERAS, b"abcde", MISSING, "panic", oor(8, 5)),
    (CAMERAS, IMAGES, b"abc", "panic", oor(8, 3)),
    (CAMERAS, IMAGES, POINTS[:-1], "panic", oor(len(POINTS), len(POINTS) - 1)),
])
def test_files_are_read_in_order_and_first_failure_ends_the_call(tmp_path, cameras, images, points, raised, message):
    path = str(model(tmp_path / "m", cameras, images, points))
    if raised == "panic":
        with panics(message):
            tilu.read_reconstruction_bin(path)
        return
    with pytest.raises(raised) as info:
        tilu.read_reconstruction_bin(path)
    assert type(info.value) is raised and info.value.args == (message,)


@pytest.mark.skipif(any(os.path.exists("/" + f) for f in FILES), reason="a model file exists at /")
def test_empty_directory_path_means_the_root(tmp_path):
    with pytest.raises(FileNotFoundError):
        tilu.read_reconstruction_bin("")


