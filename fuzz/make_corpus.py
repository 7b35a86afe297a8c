"""Writes the fuzzers' seed corpus: small model files from tests/colmap_writer.py
and the first records of the real models in shared/data/colmap (found by the
layouts of tests/colmap_layout.py), each cut to at most 4 KiB so that libFuzzer
keeps its default input length.

    python fuzz/make_corpus.py OUT_DIR   ->  OUT_DIR/{cameras,images,points3D,covisibility}/
"""
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from colmap_layout import CAMERA, COUNT, IMAGE, KEYPOINT, PARAM, PARAM_COUNTS, POINT3D, TRACK_ENTRY  # noqa: E402
from colmap_writer import Cam, Img, Pt, cameras_bin, images_bin, points3D_bin  # noqa: E402

REAL = ROOT.parent / "shared" / "data" / "colmap"
LIMIT = 4096
NAN, INF = float("nan"), float("inf")


def count_at(data: bytes, pos: int) -> int:
    return COUNT.field(data, pos, "count")


def record_ends(data: bytes, kind: str):
    """End offset of each complete record of a real file."""
    pos = COUNT.size
    for _ in range(count_at(data, 0)):
        if kind == "cameras":
            pos += CAMERA.size + PARAM.size * PARAM_COUNTS[CAMERA.field(data, pos, "model_id")]
        elif kind == "images":
            keypoints = data.index(b"\0", pos + IMAGE.size) + 1
            pos = keypoints + COUNT.size + KEYPOINT.size * count_at(data, keypoints)
        else:
            pos += POINT3D.size + COUNT.size + TRACK_ENTRY.size * count_at(data, pos + POINT3D.size)
        yield pos


def first_records(data: bytes, kind: str) -> bytes:
    ends = [e for e in record_ends(data, kind) if e <= LIMIT]
    if ends:
        return COUNT.pack(len(ends)) + data[COUNT.size:ends[-1]]
    # One image holds more keypoints than fit: keep the first ones only.
    keypoints = data.index(b"\0", COUNT.size + IMAGE.size) + 1
    first = keypoints + COUNT.size
    n = (LIMIT - first) // KEYPOINT.size
    return COUNT.pack(1) + data[COUNT.size:keypoints] + COUNT.pack(n) + data[first:first + KEYPOINT.size * n]


def seeds():
    cams = [Cam(m + 1, m, 640, 480, [float(k) + 0.5 for k in range(n)]) for m, n in PARAM_COUNTS.items()]
    yield "cameras", cameras_bin(cams)
    yield "cameras", cameras_bin([Cam(7, 1, 2**64 - 1, 0, [NAN, INF, -0.0, 5e-324]), Cam(7, 0, 1, 1, [1e16, 1e-4, -1.5])])
    yield "cameras", cameras_bin([Cam(1, -1, 1, 1, [])])
    yield "cameras", cameras_bin([], count=2**64 - 1)

    imgs = [
        Img(1, (1, 0, 0, 0), (0.1, 0.2, 0.3), 1, "a.jpg", [(1.5, 2.5, 7), (3.0, 4.0, 2**64 - 1)]),
        Img(2, (0.5, 0.5, 0.5, 0.5), (NAN, INF, -0.0), 2, b"x\xffy\xe2\x82", []),
        Img(2**32 - 1, (0, 0, 0, 1), (1e300, -1e-300, 0), 0, "\u00e9\U0001f600", [(0, 0, 3)] * 3),
    ]
    yield "images", images_bin(imgs)
    yield "images", images_bin(imgs[:1], count=3)
    yield "images", images_bin(imgs[:1])[:-30]

    pts = [
        Pt(1, (1.0, 2.0, 3.0), (255, 0, 128), 0.5, [(1, 0), (2, 5), (1, 3)]),
        Pt(2**64 - 1, (NAN, -0.0, INF), (1, 2, 3), 1e-9, [(2, 1), (3, 0)]),
        Pt(3, (0, 0, 0), (0, 0, 0), 0.0, []),
    ]
    yield "points3D", points3D_bin(pts)
    yield "points3D", points3D_bin(pts[:1], count=2**63)
    yield "points3D", points3D_bin(pts)[:-4]

    for kind in ("cameras", "images", "points3D"):
        for model in sorted(REAL.glob(f"*/{kind}.bin")) if REAL.is_dir() else []:
            yield kind, first_records(model.read_bytes(), kind)

    def tracks(bits, pts, keys=b""):
        # keys: a length byte too long for the rest ends the points, then one key byte a point
        body = b"".join(bytes([len(t)]) + struct.pack(f"<{len(t)}I", *t) for t in pts)
        return bytes([bits - 1]) + body + (b"\x0f" + keys if keys else b"")
    yield "covisibility", tracks(4, [[1, 2], [2, 3], [1, 1, 3]])
    yield "covisibility", tracks(32, [[7, 7], [2**32 - 1, 0, 7]], b"\x01\x00")
    yield "covisibility", tracks(2, [[0, 1, 2, 3]] * 5)
    yield "covisibility", tracks(4, [[1, 2], [2, 3], [1, 3], [3]], b"\x02\x05\x02\x05")


def main(out: Path) -> None:
    counts = {}
    for kind, data in seeds():
        assert len(data) <= LIMIT, (kind, len(data))
        d = out / kind
        d.mkdir(parents=True, exist_ok=True)
        counts[kind] = counts.get(kind, 0) + 1
        (d / f"seed{counts[kind]:02d}").write_bytes(data)
    print("seeds:", ", ".join(f"{k} {n}" for k, n in counts.items()))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
