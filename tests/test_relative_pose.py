"""Image.relative_pose_from / relative_pose_to."""
import math
import random

import pytest

import tilu
from helpers import exact
from colmap_writer import Img, Pt, images_bin, points3D_bin

IDENTITY = ([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], [0.0, 0.0, 0.0])


def images(tmp_path, poses):
    """Image objects, in order, for a list of (stored quaternion w,x,y,z; translation)."""
    p = tmp_path / "images.bin"
    p.write_bytes(images_bin([Img(i, tuple(map(float, q)), tuple(map(float, t)), 1, f"{i}.jpg")
                              for i, (q, t) in enumerate(poses)]))
    got = tilu.read_images_bin(str(p))
    return [got[i] for i in range(len(poses))]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def rel_pose(A, B):
    """Transcription of the module's evaluation order; A, B = (w, x, y, z), (tx, ty, tz)."""
    (sA, xA, yA, zA), tA = A
    (sB, xB, yB, zB), tB = B
    ps = ((sA * sB + xA * xB) + yA * yB) + zA * zB
    px = ((xA * sB - sA * xB) - yA * zB) + zA * yB
    py = ((yA * sB - sA * yB) - zA * xB) + xA * zB
    pz = ((zA * sB - sA * zB) - xA * yB) + yA * xB
    n = ps * ps + ((px * px + py * py) + pz * pz)
    root = math.sqrt(n)
    k = 1 / root if root else math.inf
    s, x, y, z = ps * k, px * k, py * k, pz * k
    x2, y2, z2 = x + x, y + y, z + z
    xx2, xy2, xz2, yy2, yz2, zz2 = x2 * x, x2 * y, x2 * z, y2 * y, y2 * z, z2 * z
    sx2, sy2, sz2 = x2 * s, y2 * s, z2 * s
    R = [[(1 - yy2) - zz2, xy2 - sz2, xz2 + sy2],
         [xy2 + sz2, (1 - xx2) - zz2, yz2 - sx2],
         [xz2 - sy2, yz2 + sx2, (1 - xx2) - yy2]]
    v = (x, y, z)
    c = cross(v, tB)
    w = tuple(c[i] + tB[i] * s for i in range(3))
    e = cross(v, w)
    r = [e[i] * 2 + tB[i] for i in range(3)]
    return R, [tA[i] - r[i] for i in range(3)]


def unit_rot(q):
    """Rotation matrix of q normalised to unit length (the plain mathematical form)."""
    n = math.sqrt(sum(c * c for c in q))
    w, x, y, z = (c / n for c in q)
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]


def random_pose(rng, scale=1.0):
    q = [rng.gauss(0, 1) for _ in range(4)]
    return tuple(c * scale for c in q), tuple(rng.uniform(-10, 10) for _ in range(3))


def test_example_exact(tmp_path):
    a, b = images(tmp_path, [((1, 0, 0, 0), (1, 2, 3)), ((0, 0, 0, 1), (4, 5, 6))])
    got = a.relative_pose_from(b)
    assert type(got) is tuple and len(got) == 2
    assert exact(got) == exact(([[-1.0, 0.0, 0.0], [0.0, -1.0, -0.0], [-0.0, 0.0, 1.0]],
                                [5.0, 7.0, -3.0]))
    assert exact(a.relative_pose_to(b)) == exact(([[-1.0, 0.0, 0.0], [0.0, -1.0, 0.0],
                                                   [0.0, 0.0, 1.0]], [5.0, 7.0, 3.0]))
    assert exact(a.relative_pose_from(other=b)) == exact(got)
    assert exact(rel_pose(((1.0, 0.0, 0.0, 0.0), (1.0, 2.0, 3.0)),
                          ((0.0, 0.0, 0.0, 1.0), (4.0, 5.0, 6.0)))) == exact(got)


@pytest.mark.parametrize("scale", [1.0, -1.0, 1e-40, 3e40, -7.25])
def test_self_pose_is_exact_identity(tmp_path, scale):
    rng = random.Random(int(abs(math.log10(abs(scale)))) + (scale < 0))
    poses = [random_pose(rng, scale) for _ in range(50)]
    poses += [((scale, 0, 0, 0), (1, 2, 3)), ((0, 0, scale, 0), (-1e300, 0, 5e-324))]
    for img in images(tmp_path, poses):
        assert exact(img.relative_pose_from(img)) == exact(IDENTITY)
        assert exact(img.relative_pose_to(img)) == exact(IDENTITY)


def test_bit_for_bit_and_symmetry(tmp_path):
    rng = random.Random(11)
    poses = [random_pose(rng, 10.0 ** rng.randint(-20, 20)) for _ in range(120)]
    poses += [((0, 0, 0, 1), (4, 5, 6)), ((1, 0, 0, 0), (1, 2, 3)), ((-0.0, 0, -0.0, 1), (0, -0.0, 0)),
              ((0.5, -0.5, 0.5, -0.5), (1e300, -1e300, 1))]
    imgs = images(tmp_path, poses)
    pairs = [(i, j) for i in range(len(imgs)) for j in range(len(imgs)) if (i * 31 + j) % 17 == 0]
    bad = []
    for i, j in pairs:
        got = imgs[i].relative_pose_from(imgs[j])
        want = rel_pose(poses[i], poses[j])
        if exact(got) != exact(want):
            bad.append((i, j, got, want))
        assert exact(imgs[j].relative_pose_to(imgs[i])) == exact(got)
    assert bad == [], bad[:2]


def _close(a, b, tol):
    return all(abs(x - y) <= tol * (1 + abs(y)) for x, y in zip(a, b))


@pytest.mark.parametrize("seed", range(4))
def test_matches_rotation_composition(tmp_path, seed):
    rng = random.Random(100 + seed)
    poses = [random_pose(rng) for _ in range(40)]
    imgs = images(tmp_path, poses)
    for i in range(0, 40, 2):
        (qA, tA), (qB, tB) = poses[i], poses[i + 1]
        RA, RB = unit_rot(qA), unit_rot(qB)
        R = [[sum(RA[r][k] * RB[c][k] for k in range(3)) for c in range(3)] for r in range(3)]
        t = [tA[r] - sum(R[r][k] * tB[k] for k in range(3)) for r in range(3)]
        gotR, gott = imgs[i].relative_pose_from(imgs[i + 1])
        assert _close([v for row in gotR for v in row], [v for row in R for v in row], 1e-12)
        assert _close(gott, t, 1e-12)
        assert all(type(row) is list and len(row) == 3 for row in gotR) and len(gott) == 3


@pytest.mark.parametrize("fa,fb", [(2.0, 1.0), (-1.0, 1.0), (1.0, -3.5), (1e-8, 1e8), (-0.25, -4.0)])
def test_scaling_invariance(tmp_path, fa, fb):
    rng = random.Random(7)
    base = [random_pose(rng) for _ in range(2)]
    scaled = [(tuple(c * f for c in q), t) for (q, t), f in zip(base, (fa, fb))]
    a, b, a2, b2 = images(tmp_path, base + scaled)
    for x, y in ((a.relative_pose_from(b), a2.relative_pose_from(b2)),
                 (a.relative_pose_to(b), a2.relative_pose_to(b2))):
        flat = lambda p: [v for row in p[0] for v in row] + p[1]  # noqa: E731
        assert _close(flat(y), flat(x), 1e-13)


@pytest.mark.parametrize("zero_in", ["receiver", "other", "both"])
def test_zero_length_rotation_gives_nans(tmp_path, zero_in):
    z, u = ((0, 0, 0, 0), (1, 2, 3)), ((0.5, 0.5, 0.5, 0.5), (4, 5, 6))
    a, b = images(tmp_path, {"receiver": [z, u], "other": [u, z], "both": [z, z]}[zero_in])
    for R, t in (a.relative_pose_from(b), a.relative_pose_to(b)):
        values = [v for row in R for v in row] + t
        assert len(values) == 12 and all(math.isnan(v) for v in values)


@pytest.mark.parametrize("method", ["relative_pose_from", "relative_pose_to"])
@pytest.mark.parametrize("kind", ["int", "None", "str", "Point3D", "Image type"])
def test_other_must_be_image(tmp_path, method, kind):
    (a,) = images(tmp_path, [((1, 0, 0, 0), (0, 0, 0))])
    pp = tmp_path / "points3D.bin"
    pp.write_bytes(points3D_bin([Pt(1, (0.0, 0.0, 0.0), (0, 0, 0), 0.0)]))
    value, qual = {"int": (5, "int"), "None": (None, "NoneType"), "str": ("x", "str"),
                   "Point3D": (tilu.read_points3D_bin(str(pp))[1], "Point3D"),
                   "Image type": (tilu.Image, "type")}[kind]
    for call in (lambda: getattr(a, method)(value), lambda: getattr(a, method)(other=value)):
        with pytest.raises(TypeError) as ei:
            call()
        assert type(ei.value) is TypeError
        assert str(ei.value) == f"argument 'other': '{qual}' object cannot be converted to 'Image'"
