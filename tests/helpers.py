"""Helpers shared by the tests, and a reference decoder of the three model files.

The decoder walks the layouts of colmap_layout field by field with struct, as
the readers must test the fields, and returns the values or raises `Expected`
carrying the message the native reader has to fail with.
"""
from __future__ import annotations

import functools
import os
import struct
import subprocess
import sys
import tempfile
from contextlib import contextmanager
from pathlib import Path

import pytest

from colmap_layout import CAMERA, COUNT, IMAGE, KEYPOINT, MODEL_NAMES, PARAM, PARAM_COUNTS, POINT3D, TRACK_ENTRY

U32_MAX, U64_MAX = 2**32 - 1, 2**64 - 1
TESTS = Path(__file__).resolve().parent
SHARED_COLMAP = TESTS.parents[1] / "shared" / "data" / "colmap"
requires_shared = pytest.mark.skipif(
    not SHARED_COLMAP.is_dir(), reason=f"real COLMAP models not found at {SHARED_COLMAP}"
)


def write(tmp_path, name: str, data: bytes) -> str:
    p = Path(tmp_path) / name
    p.parent.mkdir(parents=True, exist_ok=True)
    p.write_bytes(data)
    return str(p)


def read(tmp_path, kind: str, data: bytes) -> dict:
    """tilu's reader of `kind` ("cameras", "images" or "points3D") on `data`,
    written to <kind>.bin in tmp_path."""
    import tilu

    return getattr(tilu, f"read_{kind}_bin")(write(tmp_path, f"{kind}.bin", data))


def start_python(*args, cwd=None, stdout=subprocess.PIPE, env=None) -> subprocess.Popen:
    """Starts `python ARGS...` in a child interpreter that imports the tilu under
    test (even one found through a relative PYTHONPATH) and these helpers, with
    the variables of `env` set besides; stderr, and stdout unless redirected,
    piped as text."""
    import tilu

    path = os.pathsep.join(filter(None, [str(Path(tilu.__file__).parent), str(TESTS),
                                         os.environ.get("PYTHONPATH")]))
    return subprocess.Popen([sys.executable, *map(str, args)], cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                            text=True, env={**os.environ, **(env or {}), "PYTHONPATH": path})


def wait_python(proc: subprocess.Popen, timeout: float = 300) -> subprocess.CompletedProcess:
    """The output of a child of start_python once it has ended; one still running
    after `timeout` seconds is killed, then TimeoutExpired is raised."""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)


def run_python(*args, cwd=None, stdout=subprocess.PIPE, env=None,
               timeout: float = 300) -> subprocess.CompletedProcess:
    """start_python(ARGS...) run to its end (wait_python)."""
    return wait_python(start_python(*args, cwd=cwd, stdout=stdout, env=env), timeout)


@functools.cache
def panic_type() -> type:
    """PanicException is not a module attribute: provoke one."""
    import tilu

    with tempfile.TemporaryDirectory() as d:
        path = write(d, "short.bin", b"abc")
        try:
            tilu.read_cameras_bin(path)
        except BaseException as e:  # noqa: BLE001 - that is the point
            return type(e)
    raise AssertionError("a 3-byte cameras.bin did not fail")


@contextmanager
def panics(message: str):
    """The block raises PanicException with exactly `message`."""
    with pytest.raises(panic_type()) as info:
        yield info
    assert info.value.args == (message,), info.value.args


def oor(end: int, n: int) -> str:
    return f"range end index {end} out of range for slice of length {n}"


def unterminated(n: int) -> str:
    """The failure of an image name without a zero byte before the end of an n-byte file."""
    return f"index out of bounds: the len is {n} but the index is {n}"


def exact(x):
    """Nested structure with floats replaced by their bits (keeps -0.0 and NaN apart)."""
    if isinstance(x, float):
        return ("f", struct.pack("<d", x))
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [exact(v) for v in x])
    return x


def bits(values) -> list[bytes]:  # NaN payloads and -0.0 compare exactly
    return [struct.pack("<d", v) for v in values]


# ---------------------------------------------------------------- reference decoder


class Expected(Exception):
    pass


class _Cursor:
    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def fields(self, layout):
        """The values of one `layout`, each read (and checked) only when asked for."""
        for code in layout.codes:
            end = self.pos + struct.calcsize("<" + code)
            if end > len(self.data):
                raise Expected(oor(end, len(self.data)))
            (value,) = struct.unpack_from("<" + code, self.data, self.pos)
            self.pos = end
            yield value

    def read(self, layout) -> list:
        return list(self.fields(layout))

    def count(self) -> int:
        return self.read(COUNT)[0]


def ref_cameras(data: bytes) -> dict:
    c, out = _Cursor(data), {}
    for _ in range(c.count()):
        head = c.fields(CAMERA)
        cid, model = next(head), next(head)
        if not -1 <= model <= 10:
            raise Expected("Invalid enum value")
        width, height = head
        if model == -1:
            raise Expected("Cannot get params for invalid camera")
        params = [c.read(PARAM)[0] for _ in range(PARAM_COUNTS[model])]
        out[cid] = (cid, MODEL_NAMES[model], width, height, bits(params))
    return out


def ref_images(data: bytes) -> dict:
    c, out = _Cursor(data), {}
    for _ in range(c.count()):
        iid, qw, qx, qy, qz, tx, ty, tz, cam = c.read(IMAGE)
        zero = data.find(b"\0", c.pos)
        if zero < 0:
            raise Expected(unterminated(len(data)))
        name = data[c.pos:zero].decode("utf-8", "replace")
        c.pos = zero + 1
        xy, ids = [], []
        for _ in range(c.count()):
            x, y, pid = c.read(KEYPOINT)
            xy.append(bits([x, y]))
            ids.append(pid)
        out[iid] = (iid, cam, name, bits(sum(rotmat(qw, qx, qy, qz), [])), bits([tx, ty, tz]), xy, ids)
    return out


def ref_points(data: bytes) -> dict:
    c, out = _Cursor(data), {}
    for _ in range(c.count()):
        pid, x, y, z, r, g, b, error = c.read(POINT3D)
        track = [tuple(c.read(TRACK_ENTRY)) for _ in range(c.count())]
        out[pid] = (pid, bits([x, y, z]), (r, g, b), bits([error]), track)
    return out


def rotmat(w, x, y, z):
    """Rotation matrix of the quaternion (w; x, y, z), unnormalised, rows first."""
    x2, y2, z2 = x + x, y + y, z + z
    xx, yy, zz = x * x2, y * y2, z * z2
    xy, xz, yz = y * x2, z * x2, z * y2
    sx, sy, sz = w * x2, w * y2, w * z2
    return [
        [(1 - yy) - zz, xy - sz, sy + xz],
        [sz + xy, (1 - xx) - zz, yz - sx],
        [xz - sy, yz + sx, (1 - xx) - yy],
    ]


# Views of the module's objects in the shapes the reference decoder returns.
def cam_view(c):
    return (c.camera_id, c.model_id, c.width, c.height, bits(c.params))


def img_view(i):
    return (i.image_id, i.camera_id, i.name, bits(sum(i.rot, [])), bits(i.trans),
            [bits(p) for p in i.points2D], i.point3D_ids)


def pt_view(p):
    col = p.color
    return (p.id, bits(p.xyz), (col.r, col.g, col.b), bits([p.error]), p.track)


def views(d: dict, view) -> dict:
    return {k: view(v) for k, v in d.items()}


def sweep(reader, ref, data: bytes, path: str) -> list:
    """(cut, expected, got) for every cut of `data` where `reader` differs from `ref`."""
    bad = []
    for cut in range(len(data)):
        with pytest.raises(Expected) as want:
            ref(data[:cut])
        msg = str(want.value)
        Path(path).write_bytes(data[:cut])
        try:
            reader(path)
            got = "returned normally"
        except panic_type() as e:
            got = e.args
        if got != (msg,):
            bad.append((cut, msg, got))
    return bad


def check_file_and_truncations(tmp_path, reader, ref, view, cls, data: bytes, want: dict) -> dict:
    """A valid file reads to `want` as objects of `cls`, and every shorter cut of it
    fails exactly as the independent layout walk `ref` says. Returns the result."""
    assert ref(data) == want
    result = reader(write(tmp_path, "whole.bin", data))
    assert all(type(k) is int and type(v) is cls for k, v in result.items())
    assert views(result, view) == want
    assert sweep(reader, ref, data, write(tmp_path, "cut.bin", b"")) == []
    return result

