"""The readers on sparse models that COLMAP itself wrote (see shared/data/colmap/README.md)."""
import pytest

import tilu
from colmap_writer import NO_POINT3D
from helpers import (SHARED_COLMAP, bits, cam_view, img_view, pt_view, ref_cameras, ref_images,
                     ref_points, requires_shared, rotmat, views)

pytestmark = requires_shared
MODELS = {"sfm_10_images": (10, 10, 620, "Simple Radial"), "video_7_images": (1, 7, 495, "Pinhole")}


@pytest.fixture(scope="module", params=sorted(MODELS))
def real(request):
    d = SHARED_COLMAP / request.param
    return request.param, d, tilu.read_reconstruction_bin(str(d))


def test_all_readers_agree_with_the_reference_decoder(real):
    name, d, (cams, imgs, pts) = real
    assert (len(cams), len(imgs), len(pts)) == MODELS[name][:3]
    assert {c.model_id for c in cams.values()} == {MODELS[name][3]}
    for result, reader, ref, view, file in [
        (cams, tilu.read_cameras_bin, ref_cameras, cam_view, "cameras.bin"),
        (imgs, tilu.read_images_bin, ref_images, img_view, "images.bin"),
        (pts, tilu.read_points3D_bin, ref_points, pt_view, "points3D.bin"),
    ]:
        expected = ref((d / file).read_bytes())
        assert views(result, view) == expected
        assert views(reader(str(d / file)), view) == expected


def test_tracks_and_images_refer_to_each_other(real):
    _, _, (cams, imgs, pts) = real
    assert {i.camera_id for i in imgs.values()} <= set(cams)
    seen = set()
    for pid, p in pts.items():
        assert p.track
        for image_id, k in p.track:
            assert imgs[image_id].point3D_ids[k] == pid
            seen.add((image_id, k))
    observed = {(i, k) for i, img in imgs.items() for k, pid in enumerate(img.point3D_ids) if pid != NO_POINT3D}
    assert observed == seen
    assert all(pid in pts for img in imgs.values() for pid in img.get_tracked_point3D_ids())


def data_lines(path):
    return [line.rstrip("\n") for line in path.open(encoding="utf-8") if not line.startswith("#")]


@pytest.fixture(scope="module")
def video():
    d = SHARED_COLMAP / "video_7_images"
    return d, tilu.read_reconstruction_bin(str(d))


def test_video_cameras_match_text_export(video):
    d, (cams, _, _) = video
    (line,) = data_lines(d / "cameras.txt")
    cid, model, w, h, *params = line.split()
    assert model == "PINHOLE"
    assert cam_view(cams[int(cid)]) == (int(cid), "Pinhole", int(w), int(h), bits(map(float, params)))


def test_video_images_match_text_export(video):
    d, (_, imgs, _) = video
    lines = data_lines(d / "images.txt")
    assert len(lines) == 2 * len(imgs)
    for head, body in zip(lines[0::2], lines[1::2]):
        iid, qw, qx, qy, qz, tx, ty, tz, cid, name = head.split(" ", 9)
        img = imgs[int(iid)]
        assert (img.image_id, img.camera_id, img.name) == (int(iid), int(cid), name)
        assert bits(img.trans) == bits(map(float, (tx, ty, tz)))
        # the text quaternion of image 7 differs in the last digit from the binary one
        for got, want in zip(img.rot, rotmat(*map(float, (qw, qx, qy, qz)))):
            assert got == pytest.approx(want, rel=0, abs=1e-15)
        f = body.split()
        assert [bits(p) for p in img.points2D] == [bits(map(float, f[k:k + 2])) for k in range(0, len(f), 3)]
        assert img.point3D_ids == [int(v) % 2**64 for v in f[2::3]]


def test_video_points_match_text_export(video):
    d, (_, _, pts) = video
    lines = data_lines(d / "points3D.txt")
    assert len(lines) == len(pts)
    for line in lines:
        f = line.split()
        pid = int(f[0])
        track = [(int(a), int(b)) for a, b in zip(f[8::2], f[9::2])]
        assert pt_view(pts[pid]) == (pid, bits(map(float, f[1:4])), tuple(map(int, f[4:7])),
                                     bits([float(f[7])]), track)
