"""Camera, Image, Point3D and Color records as Python sees them."""
import math
import random
import struct

import pytest

from helpers import U64_MAX, exact, panics, read
from colmap_writer import (MODEL_NAMES, NO_POINT3D, PARAM_COUNTS, Cam, Img, Pt,
                           cameras_bin, images_bin, points3D_bin)

NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]  # sign and payload set


# ----------------------------------------------------------------------- Camera

@pytest.mark.parametrize("model,params,K", [
    (0, [500.0, 320.0, 240.0], [[500.0, 0.0, 320.0], [0.0, 500.0, 240.0], [0.0, 0.0, 1.0]]),
    (1, [500.0, 510.0, 320.0, 240.0], [[500.0, 0.0, 320.0], [0.0, 510.0, 240.0], [0.0, 0.0, 1.0]]),
    (1, [-0.0, math.inf, -1e-300, 5e-324], [[-0.0, 0.0, -1e-300], [0.0, math.inf, 5e-324],
                                             [0.0, 0.0, 1.0]]),
    (0, [-1.0, -0.0, -2.0], [[-1.0, 0.0, -0.0], [0.0, -1.0, -2.0], [0.0, 0.0, 1.0]]),
    (1, [NAN, 2.0, NAN, 4.0], [[NAN, 0.0, NAN], [0.0, 2.0, 4.0], [0.0, 0.0, 1.0]]),
])
def test_camera_K(tmp_path, model, params, K):
    cam = read(tmp_path, "cameras", cameras_bin([Cam(1, model, 640, 480, params)]))[1]
    got = cam.K()
    assert exact(got) == exact(K)
    got[0][0] = 99.0
    got[2].append(1)
    assert exact(cam.K()) == exact(K)
    assert cam.K() is not cam.K()


@pytest.mark.parametrize("model", range(2, 11))
def test_camera_K_not_implemented(tmp_path, model):
    params = [float(i + 1) for i in range(PARAM_COUNTS[model])]
    cam = read(tmp_path, "cameras", cameras_bin([Cam(5, model, 3, 4, params)]))[5]
    for _ in range(2):  # the camera stays usable after a failed K()
        with panics("Not implemented"):
            cam.K()
    assert cam.params == params and cam.model_id == MODEL_NAMES[model]


@pytest.mark.parametrize("model", range(0, 11))
def test_camera_attributes(tmp_path, model):
    params = [random.Random(model).uniform(-1e6, 1e6) for _ in range(PARAM_COUNTS[model])]
    cams = read(tmp_path, "cameras", cameras_bin([Cam(4294967295, model, U64_MAX, 0, params),
                                                  Cam(0, model, 1, 2, params)]))
    c = cams[4294967295]
    assert (c.camera_id, c.width, c.height) == (4294967295, U64_MAX, 0)
    assert type(c.model_id) is str and c.model_id == MODEL_NAMES[model]
    assert type(c.params) is list and c.params == params
    assert all(type(v) is float for v in c.params)
    lst = c.params
    lst.clear()
    assert c.params == params and c.params is not c.params
    text = f"<Camera ID: 4294967295, width: {U64_MAX}, height: 0, model: {MODEL_NAMES[model]}>"
    assert str(c) == repr(c) == text
    assert str(cams[0]) == f"<Camera ID: 0, width: 1, height: 2, model: {MODEL_NAMES[model]}>"


# ------------------------------------------------------------------------ Image

def rot_matrix(s, x, y, z):
    """The rotation matrix of a stored quaternion, in the module's evaluation order."""
    x2, y2, z2 = x + x, y + y, z + z
    xx, yy, zz = x * x2, y * y2, z * z2
    xy, xz, yz = y * x2, z * x2, z * y2
    sx, sy, sz = s * x2, s * y2, s * z2
    return [[(1 - yy) - zz, xy - sz, sy + xz],
            [sz + xy, (1 - xx) - zz, yz - sx],
            [xz - sy, yz + sx, (1 - xx) - yy]]


@pytest.mark.parametrize("q,R", [
    ((1, 0, 0, 0), [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
    ((0, 1, 0, 0), [[1.0, 0.0, 0.0], [0.0, -1.0, 0.0], [0.0, 0.0, -1.0]]),
    ((0.5, 0.5, 0.5, 0.5), [[0.0, 0.0, 1.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]),
    ((2, 1, 0, 0), [[1.0, 0.0, 0.0], [0.0, -1.0, -4.0], [0.0, 4.0, -1.0]]),
    ((0, 0, 0, 0), [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
    ((-1, 0, 0, 0), [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]),
    ((0, 0, 0, -1), [[-1.0, 0.0, 0.0], [0.0, -1.0, -0.0], [-0.0, 0.0, 1.0]]),
])
def test_rot_examples(tmp_path, q, R):
    img = read(tmp_path, "images", images_bin([Img(1, tuple(map(float, q)), (0.0, 0.0, 0.0), 1, "a")]))[1]
    assert exact(img.rot) == exact(R)
    assert exact(rot_matrix(*map(float, q))) == exact(R)  # the transcription agrees


def test_rot_bit_for_bit(tmp_path):
    rng = random.Random(5)
    qs = [tuple(rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30) for _ in range(4))
          for _ in range(400)]
    qs += [(math.nan, 0.0, 1.0, 0.0), (math.inf, 1.0, 0.0, 0.0), (1e200, 1e200, -1e200, 3.0),
           (-0.0, -0.0, -0.0, -0.0)]
    imgs = read(tmp_path, "images", images_bin([Img(i, q, (0.0, 0.0, 0.0), 1, "r") for i, q in enumerate(qs)]))
    bad = [(q, imgs[i].rot) for i, q in enumerate(qs)
           if exact(imgs[i].rot) != exact(rot_matrix(*q))]
    assert bad == [], bad[:3]


def test_image_attributes_and_fresh_copies(tmp_path):
    pts2 = [(1.0, 2.0, 5), (3.0, 4.0, NO_POINT3D), (5.0, 6.0, 7), (-0.0, math.inf, 0),
            (7.5, 8.5, NO_POINT3D - 1)]
    img = read(tmp_path, "images", images_bin([Img(4294967295, (1.0, 0.0, 0.0, 0.0), (0.5, -1.0, 2.0),
                                                   4294967294, "a.jpg", pts2)]))[4294967295]
    assert (img.image_id, img.camera_id, img.name) == (4294967295, 4294967294, "a.jpg")
    assert exact(img.trans) == exact([0.5, -1.0, 2.0])
    assert exact(img.points2D) == exact([[x, y] for x, y, _ in pts2])
    assert img.point3D_ids == [5, NO_POINT3D, 7, 0, NO_POINT3D - 1]
    for attr in ("rot", "trans", "points2D", "point3D_ids"):
        before = exact(getattr(img, attr))
        v = getattr(img, attr)
        assert v is not getattr(img, attr)
        if isinstance(v[0], list):
            v[0][0] = 42.0
        v[0] = 42
        v.append(0)
        assert exact(getattr(img, attr)) == before
    r = img.get_tracked_points2D()
    r[0][0] = 42.0
    assert img.get_tracked_points2D()[0] == [1.0, 2.0]


@pytest.mark.parametrize("ids", [[], [NO_POINT3D] * 3, [NO_POINT3D, 0, NO_POINT3D],
                                 [1, 2, 3], [NO_POINT3D - 1, NO_POINT3D]])
def test_tracked_selections(tmp_path, ids):
    pts2 = [(float(k), -float(k), pid) for k, pid in enumerate(ids)]
    img = read(tmp_path, "images", images_bin([Img(1, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 1, "n", pts2)]))[1]
    assert img.point3D_ids == ids
    keep = [k for k, pid in enumerate(ids) if pid != NO_POINT3D]
    assert img.get_tracked_point3D_ids() == [ids[k] for k in keep]
    assert exact(img.get_tracked_points2D()) == exact([[float(k), -float(k)] for k in keep])
    assert all(type(p) is list for p in img.points2D + img.get_tracked_points2D())


# ---------------------------------------------------------------- Point3D, Color

@pytest.mark.parametrize("pid,xyz,rgb,error,track", [
    (7, (1.0, -2.5, 0.1), (255, 0, 128), 0.5, [(1, 2), (3, 4), (5, 6)]),
    (U64_MAX, (-0.0, math.inf, 1e300), (0, 0, 0), math.nan, []),
    (0, (1.0, 2.0, 3.0), (10, 20, 30), -math.inf, [(4, 12), (4, 12)]),
    (2 ** 63, (5e-324, -1e-4, 1e16), (1, 254, 255), -0.0, [(4294967295, 4294967295), (0, 0)]),
])
def test_point_attributes(tmp_path, pid, xyz, rgb, error, track):
    p = read(tmp_path, "points3D", points3D_bin([Pt(pid, xyz, rgb, error, track)]))[pid]
    assert p.id == pid
    assert exact(p.xyz) == exact(list(xyz))
    assert exact(p.error) == exact(error)
    assert type(p.track) is list and p.track == track
    assert all(type(e) is tuple and len(e) == 2 for e in p.track)
    c = p.color
    assert (c.r, c.g, c.b) == rgb and all(type(v) is int for v in (c.r, c.g, c.b))
    assert str(c) == repr(c) == f"Color r: {rgb[0]}, b: {rgb[2]}, g: {rgb[1]}"
    for attr in ("xyz", "track"):
        v = getattr(p, attr)
        v.append(0)
        assert getattr(p, attr) is not v and len(getattr(p, attr)) == len(v) - 1
    assert str(p) == repr(p)
    assert str(p).startswith(f"<Point3D with ID: {pid}, XYZ: Vector3 [")
    assert str(p).endswith(f"], and track length {len(track)}>")


def test_color_objects(tmp_path):
    p = read(tmp_path, "points3D", points3D_bin([Pt(1, (0.0, 0.0, 0.0), (255, 0, 128), 0.0)]))[1]
    a, b = p.color, p.color
    assert a is not b and a != b and not (a == b)
    assert (a.r, a.g, a.b) == (b.r, b.g, b.b) == (255, 0, 128)
    assert str(a) == "Color r: 255, b: 128, g: 0"
    C = type(a)
    assert repr(C) == "<class 'builtins.Color'>" and f"{C.__module__}.{C.__qualname__}" == \
        "builtins.Color"
    with pytest.raises(TypeError, match="^No constructor defined$"):
        C()
    del p  # a Color lives on without its point
    assert str(a) == "Color r: 255, b: 128, g: 0"
