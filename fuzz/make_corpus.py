"""Writes the fuzzers' seed corpus: small model files from tests/colmap_writer.py
and the first records of the real models in shared/data/colmap, each cut to at
most 4 KiB so that libFuzzer keeps its default input length.

    python fuzz/make_corpus.py OUT_DIR   ->  OUT_DIR/{cameras,images,points3D,covisibility}/
"""
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from colmap_writer import PARAM_COUNTS, Cam, Img, Pt, cameras_bin, images_bin, points3D_bin  # noqa: E402

REAL = ROOT.parent / "shared" / "data" / "colmap"
LIMIT = 4096
NAN, INF = float("nan"), float("inf")


def record_ends(data: bytes, kind: str):
    """End offset of each complete record of a real file."""
    pos = 8
    for _ in range(struct.unpack_from("<Q", data)[0]):
        if kind == "cameras":
            pos += 24 + 8 * PARAM_COUNTS[struct.unpack_from("<i", data, pos + 4)[0]]
        elif kind == "images":
            name_end = data.index(b"\0", pos + 64)
            pos = name_end + 9 + 24 * struct.unpack_from("<Q", data, name_end + 1)[0]
        else:
            pos += 51 + 8 * struct.unpack_from("<Q", data, pos + 43)[0]
        yield pos


def first_records(data: bytes, kind: str) -> bytes:
    ends = [e for e in record_ends(data, kind) if e <= LIMIT]
    if ends:
        return struct.pack("<Q", len(ends)) + data[8:ends[-1]]
    # One image holds more keypoints than fit: keep the first ones only.
    name_end = data.index(b"\0", 8 + 64)
    n = (LIMIT - name_end - 9) // 24
    return struct.pack("<Q", 1) + data[8:name_end + 1] + struct.pack("<Q", n) + data[name_end + 9:name_end + 9 + 24 * n]


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
