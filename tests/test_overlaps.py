"""Covisibility: compute_overlaps and compute_overlap_percentages.

Every result is compared with a plain-Python reference written from the
definitions: counts[a][a] is the number of points that see a, counts[a][b] the
number that see both; fractions[a][b] = counts[a][b] / counts[a][a] in single
precision, without the diagonal and without images that share no point.
"""
from __future__ import annotations

import ast
import contextlib
import ctypes
import io
import os
import shutil
import struct
import subprocess
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import platforms
import tilu
from colmap_writer import Img, Pt, images_bin, points3D_bin
from helpers import (SHARED_COLMAP, U32_MAX, U64_MAX, panics, ref_points, requires_shared, run_python,
                     write)

FUNCTIONS = [tilu.compute_overlaps, tilu.compute_overlap_percentages]
OVERLAP_LINES = "Computing overlaps...\nDone computing overlaps.\n"
PROGRESS = {
    tilu.compute_overlaps: OVERLAP_LINES,
    tilu.compute_overlap_percentages:
        OVERLAP_LINES + "Computing percentages...\nDone computing percentages.\n",
}


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def ref_counts(tracks) -> dict:
    counts: dict[int, dict[int, int]] = {}
    for track in tracks:
        seen = {image for image, _ in track}
        for a in seen:
            row = counts.setdefault(a, {})
            for b in seen:
                row[b] = row.get(b, 0) + 1
    return counts


def ref_fractions(counts) -> dict:
    # Both operands are rounded to binary32 first; the quotient of two binary32
    # numbers computed in binary64 and rounded once to binary32 is exactly the
    # binary32 division (binary64 has more than 2 * 24 + 2 bits).
    return {
        a: {b: f32(f32(c) / f32(row[a])) for b, c in row.items() if b != a}
        for a, row in counts.items()
        if len(row) > 1
    }


def expected(fn, tracks):
    counts = ref_counts(tracks)
    return counts if fn is tilu.compute_overlaps else ref_fractions(counts)


def assert_result(fn, result, want):
    """Equal to the reference, with int keys and int counts or float fractions,
    built in ascending order of image (which callers are not promised)."""
    value_type = int if fn is tilu.compute_overlaps else float
    assert type(result) is dict and result == want
    assert list(result) == sorted(result)
    for a, row in result.items():
        assert type(a) is int and type(row) is dict and list(row) == sorted(row)
        assert all(type(b) is int and type(v) is value_type for b, v in row.items())


def track(images):
    return [(image, k) for k, image in enumerate(images)]


def read_points(tracks, ids=None) -> list:
    """Point3D objects for the tracks, in the same order (ids default to positions)."""
    ids = list(range(len(tracks))) if ids is None else ids
    pts = [Pt(i, (0.0, 0.0, 0.0), (0, 0, 0), 0.0, list(t)) for i, t in zip(ids, tracks)]
    with tempfile.TemporaryDirectory() as d:
        by_id = tilu.read_points3D_bin(write(d, "points3D.bin", points3D_bin(pts)))
    return [by_id[i] for i in ids]


# --- results -----------------------------------------------------------------

image_ids = st.one_of(st.integers(0, 6), st.sampled_from([2**31, U32_MAX - 1, U32_MAX]))
tracks_strategy = st.lists(
    st.lists(st.tuples(image_ids, st.integers(0, U32_MAX)), max_size=8), max_size=10)


@settings(max_examples=60, deadline=None)
@given(tracks=tracks_strategy, data=st.data())
def test_matches_reference_on_random_tracks(tracks, data):
    points = read_points(tracks, ids=data.draw(st.lists(
        st.integers(0, U64_MAX), unique=True, min_size=len(tracks), max_size=len(tracks))))
    # Several keys may hold the same Point3D object; keys are unrelated to the ids.
    chosen = data.draw(st.lists(st.integers(0, len(tracks) - 1), max_size=14)) if tracks else []
    keys = data.draw(st.lists(
        st.integers(0, U64_MAX), unique=True, min_size=len(chosen), max_size=len(chosen)))
    arg = {key: points[i] for key, i in zip(keys, chosen)}
    used = [tracks[i] for i in chosen]
    for fn in FUNCTIONS:
        assert_result(fn, fn(arg), expected(fn, used))


THIRD, TWO_THIRDS = 0.3333333432674408, 0.6666666865348816  # binary32 1/3 and 2/3
EXAMPLES = {
    "no points": ([], {}, {}),
    "empty tracks": ([[], []], {}, {}),
    "repeated image": ([[5, 5]], {5: {5: 1}}, {}),
    "repeat beside another image": (
        [[1, 1, 2]], {1: {1: 1, 2: 1}, 2: {2: 1, 1: 1}}, {1: {2: 1.0}, 2: {1: 1.0}}),
    "chain": ([[1, 2], [2, 3]],
              {1: {1: 1, 2: 1}, 2: {2: 2, 1: 1, 3: 1}, 3: {3: 1, 2: 1}},
              {1: {2: 1.0}, 2: {1: 0.5, 3: 0.5}, 3: {2: 1.0}}),
    "thirds": ([[1, 2], [1], [1, 3]],
               {1: {1: 3, 2: 1, 3: 1}, 2: {2: 1, 1: 1}, 3: {3: 1, 1: 1}},
               {1: {2: THIRD, 3: THIRD}, 2: {1: 1.0}, 3: {1: 1.0}}),
    "two thirds": ([[1, 2], [2, 1], [1]],
                   {1: {1: 3, 2: 2}, 2: {2: 2, 1: 2}}, {1: {2: TWO_THIRDS}, 2: {1: 1.0}}),
    "single-image points": ([[4], [4, 4], [9]], {4: {4: 2}, 9: {9: 1}}, {}),
    "extreme image ids": ([[0, U32_MAX]], {0: {0: 1, U32_MAX: 1}, U32_MAX: {U32_MAX: 1, 0: 1}},
                          {0: {U32_MAX: 1.0}, U32_MAX: {0: 1.0}}),
}


@pytest.mark.parametrize("images, counts, fractions", list(EXAMPLES.values()), ids=list(EXAMPLES))
def test_worked_examples(images, counts, fractions, capfd):
    tracks = [track(t) for t in images]
    arg = dict(enumerate(read_points(tracks)))
    assert ref_counts(tracks) == counts and ref_fractions(counts) == fractions
    for fn, want in zip(FUNCTIONS, (counts, fractions)):
        capfd.readouterr()
        assert_result(fn, fn(arg), want)
        assert capfd.readouterr().out == PROGRESS[fn]


def test_same_object_under_several_keys_counts_each_time():
    (p,) = read_points([track([1, 2])], ids=[3])
    arg = {7: p, 8: p, U64_MAX: p}
    assert tilu.compute_overlaps(arg) == {1: {1: 3, 2: 3}, 2: {2: 3, 1: 3}}
    assert tilu.compute_overlap_percentages(arg) == {1: {2: 1.0}, 2: {1: 1.0}}


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook, hook = None, self.hook
            hook()
        return self.value


class PointDict(dict):
    """The entries are read from the dict itself, never through these."""
    def _refuse(self, *args):
        raise AssertionError("dict subclass method called")

    __iter__ = __getitem__ = keys = values = items = _refuse


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("later_is_index", [True, False])
def test_keys_equal_after_conversion_keep_the_later_entry(fn, later_is_index):
    first, second = read_points([track([1, 3]), track([2, 3])])
    keys = [5, Index(5)] if later_is_index else [Index(5), 5]
    arg = {keys[0]: first, keys[1]: second}
    assert len(arg) == 2
    assert fn(arg) == expected(fn, [track([2, 3])])


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("wrap", [
    pytest.param(lambda d: ((d,), {}), id="dict"),
    pytest.param(lambda d: ((PointDict(d),), {}), id="dict-subclass"),
    pytest.param(lambda d: ((), {"points3D": d}), id="keyword"),
    pytest.param(lambda d: (({Index(k) if k % 2 else k: v for k, v in d.items()},), {}),
                 id="index-keys"),
    pytest.param(lambda d: (({bool(k) if k < 2 else k: v for k, v in d.items()},), {}),
                 id="bool-keys"),
])
def test_accepted_argument_forms(fn, wrap):
    tracks = [track(t) for t in ([1, 2], [2, 3], [1, 2, 3], [3])]
    args, kwargs = wrap(dict(enumerate(read_points(tracks))))
    assert fn(*args, **kwargs) == expected(fn, tracks)


# --- argument errors ---------------------------------------------------------

def interpreter_overflow_text(value) -> str:
    """The interpreter's own text for a value that does not fit an unsigned 64-bit int."""
    as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    as_u64.argtypes, as_u64.restype = [ctypes.py_object], ctypes.c_ulonglong
    with pytest.raises(OverflowError) as info:
        as_u64(value)
    return str(info.value)


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    d = tmp_path_factory.mktemp("samples")
    (d / "images.bin").write_bytes(images_bin([Img(1, (1, 0, 0, 0), (0, 0, 0), 1, "a.jpg")]))
    (point,) = read_points([track([1, 2])])
    return point, tilu.read_images_bin(str(d / "images.bin"))[1]


def cannot_convert(type_name, target):
    return f"argument 'points3D': '{type_name}' object cannot be converted to '{target}'"


def not_an_integer(type_name):
    return f"argument 'points3D': '{type_name}' object cannot be interpreted as an integer"


BAD_ARGUMENTS = {  # the failing entry comes after a good one where that matters
    "list": (lambda p, i: [p], TypeError, cannot_convert("list", "PyDict")),
    "none": (lambda p, i: None, TypeError, cannot_convert("NoneType", "PyDict")),
    "str key": (lambda p, i: {0: p, "1": p}, TypeError, not_an_integer("str")),
    "float key": (lambda p, i: {1.0: p}, TypeError, not_an_integer("float")),
    "key -1": (lambda p, i: {0: p, -1: p}, OverflowError, interpreter_overflow_text(-1)),
    "key 2**64": (lambda p, i: {2**64: p}, OverflowError, interpreter_overflow_text(2**64)),
    "index -3": (lambda p, i: {Index(-3): p}, OverflowError, interpreter_overflow_text(-3)),
    "int value": (lambda p, i: {0: p, 1: 5}, TypeError, cannot_convert("int", "Point3D")),
    "Image value": (lambda p, i: {1: i}, TypeError, cannot_convert("Image", "Point3D")),
    "Color value": (lambda p, i: {1: p.color}, TypeError, cannot_convert("Color", "Point3D")),
}


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("make, error, message", list(BAD_ARGUMENTS.values()),
                         ids=list(BAD_ARGUMENTS))
def test_bad_argument_raises_and_prints_nothing(fn, make, error, message, samples, capfd):
    arg = make(*samples)
    capfd.readouterr()
    with pytest.raises(error) as info:
        fn(arg)
    assert type(info.value) is error and info.value.args == (message,)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "{}() missing 1 required positional argument: 'points3D'"),
    (({}, {}), {}, "{}() takes 1 positional arguments but 2 were given"),
    (({},), {"points3D": {}}, "{}() got multiple values for argument 'points3D'"),
    ((), {"points": {}}, "{}() got an unexpected keyword argument 'points'"),
], ids=["missing", "surplus", "twice", "unknown keyword"])
def test_argument_binding(fn, args, kwargs, message, capfd):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message.format(fn.__name__)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("mutate, message", [
    pytest.param(lambda d, p: d.__setitem__(100, p),
                 "dictionary changed size during iteration", id="add"),
    pytest.param(lambda d, p: d.pop(2), "dictionary changed size during iteration", id="remove"),
    # Same size, but the new key lands behind the cursor: one entry too many.
    pytest.param(lambda d, p: (d.pop(0), d.__setitem__(100, p)),
                 "dictionary keys changed during iteration", id="replace"),
])
def test_dict_changed_by_index_panics(fn, mutate, message, capfd):
    (p,) = read_points([track([1, 2])])
    arg = {0: p}
    arg[Index(1, hook=lambda: mutate(arg, p))] = p
    arg[2] = p  # spare room stays in the table, so adding does not rebuild it
    capfd.readouterr()
    with panics(message):
        fn(arg)
    assert capfd.readouterr().out == ""


# --- progress lines ----------------------------------------------------------

@pytest.mark.parametrize("fn", FUNCTIONS)
def test_progress_lines_go_to_fd_1_not_sys_stdout(fn, capfd):
    arg = dict(enumerate(read_points([track([1, 2])])))
    capfd.readouterr()
    with contextlib.redirect_stdout(io.StringIO()) as redirected:
        fn(arg)
    assert redirected.getvalue() == ""
    assert capfd.readouterr() == (PROGRESS[fn], "")


CHILD = """
import os, sys, tilu
points = tilu.read_points3D_bin(sys.argv[1])
if sys.argv[3] == "closed":
    os.close(1)
try:
    outcome = ("ok", getattr(tilu, sys.argv[2])(points))
except BaseException as e:
    outcome = (type(e).__name__, e.args)
with open(sys.argv[4], "w") as f:
    f.write(repr(outcome))
"""


# Preloaded into a child: write(2) takes no byte of anything bound for fd 1.
WRITE_TAKES_NOTHING = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <unistd.h>
ssize_t write(int fd, const void *buf, size_t n) {
    static ssize_t (*next)(int, const void *, size_t);
    if (!next) next = (ssize_t (*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
    return fd == 1 && n > 0 ? 0 : next(fd, buf, n);
}
"""


def preload_write_taking_nothing(tmp_path) -> dict:
    """The environment of a child whose writes to fd 1 take no byte."""
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        pytest.skip("no C compiler for the write(2) shim")
    (tmp_path / "shim.c").write_text(WRITE_TAKES_NOTHING)
    subprocess.run([cc, "-shared", "-fPIC", "-o", tmp_path / "shim.so", tmp_path / "shim.c", "-ldl"],
                   check=True)
    # After a sanitizer runtime, which must come first.
    return {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so")]))}


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("stdout, outcome", [
    pytest.param("/dev/full", ("PanicException",
                               ("failed printing to stdout: No space left on device (os error 28)",)),
                 marks=platforms.needs_dev_full),
    ("closed", None),
    pytest.param("takes nothing", ("PanicException", ("failed printing to stdout: failed to write whole buffer",)),
                 marks=platforms.needs_ld_preload),
])
def test_unwritable_stdout(fn, stdout, outcome, tmp_path):
    tracks = [track([1, 2, 3]), track([1, 3])]
    (tmp_path / "points3D.bin").write_bytes(points3D_bin(
        [Pt(i, (0.0, 0.0, 0.0), (0, 0, 0), 0.0, t) for i, t in enumerate(tracks)]))
    env = preload_write_taking_nothing(tmp_path) if stdout == "takes nothing" else {}
    with open("/dev/full" if stdout == "/dev/full" else os.devnull, "w") as out:
        child = run_python("-c", CHILD, tmp_path / "points3D.bin", fn.__name__, stdout,
                           tmp_path / "outcome", stdout=out, env=env, timeout=60)
    assert child.returncode == 0, child.stderr
    got = ast.literal_eval((tmp_path / "outcome").read_text())
    assert got == (outcome or ("ok", expected(fn, tracks)))


# --- real models -------------------------------------------------------------

@requires_shared
@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("model", ["sfm_10_images", "video_7_images"])
def test_real_models(fn, model):
    path = SHARED_COLMAP / model / "points3D.bin"
    result = fn(tilu.read_points3D_bin(str(path)))
    # Tracks decoded by the reference decoder of the reader tests, not by tilu.
    assert_result(fn, result, expected(fn, [v[-1] for v in ref_points(path.read_bytes()).values()]))
    assert len(result) > 1
