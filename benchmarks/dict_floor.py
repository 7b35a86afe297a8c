"""The floor of a reader that returns a dict of objects: for each record of a
model file, one fresh object of the size of tilu's object for it, under a fresh
int key, in a dict.  No reader returning such a dict can do less.

    python benchmarks/dict_floor.py MODEL_DIR [--repeat N]

prints, for points3D.bin and images.bin, the floor with the records in the
file's order and in ascending order of identifier, each in a dict grown as it
fills and in one made presized (CPython's _PyDict_NewPresized, which presizes
to at most 2**17 slots, so a dict of more items still grows).  compare.py times
the same four variants as its "floor-*" rows, each in a fresh process.

The objects are bytes objects (zero-filled, as tilu's are written whole) of the
size of tilu's: Point3D.__basicsize__ plus 8 bytes per track entry, and
Image.__basicsize__ (an image's keypoints stay in the file's pages, its name in
a string of its own).  Keys come from an array('Q') and values from map(bytes,
...): the dict is filled by dict.update over zip(), a loop in C, so the floor
holds no interpreter work per record.  The identifiers and sizes are read
from the file once and kept in the temporary directory.
"""
from __future__ import annotations

import argparse
import array
import ctypes
import hashlib
import os
import struct
import sys
import tempfile
import time

KINDS = ("points3D", "images")
VARIANTS = ("file", "sorted", "file-presized", "sorted-presized")
BYTES_HEADER = sys.getsizeof(b"") - 1  # a bytes object of n bytes takes BYTES_HEADER + 1 + n


def _scan_points3D(data: bytes):
    (n,), pos, ids, lengths = struct.unpack_from("<Q", data), 8, array.array("Q"), array.array("Q")
    for _ in range(n):
        ids.append(struct.unpack_from("<Q", data, pos)[0])
        (track,) = struct.unpack_from("<Q", data, pos + 43)
        lengths.append(track)
        pos += 51 + 8 * track
    return ids, lengths


def _scan_images(data: bytes):
    (n,), pos, ids, zero = struct.unpack_from("<Q", data), 8, array.array("Q"), array.array("Q")
    for _ in range(n):
        ids.append(struct.unpack_from("<I", data, pos)[0])
        pos = data.index(b"\0", pos + 64) + 1
        (keypoints,) = struct.unpack_from("<Q", data, pos)
        pos += 8 + 24 * keypoints
        zero.append(0)
    return ids, zero


def records(model: str, kind: str):
    """(identifiers, per-record counts) of the file in its order: track lengths
    for points, zeros for images. Cached by the file's path, size and time."""
    path = os.path.join(model, f"{kind}.bin")
    st = os.stat(path)
    key = hashlib.sha1(f"{os.path.abspath(path)} {st.st_size} {st.st_mtime_ns}".encode()).hexdigest()[:16]
    cache = os.path.join(tempfile.gettempdir(), f"tilu-floor-{key}")
    if not os.path.exists(cache):
        with open(path, "rb") as f:
            ids, counts = (_scan_points3D if kind == "points3D" else _scan_images)(f.read())
        with open(cache + ".tmp", "wb") as f:
            f.write(struct.pack("<Q", len(ids)))
            ids.tofile(f)
            counts.tofile(f)
        os.replace(cache + ".tmp", cache)
    with open(cache, "rb") as f:
        (n,) = struct.unpack("<Q", f.read(8))
        ids, counts = array.array("Q"), array.array("Q")
        ids.fromfile(f, n)
        counts.fromfile(f, n)
    return ids, counts


def prepare(model: str, kind: str, variant: str):
    """What one floor run needs, made outside the clock: keys and bytes sizes in
    the order of insertion."""
    import tilu
    ids, counts = records(model, kind)
    cls, item = (tilu.Point3D, 8) if kind == "points3D" else (tilu.Image, 0)
    sizes = array.array("Q", (cls.__basicsize__ + item * c - BYTES_HEADER - 1 for c in counts))
    if variant.startswith("sorted"):
        order = sorted(range(len(ids)), key=ids.__getitem__)
        ids = array.array("Q", (ids[i] for i in order))
        sizes = array.array("Q", (sizes[i] for i in order))
    return ids, sizes, variant.endswith("presized")


_presized = ctypes.pythonapi._PyDict_NewPresized
_presized.restype, _presized.argtypes = ctypes.py_object, [ctypes.c_ssize_t]


def run(prepared) -> dict:
    ids, sizes, presized = prepared
    d = _presized(len(ids)) if presized else {}
    d.update(zip(ids, map(bytes, sizes)))
    return d


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args(argv)
    for kind in KINDS:
        for variant in VARIANTS:
            prepared = prepare(args.model, kind, variant)
            times = []
            for _ in range(args.repeat):
                t0 = time.perf_counter()
                d = run(prepared)
                times.append(time.perf_counter() - t0)
                del d
            n = len(prepared[0])
            best = min(times)
            print(f"{kind:9} {variant:16} {n:>10,} records  {best:.3f} s  {1e9 * best / n:.0f} ns/record")
    return 0


if __name__ == "__main__":
    sys.exit(main())
