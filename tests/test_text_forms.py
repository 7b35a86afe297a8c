"""Real, vector and quaternion text forms, seen through str() of Point3D and Image."""
import math
import random
import re
import struct
from decimal import Decimal

import pytest

import tilu
from colmap_writer import Img, Pt, images_bin, points3D_bin
from helpers import U32_MAX, U64_MAX


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def real_text(v):
    """Reference layout: shortest round-trip digits (from repr) laid out with
    the decimal form in [1e-4, 1e16) and the exponential form elsewhere."""
    if math.isnan(v):
        return "NaN"
    sign = "-" if math.copysign(1.0, v) < 0 else ""
    a = abs(v)
    if math.isinf(a):
        return sign + "inf"
    if a == 0:
        return sign + "0.0"
    _, dig, exp = Decimal(repr(a)).as_tuple()
    dig = list(dig)
    while dig[-1] == 0:
        dig.pop()
        exp += 1
    d = "".join(map(str, dig))
    n, e = len(d), exp + len(d)  # a == 0.d1..dn * 10**e
    if a >= 1e16 or a < 1e-4:
        return sign + d[0] + ("." + d[1:] if n > 1 else "") + "e" + str(e - 1)
    if e <= 0:
        return sign + "0." + "0" * -e + d
    if e < n:
        return sign + d[:e] + "." + d[e:]
    return sign + d + "0" * (e - n) + ".0"


def vec_text(v):
    return "Vector3 [" + ", ".join(real_text(c) for c in v) + "]"


def point_text(pid, xyz, track_len):
    return f"<Point3D with ID: {pid}, XYZ: {vec_text(xyz)}, and track length {track_len}>"


def image_text(image_id, camera_id, name, q, t):
    w, x, y, z = q
    quat = f"Quaternion {{ v: {vec_text((x, y, z))}, s: {real_text(w)} }}"
    return (f"<Image camera ID: {camera_id}, image ID: {image_id}, name: {name},  "
            f"rot: {quat}, trans: {vec_text(t)}>")


EXAMPLES = [
    (1.0, "1.0"), (0.1, "0.1"), (-2.5, "-2.5"), (100.0, "100.0"),
    (1 / 3, "0.3333333333333333"), (1e15, "1000000000000000.0"),
    (1e16 - 2, "9999999999999998.0"), (1e16, "1e16"), (2.0 ** 64, "1.8446744073709552e19"),
    (0.0001, "0.0001"), (math.nextafter(0.0001, 0), "9.999999999999999e-5"),
    (0.0000123, "1.23e-5"), (0.00001, "1e-5"), (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"), (0.0, "0.0"), (-0.0, "-0.0"),
    (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
    (float(10 ** 100), "1e100"), (1e-7, "1e-7"), (-1e16, "-1e16"), (-5e-324, "-5e-324"),
    (f64(0xFFF8000000000000), "NaN"), (f64(0x7FF0000000000001), "NaN"),
    (f64(0xFFFFFFFFFFFFFFFF), "NaN"), (f64(0x7FF00000DEADBEEF), "NaN"),
    (123456789.125, "123456789.125"), (0.00015, "0.00015"), (2.0 ** 53, "9007199254740992.0"),
    (1.5e300, "1.5e300"), (-2.2250738585072014e-308, "-2.2250738585072014e-308"),
]


@pytest.fixture(scope="module")
def example_points(tmp_path_factory):
    p = tmp_path_factory.mktemp("ex") / "points3D.bin"
    p.write_bytes(points3D_bin([Pt(i, (v, -v if not math.isnan(v) else v, 1.0), (0, 0, 0), 0.0)
                                for i, (v, _) in enumerate(EXAMPLES)]))
    return tilu.read_points3D_bin(str(p))


@pytest.mark.parametrize("index", range(len(EXAMPLES)), ids=[t for _, t in EXAMPLES])
def test_table_examples(example_points, index):
    v, text = EXAMPLES[index]
    assert real_text(v) == text  # the reference agrees with the table
    neg = "NaN" if text == "NaN" else (text[1:] if text.startswith("-") else "-" + text)
    assert str(example_points[index]) == (
        f"<Point3D with ID: {index}, XYZ: Vector3 [{text}, {neg}, 1.0], and track length 0>")


def _random_doubles(rng, count):
    out = []
    bounds = [1e16, 1e-4, 1e15, 1e-5, 1.0, 2.0 ** 53, 5e-324, 2.2250738585072014e-308,
              1.7976931348623157e308]
    for b in bounds:  # exact bound neighbours
        x = y = b
        for _ in range(4):
            out += [x, y, -x]
            x, y = math.nextafter(x, math.inf), math.nextafter(y, 0)
    out += [float(10 ** k) for k in range(0, 309)] + [10.0 ** -k for k in range(1, 324)]
    while len(out) < count:
        kind = rng.randrange(6)
        if kind == 0:  # any bit pattern
            out.append(f64(rng.getrandbits(64)))
        elif kind == 5 and rng.random() < 0.2:  # NaNs with payloads, infinities, both signs
            out.append(f64(rng.getrandbits(64) | (0x7FF << 52) if rng.random() < 0.9
                           else rng.choice((0x7FF, 0xFFF)) << 52))
        elif kind == 1:  # random magnitude over the whole exponent range
            out.append(math.ldexp(rng.random(), rng.randint(-1074, 1024)) * rng.choice((1, -1)))
        elif kind == 2:  # subnormals
            out.append(f64(rng.getrandbits(52) | (rng.getrandbits(1) << 63)))
        elif kind == 3:  # short decimals near the layout switches
            out.append(float(f"{rng.randint(1, 99999)}e{rng.randint(-12, 20)}"))
        elif kind == 4:  # integers of up to 17 digits
            out.append(float(rng.randrange(10 ** rng.randint(1, 17))))
        else:
            out.append(rng.uniform(-1e3, 1e3))
    return out[:count]


def _same(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


def test_random_reals_through_point_text(tmp_path):
    rng = random.Random(20240607)
    values = _random_doubles(rng, 10_200)
    pts = [Pt(i * 7919, tuple(values[3 * i:3 * i + 3]), (0, 0, 0), 0.0, [(1, 2)] * (i % 3))
           for i in range(len(values) // 3)]
    pts[1].point3D_id, pts[2].track = U64_MAX, [(4, 12)] * 1000
    p = tmp_path / "points3D.bin"
    p.write_bytes(points3D_bin(pts))
    got = tilu.read_points3D_bin(str(p))
    assert len(got) == len(pts)
    bad, pattern = [], re.compile(r"XYZ: Vector3 \[([^,]*), ([^,]*), ([^\]]*)\]")
    for pt in pts:
        text = str(got[pt.point3D_id])
        if text != point_text(pt.point3D_id, pt.xyz, len(pt.track)):
            bad.append((pt.xyz, text))
            continue
        parsed = [float(s) for s in pattern.search(text).groups()]
        if not all(_same(a, b) for a, b in zip(parsed, pt.xyz)):
            bad.append((pt.xyz, text))
    assert bad == [], f"{len(bad)} mismatches, first: {bad[:5]}"


def test_random_reals_through_image_text(tmp_path):
    rng = random.Random(77)
    values = _random_doubles(rng, 7 * 500)
    names = ["", 'a, "b" <c> \\n', "dir/ü 😀.jpg"]
    imgs = [Img(i * 8589937 % 2 ** 32, tuple(values[7 * i:7 * i + 4]),
                tuple(values[7 * i + 4:7 * i + 7]), rng.choice((0, U32_MAX, rng.getrandbits(32))),
                names[i % 3] + str(i)) for i in range(500)]
    imgs[1].image_id = U32_MAX
    p = tmp_path / "images.bin"
    p.write_bytes(images_bin(imgs))
    got = tilu.read_images_bin(str(p))
    bad = [(im.qvec, im.tvec, str(got[im.image_id])) for im in imgs
           if str(got[im.image_id]) != image_text(im.image_id, im.camera_id, im.name,
                                                  im.qvec, im.tvec)]
    assert bad == [], f"{len(bad)} mismatches, first: {bad[:3]}"


@pytest.mark.parametrize("q,t,text", [
    ((1.0, 0.0, 0.0, 0.0), (0.5, -1.0, 2.0),
     "Quaternion { v: Vector3 [0.0, 0.0, 0.0], s: 1.0 }, trans: Vector3 [0.5, -1.0, 2.0]>"),
    ((4.0, 1.0, 2.0, 3.0), (1.5, -2.0, 0.25),
     "Quaternion { v: Vector3 [1.0, 2.0, 3.0], s: 4.0 }, trans: Vector3 [1.5, -2.0, 0.25]>"),
    ((math.nan, -0.0, 1e16, 1e15), (1e-4, 1e-5, -math.inf),
     "Quaternion { v: Vector3 [-0.0, 1e16, 1000000000000000.0], s: NaN }, "
     "trans: Vector3 [0.0001, 1e-5, -inf]>"),
])
def test_quaternion_and_vector_layout(tmp_path, q, t, text):
    p = tmp_path / "images.bin"
    p.write_bytes(images_bin([Img(1, q, t, 2, "a.jpg")]))
    assert str(tilu.read_images_bin(str(p))[1]) == (
        "<Image camera ID: 2, image ID: 1, name: a.jpg,  rot: " + text)
