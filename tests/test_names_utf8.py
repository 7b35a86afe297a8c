"""Image names: UTF-8 decoded with U+FFFD for each maximal ill-formed subsequence,
exactly like bytes.decode("utf-8", "replace"), and shown unchanged in the text."""
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tilu
from colmap_writer import Img, images_bin

ILL_FORMED = [  # lone continuations, FF/FE, truncated 2/3/4-byte forms, surrogates, overlongs,
    # code points above U+10FFFF, 5-byte forms, leads cut short by another byte
    b"\x80", b"\x80\xbf\x80", b"\xff", b"\xfe", b"\xc3", b"\xe2", b"\xe2\x82", b"\xf0",
    b"\xf0\x9f", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xed\xa0\xbd\xed\xb8\x80",
    b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf", b"\xf0\x80\x80\x80",
    b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xf8\x88\x80\x80\x80",
    b"\xe2A", b"\xe2\x82\xe2\x82\xac", b"\xf0\x9f\x98\xf0\x9f\x98\x80",
    b"\xc3\xa9\xff\xe2\x82\xac\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf",
]
WELL_FORMED = [  # punctuation, 2/3/4-byte forms, U+FFFD itself, U+FFFE, U+D7FF, U+E000,
    # U+10000, U+10FFFF, BOM, a C1 control
    b'a, "b" <c> \\n\t', b"\xc3\xa9", b"\xe2\x82\xac", b"\xef\xbf\xbd", b"\xef\xbf\xbe",
    b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf",
    b"\xf0\x9f\x98\x80", b"\xef\xbb\xbf", b"\xc2\x85",
]
POSITIONS = {"alone": (b"", b""), "start": (b"", b"ab"), "middle": (b"ab", b"cd"),
             "end": (b"ab", b"")}


def read_names(path, names):
    path.write_bytes(images_bin([Img(i, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 3, n)
                                 for i, n in enumerate(names)]))
    imgs = tilu.read_images_bin(str(path))
    return [imgs[i] for i in range(len(names))]


def check(img, raw):
    expected = raw.decode("utf-8", "replace")
    assert img.name == expected
    assert str(img).startswith(f"<Image camera ID: 3, image ID: {img.image_id}, name: {expected},  "
                               "rot: Quaternion { v: Vector3 [0.0, 0.0, 0.0], s: 1.0 }")


@pytest.mark.parametrize("pos", POSITIONS)
@pytest.mark.parametrize("seq", ILL_FORMED + WELL_FORMED, ids=repr)
def test_name_decoding(tmp_path, seq, pos):
    before, after = POSITIONS[pos]
    raw = before + seq + after
    (img,) = read_names(tmp_path / "images.bin", [raw])
    check(img, raw)
    assert img.name == img.name and type(img.name) is str


def test_replacement_counts(tmp_path):
    # one U+FFFD per maximal ill-formed subsequence, not per byte or per name
    cases = {b"\xe2\x82": 1, b"\xf0\x9f\x98": 1, b"\xed\xa0\x80": 3, b"\xc0\x80": 2,
             b"\xe0\x80\x80": 3, b"\xf0\x80\x80\x80": 4, b"\xf4\x90\x80\x80": 4,
             b"\xe2\x82\xe2\x82\xac": 1, b"a\xffb\xffc": 2}
    imgs = read_names(tmp_path / "images.bin", list(cases))
    for img, (raw, count) in zip(imgs, cases.items()):
        assert img.name.count("\ufffd") == count, raw
        check(img, raw)


def test_empty_and_long_names(tmp_path):
    names = [b"", b"x" * 5000, ("é" * 3000).encode() + b"\xe2", b"\xff" * 1000]
    for img, raw in zip(read_names(tmp_path / "images.bin", names), names):
        check(img, raw)


PIECES = st.one_of(
    st.binary(min_size=1, max_size=6),
    st.text(min_size=1, max_size=4).map(lambda s: s.encode("utf-8", "surrogatepass")),
    st.sampled_from(ILL_FORMED + WELL_FORMED),
)
NAMES = st.lists(PIECES, max_size=8).map(lambda ps: b"".join(ps).replace(b"\0", b""))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(names=st.lists(NAMES, min_size=1, max_size=12))
def test_random_names(tmp_path, names):
    for img, raw in zip(read_names(tmp_path / "images.bin", names), names):
        check(img, raw)
