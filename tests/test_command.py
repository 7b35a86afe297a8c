"""The installed `tilu` command and `python -m tilu_cli`: each subcommand on the
bundled sample and the real models, its exit statuses, and what reaches standard
output. The command runs as a user runs it, from the environment of the
interpreter running the tests."""
from __future__ import annotations

import errno
import importlib.metadata
import importlib.util
import json
import locale
import math
import os
import re
import signal
import stat
import statistics
import subprocess
import sys
import sysconfig
import time
from collections import Counter
from fractions import Fraction
from itertools import combinations
from pathlib import Path

import pytest

import platforms
import tilu
from colmap_writer import Cam, Img, Pt, cameras_bin, images_bin, points3D_bin
from helpers import SHARED_COLMAP, requires_shared
from test_examples import interrupt_blocked_read


def find_command() -> Path | None:
    name = "tilu.exe" if sys.platform == "win32" else "tilu"
    for folder in (sysconfig.get_path("scripts"), Path(sys.executable).parent):
        if (Path(folder) / name).is_file():
            return Path(folder) / name
    return None


COMMAND = find_command()
pytestmark = pytest.mark.skipif(importlib.util.find_spec("tilu_cli") is None,
                                reason="tilu_cli is not installed (tilu imported through PYTHONPATH?)")
# pip or uv installs the console script beside the interpreter; one that
# installs a wheel for another platform into a folder (--target) makes a script
# for its own system, so there the command is run as `python -m tilu_cli`.
VIAS = [pytest.param("command", marks=pytest.mark.skipif(
            COMMAND is None, reason=f"the console script tilu is not installed beside {sys.executable}")),
        "module"]

SAMPLE = Path(__file__).resolve().parents[1] / "sample" / "sparse"
needs_sample = pytest.mark.skipif(not SAMPLE.is_dir(), reason="sample model not found")
try:
    import matplotlib  # noqa: F401  (heatmap's optional dependency)
except ImportError:
    matplotlib = None
needs_matplotlib = pytest.mark.skipif(matplotlib is None, reason="matplotlib is not installed (extra 'plot')")
MODELS = [
    pytest.param(SAMPLE, marks=needs_sample, id="sample"),
    pytest.param(SHARED_COLMAP / "sfm_10_images", marks=requires_shared, id="sfm_10_images"),
    pytest.param(SHARED_COLMAP / "video_7_images", marks=requires_shared, id="video_7_images"),
]


def argv(via: str = "command") -> list[str]:
    return [str(COMMAND)] if via == "command" and COMMAND else [sys.executable, "-m", "tilu_cli"]


def run(*args, cwd, via="command", env=None, stdout=subprocess.PIPE, preexec_fn=None) -> subprocess.CompletedProcess:
    return subprocess.run([*argv(via), *map(str, args)], cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                          text=True, encoding="utf-8", env={**os.environ, **(env or {})}, timeout=300,
                          preexec_fn=preexec_fn)


def write_model(folder: Path, cams=(), imgs=(), pts=()) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "cameras.bin").write_bytes(cameras_bin(list(cams)))
    (folder / "images.bin").write_bytes(images_bin(list(imgs)))
    (folder / "points3D.bin").write_bytes(points3D_bin(list(pts)))
    return folder


def img(image_id, name, camera_id=1):
    return Img(image_id, (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0), camera_id, name)


def pt(point_id, image_ids, error=0.5):
    return Pt(point_id, (0.0, 0.0, 0.0), (0, 0, 0), error, [(i, k) for k, i in enumerate(image_ids)])


def small_model(folder: Path) -> Path:
    return write_model(folder, [Cam(1, 1, 9, 9, [1.0, 1.0, 4.0, 4.0])],
                       [img(i, f"{n}.jpg") for i, n in enumerate("abc", 1)],
                       [pt(1, [1, 2]), pt(2, [2, 3])])


# ------------------------------------------------------------------------- info

def exact_mean(errors: list[float]) -> float:
    """The mean rounded once from the exact sum; NaN with a NaN or both
    infinities, an infinity with one."""
    if not all(map(math.isfinite, errors)):
        return sum(e for e in errors if not math.isfinite(e))  # nan, inf or -inf
    return float(sum(map(Fraction, errors)) / len(errors)) if errors else 0.0


def as_json(value: float) -> float | None:
    return value if math.isfinite(value) else None


def expected_figures(model: Path) -> dict:
    """The figures of `tilu info` computed from the tracks of the model as tilu's
    readers return it, not from compute_overlaps."""
    cameras, images, points3D = tilu.read_reconstruction_bin(str(model))
    shared = Counter()
    for p in points3D.values():
        shared.update(combinations(sorted({i for i, _ in p.track if i in images}), 2))
    observations = sum(len(p.track) for p in points3D.values())
    errors = [p.error for p in points3D.values() if p.error != -1]
    return {
        "cameras": len(cameras),
        "images": len(images),
        "registered_images": len(images),
        "images_with_points": len({i for p in points3D.values() for i, _ in p.track} & images.keys()),
        "points3D": len(points3D),
        "observations": observations,
        "mean_track_length": observations / len(points3D) if points3D else 0,
        "mean_observations_per_image": observations / len(images) if images else 0,
        "mean_reprojection_error": as_json(exact_mean(errors)),
        "covisible_pairs": len(shared),
        "median_shared_points": statistics.median(shared.values()) if shared else 0,
        "max_shared_points": max(shared.values(), default=0),
        **{f"cameras_{name}": n for name, n in Counter(c.model_id for c in cameras.values()).items()},
    }


def strict_json(text: str) -> dict:
    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")
    return json.loads(text, parse_constant=refuse)


@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("model", MODELS)
def test_info_json_are_the_sums_over_the_model(model, via, tmp_path):
    proc = run("info", model, "--json", cwd=tmp_path, via=via)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("\n") == 1  # one object, nothing else (no progress lines)
    assert strict_json(proc.stdout) == expected_figures(model)
    assert "Computing overlaps..." in proc.stderr


@pytest.mark.parametrize("model", MODELS)
def test_info_text_shows_the_figures_of_the_json(model, tmp_path):
    want = expected_figures(model)
    proc = run("info", model, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    lines = dict(line.strip().split(":", 1) for line in proc.stdout.splitlines())
    shown = {label: value.strip() for label, value in lines.items()}
    assert shown["Images"] == str(want["images"])
    assert shown["3D points"] == str(want["points3D"])
    assert shown["Observations"] == str(want["observations"])
    assert shown["Covisible image pairs"] == str(want["covisible_pairs"])
    assert float(shown["Median shared points per pair"]) == want["median_shared_points"]
    assert shown["Mean track length"] == f"{want['mean_track_length']:.6f}"
    assert shown["Mean reprojection error"] == f"{want['mean_reprojection_error']:.6f} px"
    for key, n in want.items():
        if key.startswith("cameras_"):
            assert shown[key.removeprefix("cameras_")] == str(n)


ZEROS = dict(cameras=0, images=0, registered_images=0, images_with_points=0, points3D=0, observations=0,
             mean_track_length=0, mean_observations_per_image=0, mean_reprojection_error=0,
             covisible_pairs=0, median_shared_points=0, max_shared_points=0)
PINHOLE = Cam(1, 1, 9, 9, [1.0, 1.0, 4.0, 4.0])


@pytest.mark.parametrize("cams, imgs, pts, want", [
    pytest.param([], [], [], ZEROS, id="empty"),
    pytest.param([PINHOLE], [img(1, "a"), img(2, "b")], [],
                 {**ZEROS, "cameras": 1, "cameras_Pinhole": 1, "images": 2, "registered_images": 2},
                 id="no-points"),
    # Image 9 is in a track but not in images.bin: an observation, but in no pair.
    pytest.param([PINHOLE], [img(1, "a"), img(2, "b"), img(3, "c")],
                 [pt(1, [1, 2], -1.0), pt(2, [1, 2, 3], 0.5), pt(3, [2, 9], 1.5)],
                 dict(cameras=1, cameras_Pinhole=1, images=3, registered_images=3, images_with_points=3,
                      points3D=3, observations=7, mean_track_length=7 / 3, mean_observations_per_image=7 / 3,
                      mean_reprojection_error=1.0, covisible_pairs=3, median_shared_points=1,
                      max_shared_points=2),
                 id="unknown-errors-and-images"),
    pytest.param([PINHOLE], [img(1, "a")], [pt(1, [1], -1.0)],
                 {**ZEROS, "cameras": 1, "cameras_Pinhole": 1, "images": 1, "registered_images": 1,
                  "images_with_points": 1, "points3D": 1, "observations": 1, "mean_track_length": 1,
                  "mean_observations_per_image": 1},
                 id="no-error-computed"),
    pytest.param([PINHOLE], [img(1, "a"), img(2, "b")], [pt(1, [1, 2], math.nan), pt(2, [1, 2], 1.0)],
                 {**ZEROS, "cameras": 1, "cameras_Pinhole": 1, "images": 2, "registered_images": 2,
                  "images_with_points": 2, "points3D": 2, "observations": 4, "mean_track_length": 2,
                  "mean_observations_per_image": 2, "mean_reprojection_error": None, "covisible_pairs": 1,
                  "median_shared_points": 2, "max_shared_points": 2},
                 id="nan-error"),
])
def test_info_on_models_with_nothing_to_average(cams, imgs, pts, want, tmp_path):
    model = write_model(tmp_path / "model", cams, imgs, pts)
    proc = run("info", model, "--json", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert strict_json(proc.stdout) == want
    proc = run("info", model, cwd=tmp_path)
    assert proc.returncode == 0 and "Traceback" not in proc.stderr, proc.stderr


BIG, TINY = sys.float_info.max, 5e-324  # the largest float, the smallest subnormal


@pytest.mark.parametrize("errors", [
    [1.7e308, 1.7e308], [BIG, BIG, BIG], [-BIG, -BIG], [BIG, -BIG, 1.0], [BIG, BIG, -BIG],
    [TINY, TINY], [TINY, 0.0], [TINY, TINY, TINY, BIG, -BIG], [0.1] * 10, [BIG, -1.0, BIG],
    [math.inf, 1.0], [-math.inf, BIG, BIG], [math.inf, -math.inf], [math.nan, math.inf],
], ids=repr)
def test_info_mean_error_is_exact_and_cannot_overflow(errors, tmp_path):
    model = write_model(tmp_path / "model", [PINHOLE], [img(1, "a"), img(2, "b")],
                        [pt(i, [1, 2], e) for i, e in enumerate(errors, 1)])
    want = exact_mean([e for e in errors if e != -1])
    proc = run("info", model, "--json", cwd=tmp_path)
    assert proc.returncode == 0 and "Traceback" not in proc.stderr, proc.stderr
    assert strict_json(proc.stdout)["mean_reprojection_error"] == as_json(want)
    proc = run("info", model, cwd=tmp_path)
    assert proc.returncode == 0 and "Traceback" not in proc.stderr, proc.stderr
    assert f"Mean reprojection error:       {want:.6f} px\n" in proc.stdout


# ------------------------------------------------------------------------ pairs

def expected_pairs(model: Path, top_k: int, min_shared: int) -> list[str]:
    """Plain Python from compute_overlaps: every image in name order takes its
    top_k partners by count, then name; each unordered pair once."""
    _, images, points3D = tilu.read_reconstruction_bin(str(model))
    counts = tilu.compute_overlaps(points3D)

    def by_name(i):
        return images[i].name, i

    lines, seen = [], set()
    for a in sorted(images, key=by_name):
        row = counts.get(a, {})
        partners = sorted((b for b, n in row.items() if b != a and b in images and n >= min_shared),
                          key=lambda b: (-row[b], by_name(b)))
        for b in partners[:top_k]:
            if frozenset((a, b)) not in seen:
                seen.add(frozenset((a, b)))
                lines.append(f"{images[a].name} {images[b].name}")
    return lines


@pytest.mark.parametrize("top_k, min_shared", [(1, 1), (3, 1), (3, 20), (1000, 1), (1000, 40)])
@pytest.mark.parametrize("model", MODELS)
def test_pairs_equal_a_plain_computation(model, top_k, min_shared, tmp_path):
    proc = run("pairs", model, "--top-k", top_k, "--min-shared", min_shared, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected_pairs(model, top_k, min_shared)


def kth_largest(counts, a, k):
    """The count an image b must reach to be among a's k most covisible images."""
    others = sorted((n for b, n in counts[a].items() if b != a), reverse=True)
    return others[min(k, len(others)) - 1] if others else float("inf")


@needs_sample
@pytest.mark.parametrize("k", [1, 3, 50])
def test_pairs_are_the_top_k_covisible_each_once(k, tmp_path):
    _, images, points3D = tilu.read_reconstruction_bin(str(SAMPLE))
    counts = tilu.compute_overlaps(points3D)
    ids = {image.name: i for i, image in images.items()}
    proc = run("pairs", SAMPLE, "--top-k", k, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    pairs = [tuple(ids[name] for name in line.split(" ")) for line in proc.stdout.splitlines()]
    assert all(len(p) == 2 and p[0] != p[1] for p in pairs)
    assert len({frozenset(p) for p in pairs}) == len(pairs)
    partners = {a: set() for a in counts}
    for a, b in pairs:
        partners[a].add(b)
        partners[b].add(a)
        # Chosen by a or by b: within the k best of one of them.
        assert counts[a][b] >= min(kth_largest(counts, a, k), kth_largest(counts, b, k))
    for a, chosen in partners.items():
        threshold = kth_largest(counts, a, k)
        assert {b for b, n in counts[a].items() if b != a and n > threshold} <= chosen
        assert sum(counts[a].get(b, 0) >= threshold for b in chosen) >= min(k, len(counts[a]) - 1)
    if k >= len(ids):  # every covisible pair, nothing else
        assert len(pairs) == sum(len(row) - 1 for row in counts.values()) // 2


@pytest.mark.parametrize("ids", ["abcde", "edcba"])  # image ids in or against name order
def test_ties_are_broken_by_name_not_by_ids_or_file_order(ids, tmp_path):
    seen_by = ["ab", "ac", "bd", "bd", "ce", "ce"]  # a shares 1 point with b and 1 with c
    seen_by = seen_by if ids == "abcde" else seen_by[::-1]
    model = write_model(tmp_path / "model", [Cam(1, 0, 9, 9, [1.0, 4.0, 4.0])],
                        [img(ids.index(n) + 1, f"{n}.jpg") for n in "abcde"],
                        [pt(i, [ids.index(n) + 1 for n in s]) for i, s in enumerate(seen_by)])
    proc = run("pairs", model, "--top-k", 1, cwd=tmp_path)
    assert sorted(proc.stdout.splitlines()) == ["a.jpg b.jpg", "b.jpg d.jpg", "c.jpg e.jpg"]


@pytest.mark.parametrize("top_k", [1, 2])
def test_pairs_pass_over_images_that_are_not_in_the_model(top_k, tmp_path):
    # Image 9 is in tracks but not in images.bin, and shares the most points with a.
    model = write_model(tmp_path / "model", [PINHOLE], [img(i, f"{n}.jpg") for i, n in enumerate("abc", 1)],
                        [pt(i, ids) for i, ids in enumerate([[1, 9]] * 3 + [[1, 2]] * 2 + [[1, 3], [2, 3]])])
    proc = run("pairs", model, "--top-k", top_k, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected_pairs(model, top_k, 1)


@needs_sample
def test_pairs_go_to_standard_output_alone_or_to_a_file(tmp_path):
    runs = [run("pairs", SAMPLE, "--top-k", 2, cwd=tmp_path) for _ in range(3)]  # tilu promises no dict order
    assert all(p.returncode == 0 for p in runs) and runs[0].stdout
    assert all(p.stdout == runs[0].stdout for p in runs)
    assert "Computing overlaps..." in runs[0].stderr and "Computing" not in runs[0].stdout
    dash = run("pairs", SAMPLE, "--top-k", 2, "--output", "-", cwd=tmp_path)
    assert (dash.returncode, dash.stdout) == (0, runs[0].stdout)
    assert not list(tmp_path.iterdir())
    to_file = run("pairs", SAMPLE, "--top-k", 2, "--output", "p.txt", cwd=tmp_path)
    assert (to_file.returncode, to_file.stdout) == (0, "")
    assert (tmp_path / "p.txt").read_bytes() == runs[0].stdout.encode()
    n = runs[0].stdout.count("\n")
    assert to_file.stderr.splitlines()[-1] == f"wrote {n} pairs to p.txt"


# ---------------------------------------------------------------------- heatmap

@needs_matplotlib
@pytest.mark.parametrize("model", MODELS)
def test_heatmap_shows_the_counts(model, tmp_path):
    import numpy as np
    from matplotlib.image import imread
    proc = run("heatmap", model, "--output", "h.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""
    n = len(tilu.read_images_bin(str(model / "images.bin")))
    assert proc.stderr.splitlines()[-1] == f"wrote h.png ({n} x {n} images)"
    pixels = imread(tmp_path / "h.png")
    colours = np.unique(pixels.reshape(-1, pixels.shape[-1]), axis=0)
    assert pixels.shape[0] > 300 and len(colours) > 20


def test_heatmap_without_matplotlib_says_how_to_get_it(tmp_path):
    stub = tmp_path / "stub" / "matplotlib"
    stub.mkdir(parents=True)
    (stub / "__init__.py").write_text('raise ImportError("no matplotlib here")\n')
    path = os.pathsep.join(filter(None, [str(stub.parent), os.environ.get("PYTHONPATH")]))
    # Checked first: the model (missing here) is not read.
    proc = run("heatmap", tmp_path / "missing", "--output", "h.png", cwd=tmp_path, env={"PYTHONPATH": path})
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert len(proc.stderr.splitlines()) == 1 and 'pip install "tilu[plot]"' in proc.stderr


def test_block_means_are_the_means_of_their_images_counts():
    import tilu_cli

    order = [(f"{r:02}.jpg", 100 + r) for r in range(7)]  # ids 100..106 in name order
    counts = {100 + a: {100 + b: 10 * a + b for b in range(7) if (a + b) % 3} for a in range(7)}
    counts[100][999] = counts[999] = {100: 5}  # an image that is not in the model
    for block in (1, 2, 3, 7, 9):
        starts = range(0, 7, block)
        want = [[statistics.mean(counts[100 + a].get(100 + b, 0)
                                 for a in range(i, min(i + block, 7)) for b in range(j, min(j + block, 7)))
                 for j in starts] for i in starts]
        assert tilu_cli.block_means(order, counts, block) == want, block


def png_size(data: bytes) -> tuple[int, int]:
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


@needs_matplotlib
def test_heatmap_of_many_images_draws_blocks_of_them_and_says_so(tmp_path):
    import base64

    from tilu_cli import MAX_CELLS

    n = MAX_CELLS + 1  # two images a cell, the last cell one
    model = write_model(tmp_path / "model", [PINHOLE], [img(i, f"{i:05}.jpg") for i in range(1, n + 1)],
                        [pt(i, [i, i + 1]) for i in range(1, n)])
    config = tmp_path / "config"
    config.mkdir()
    (config / "matplotlibrc").write_text("svg.fonttype: none\n")  # text as text, not as paths
    proc = run("heatmap", model, "--output", "h.svg", cwd=tmp_path, env={"MPLCONFIGDIR": str(config)})
    assert proc.returncode == 0, proc.stderr
    svg = (tmp_path / "h.svg").read_text(encoding="utf-8")
    assert f"covisibility of {n} images, binned: 2 x 2 images per cell" in svg
    images = re.findall(r'"data:image/png;base64,([^"]+)"', svg)
    assert (n // 2 + 1, n // 2 + 1) in [png_size(base64.b64decode(i)) for i in images]  # and the colour bar


# --------------------------------------------------------- usage and failures

@pytest.mark.parametrize("args", [
    [], ["info"], ["pairs"], ["heatmap"], ["frob", "model"], ["info", "model", "--frob"],
    ["pairs", "model", "--top-k", "0"], ["pairs", "model", "--top-k", "-2"],
    ["pairs", "model", "--top-k", "many"], ["pairs", "model", "--min-shared", "0"],
    ["heatmap", "model"],
    pytest.param(["heatmap", "model", "--output", "h.unknown"], marks=needs_matplotlib),
], ids=" ".join)
def test_wrong_usage_ends_with_status_2(args, tmp_path):
    small_model(tmp_path / "model")
    proc = run(*args, cwd=tmp_path)  # a missing MODEL_DIR does not fall back to any model
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.startswith("usage: tilu") and "Traceback" not in proc.stderr
    assert re.match(r"tilu( info| pairs| heatmap)?: error: ", proc.stderr.splitlines()[-1])
    assert not (tmp_path / "h.unknown").exists()


def break_model(model: Path, failure: str) -> None:
    if failure == "missing":
        return
    small_model(model)
    if failure == "unreadable":
        (model / "cameras.bin").unlink()
        (model / "cameras.bin").mkdir()
    elif failure == "truncated":
        data = (model / "points3D.bin").read_bytes()
        (model / "points3D.bin").write_bytes(data[:len(data) - 5])


def cause(model: Path) -> str:
    """What tilu itself says about the model."""
    try:
        tilu.read_reconstruction_bin(str(model))
    except BaseException as e:  # noqa: BLE001 - PanicException too
        return f"cannot {'read' if isinstance(e, OSError) else 'use'} the model {model}: {e}"
    raise AssertionError(f"{model} reads")


SUBCOMMANDS = [["info"], ["info", "--json"], ["pairs"], ["pairs", "--output", "p.txt"],
               pytest.param(["heatmap", "--output", "h.png"], marks=needs_matplotlib)]


@pytest.mark.parametrize("command", SUBCOMMANDS, ids=" ".join)
@pytest.mark.parametrize("failure", ["missing", "unreadable", "truncated"])
def test_a_model_that_cannot_be_read_ends_with_one_line_and_status_1(command, failure, tmp_path):
    model = tmp_path / "model"
    break_model(model, failure)
    proc = run(command[0], model, *command[1:], cwd=tmp_path)
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout == ""
    assert proc.stderr.splitlines()[-1] == f"tilu {command[0]}: {cause(model)}"
    assert "Traceback" not in proc.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == (["model"] if failure != "missing" else [])


NAME_REFUSED = "cannot write the pairs: "


@pytest.mark.parametrize("names, output, message", [
    (["a b.jpg", "c.jpg", "d.jpg"], "-", "the name 'a b.jpg' of image 1 is empty or contains whitespace"),
    (["", "c.jpg", "d.jpg"], "p.txt", "the name '' of image 1 is empty or contains whitespace"),
    (["a.jpg", "c.jpg", "d.jpg\u2028"], "-", "the name 'd.jpg\\u2028' of image 3 is empty or contains whitespace"),
    ([b"a\xffb.jpg", "c.jpg", "d.jpg"], "-", "the name 'a\ufffdb.jpg' of image 1 is not valid UTF-8 "
                                           "(U+FFFD stands for its bytes)"),
    # Two names that differ in the file only in their invalid bytes.
    ([b"a\xffb.jpg", b"a\xfeb.jpg", "d.jpg"], "-", "the name 'a\ufffdb.jpg' of images 1 and 2 is not valid "
                                                 "UTF-8 (U+FFFD stands for its bytes)"),
    (["c.jpg", "c.jpg", "d.jpg"], "-", "images 1 and 2 have the same name 'c.jpg'"),  # a self-pair
    (["a.jpg", "c.jpg", "d.jpg", "c.jpg"], "p.txt", "images 2 and 4 have the same name 'c.jpg'"),  # 4 in no pair
    # Names that are in no pair do not matter.
    (["a.jpg", "c.jpg", "d.jpg", b"x \xff", "y", "y"], "-", None),
    (["a.jpg", "c.jpg", "d.jpg"], "no/such/dir/p.txt", "cannot write no/such/dir/p.txt: No such file or directory"),
], ids=repr)
def test_pairs_name_each_image_alone_or_end_with_status_1(names, output, message, tmp_path):
    model = write_model(tmp_path / "model", [PINHOLE], [img(i, n) for i, n in enumerate(names, 1)],
                        [pt(1, [1, 2]), pt(2, [2, 3])])
    proc = run("pairs", model, "--output", output, cwd=tmp_path)
    if message is None:
        assert (proc.returncode, proc.stdout) == (0, "a.jpg c.jpg\nc.jpg d.jpg\n"), proc.stderr
        return
    assert (proc.returncode, proc.stdout) == (1, "")
    full = f"tilu pairs: {message if message.startswith('cannot') else NAME_REFUSED + message}"
    if platforms.WINDOWS:  # standard error to a pipe: the ANSI code page, what it lacks backslash-escaped
        code_page = locale.getencoding()
        full = full.encode(code_page, "backslashreplace").decode(code_page)
    assert proc.stderr.splitlines()[-1] == full
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model"]


def spell_model_file(tmp_path: Path, spelling: str) -> str:
    """An --output that names the model's images.bin."""
    if spelling == "plain":
        return "model/images.bin"
    if spelling == "roundabout":
        return os.path.join(".", "model", "..", "model", ".", "images.bin")
    try:
        (os.symlink if spelling == "symlink" else os.link)(tmp_path / "model" / "images.bin", tmp_path / "out.png")
    except OSError as e:  # no such links here (Windows without the privilege, some file systems)
        pytest.skip(f"cannot make a {spelling}: {e}")
    if not (tmp_path / "out.png").exists():  # wine 8.0's symbolic links say they were made, and are not
        pytest.skip(f"the {spelling} made here leads nowhere")
    return "out.png"


@pytest.mark.parametrize("command, spelling", [
    *((["pairs"], s) for s in ["plain", "roundabout", "symlink", "hardlink"]),
    # (heatmap refuses a name without an image format's extension anyway)
    *(pytest.param(["heatmap"], s, marks=needs_matplotlib) for s in ["symlink", "hardlink"]),
], ids=str)
def test_output_may_not_be_a_file_of_the_model(command, spelling, tmp_path):
    model = small_model(tmp_path / "model")
    before = {p.name: p.read_bytes() for p in model.iterdir()}
    output = spell_model_file(tmp_path, spelling)
    proc = run(*command, model, "--output", output, cwd=tmp_path)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.splitlines()[-1] == (f"tilu {command[0]}: error: argument --output: {output!r} "
                                            "is the model's images.bin, which writing would destroy")
    assert {p.name: p.read_bytes() for p in model.iterdir()} == before


@platforms.needs_fifo
@platforms.needs_sigint
@pytest.mark.parametrize("command", SUBCOMMANDS, ids=" ".join)
def test_ctrl_c_ends_with_status_130(command, tmp_path):
    model = tmp_path / "model"
    model.mkdir()
    os.mkfifo(model / "cameras.bin")  # stays silent: the command waits in read(2)
    proc = subprocess.Popen([*argv(), command[0], str(model), *command[1:]], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    done = interrupt_blocked_read(proc, model / "cameras.bin")
    assert done.returncode == 130, done.stderr
    assert done.stdout == ""
    assert done.stderr.splitlines()[-1] == f"tilu {command[0]}: interrupted while working on the model {model}"


def with_model(command: list[str], model: Path) -> list:
    """The arguments of `command` (a subcommand and its options, or an option
    of tilu's own such as --help) run on `model`."""
    return [command[0], model, *command[1:]] if not command[0].startswith("-") else command


def prog(command: list[str]) -> str:
    return "tilu" if command[0].startswith("-") else f"tilu {command[0]}"


@platforms.needs_preexec
@pytest.mark.parametrize("command, model", [
    (["info", "--json"], "model"), (["info"], "model"), (["pairs"], "model"),
    (["pairs", "--output", "p.txt"], "model"), (["info"], "missing"),
], ids=str)
def test_with_standard_error_closed_standard_output_holds_the_results_alone(command, model, tmp_path):
    small_model(tmp_path / "model")
    args = with_model(command, tmp_path / model)
    want = run(*args, cwd=tmp_path)
    proc = run(*args, cwd=tmp_path, preexec_fn=lambda: os.close(2))
    assert (proc.returncode, proc.stdout, proc.stderr) == (want.returncode, want.stdout, "")


def fill_disk_or_limit(how: str, size: int):
    """(preexec_fn, cause): what makes the child's writes fail past `size`
    bytes, and the message of that failure."""
    if how == "size limit":
        def limit():
            platforms.resource.setrlimit(platforms.resource.RLIMIT_FSIZE, (size, size))
        return limit, os.strerror(errno.EFBIG)
    return None, os.strerror(errno.ENOSPC)


HOWS = [pytest.param("full disk", marks=platforms.needs_dev_full),
        pytest.param("size limit", marks=platforms.needs_rlimit_fsize)]


@pytest.mark.parametrize("how", HOWS)
@pytest.mark.parametrize("command", [["info"], ["info", "--json"], ["pairs"], ["--help"], ["--version"]],
                         ids=" ".join)
def test_results_that_do_not_all_reach_standard_output_end_with_status_1(command, how, tmp_path):
    args = with_model(command, small_model(tmp_path / "model"))
    whole = run(*args, cwd=tmp_path).stdout.encode()
    assert whole
    preexec_fn, cause = fill_disk_or_limit(how, len(whole) // 2)
    out = Path("/dev/full") if how == "full disk" else tmp_path / "out"
    with open(out, "wb") as stdout:
        proc = run(*args, cwd=tmp_path, stdout=stdout, preexec_fn=preexec_fn)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert proc.stderr.splitlines()[-1] == f"{prog(command)}: cannot write to standard output: {cause}"
    if how == "size limit":
        assert out.read_bytes() == whole[:len(whole) // 2]


EARLIER = b"the earlier file\n"
FILE_OUTPUTS = [["pairs", "--output", "p.txt"],
                pytest.param(["heatmap", "--output", "h.png"], marks=needs_matplotlib)]


@platforms.needs_rlimit_fsize
@pytest.mark.parametrize("command", FILE_OUTPUTS, ids=" ".join)
def test_an_output_file_is_written_whole_or_left_as_it_was(command, tmp_path):
    model = small_model(tmp_path / "model")
    output = tmp_path / command[-1]
    assert run(*with_model(command, model), cwd=tmp_path).returncode == 0
    size = output.stat().st_size
    output.write_bytes(EARLIER)
    preexec_fn, cause = fill_disk_or_limit("size limit", size // 2)
    proc = run(*with_model(command, model), cwd=tmp_path, preexec_fn=preexec_fn)
    assert (proc.returncode, proc.stdout) == (1, ""), proc.stderr
    assert proc.stderr.splitlines()[-1] == f"tilu {command[0]}: cannot write {command[-1]}: {cause}"
    assert output.read_bytes() == EARLIER
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["model", command[-1]])


@pytest.mark.parametrize("output, status, where", [
    pytest.param("/dev/full", 1, None, marks=platforms.needs_dev_full),
    pytest.param("/dev/stdout", 0, "stdout", marks=platforms.needs_proc),  # a pipe here
])
def test_an_output_that_is_not_a_regular_file_is_written_in_place(output, status, where, tmp_path):
    model = small_model(tmp_path / "model")
    kind = stat.S_IFMT(os.stat(output).st_mode)
    proc = run("pairs", model, "--output", output, cwd=tmp_path)
    assert proc.returncode == status, proc.stderr
    if where == "stdout":
        assert proc.stdout == run("pairs", model, cwd=tmp_path).stdout
    else:
        assert proc.stderr.splitlines()[-1] == f"tilu pairs: cannot write {output}: {os.strerror(errno.ENOSPC)}"
    assert stat.S_IFMT(os.stat(output).st_mode) == kind  # not replaced by a regular file


HOLD_REPLACE = """\
import os, time
_replace = os.replace
def replace(*args, **kwargs):  # waits for Ctrl-C before the output file is renamed
    open(os.environ["TILU_TEST_READY"], "w").close()
    time.sleep(300)
    return _replace(*args, **kwargs)
os.replace = replace
"""


@platforms.needs_sigint
@pytest.mark.parametrize("command", FILE_OUTPUTS, ids=" ".join)
def test_ctrl_c_while_an_output_file_is_written_leaves_the_earlier_one(command, tmp_path):
    hook, work = tmp_path / "hook", tmp_path / "work"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(HOLD_REPLACE)
    model = small_model(work / "model")
    output = work / command[-1]
    output.write_bytes(EARLIER)
    ready = tmp_path / "ready"
    path = os.pathsep.join(filter(None, [str(hook), os.environ.get("PYTHONPATH")]))
    proc = subprocess.Popen([*argv(), *map(str, with_model(command, model))], cwd=work, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            env={**os.environ, "PYTHONPATH": path, "TILU_TEST_READY": str(ready)})
    try:
        deadline = time.monotonic() + 120
        while not ready.exists():
            assert proc.poll() is None, "the command ended without renaming a new file over its output"
            assert time.monotonic() < deadline
            time.sleep(0.01)
        assert len(list(work.iterdir())) == 3  # the model, the earlier file, the new one beside it
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 130, err
    assert err.splitlines()[-1] == f"tilu {command[0]}: interrupted"
    assert output.read_bytes() == EARLIER
    assert sorted(p.name for p in work.iterdir()) == sorted(["model", command[-1]])


@needs_matplotlib
@pytest.mark.parametrize("case, output, status, message", [
    ("no LaTeX", "h.pgf", 2, "error: argument --output: 'h.pgf' does not end in a format matplotlib writes here "
                             "(.pgf needs xelatex, which is not installed): "),
    ("text.usetex: True", "h.png", 1, "cannot draw h.png: "),  # a matplotlibrc that asks for LaTeX
    ("MPLBACKEND=no-such-backend", "h.png", 1, "cannot use matplotlib: "),
])
def test_heatmap_where_matplotlib_cannot_draw_ends_with_one_line(case, output, status, message, tmp_path):
    model = small_model(tmp_path / "model")
    (tmp_path / "bin").mkdir()  # a PATH without LaTeX
    env = {"PATH": str(tmp_path / "bin"), "MPLCONFIGDIR": str(tmp_path / "config")}
    (tmp_path / "config").mkdir()
    if case.startswith("MPLBACKEND="):
        env["MPLBACKEND"] = case.split("=")[1]
    elif ":" in case:
        (tmp_path / "config" / "matplotlibrc").write_text(case + "\n")
    proc = run("heatmap", model, "--output", output, cwd=tmp_path, env=env)
    assert (proc.returncode, proc.stdout) == (status, ""), proc.stderr
    assert "Traceback" not in proc.stderr
    last = proc.stderr.splitlines()[-1]
    assert last.startswith(f"tilu heatmap: {message}")
    if status == 2:
        assert ".png" in last.removeprefix(f"tilu heatmap: {message}")  # the formats that can be written
    assert not (tmp_path / output).exists()


@platforms.needs_bytes_names
@pytest.mark.parametrize("command", SUBCOMMANDS, ids=" ".join)
def test_a_model_dir_that_is_not_utf8_ends_with_one_line(command, tmp_path):
    model = small_model(Path(os.fsdecode(os.fsencode(tmp_path) + b"/model\xff")))
    proc = run(*with_model(command, model), cwd=tmp_path)
    assert (proc.returncode, proc.stdout) == (1, ""), proc.stderr
    assert "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1].endswith("model\\udcff: tilu opens only paths that are valid UTF-8")


# --------------------------------------------------------------- help, version

@pytest.mark.parametrize("via", VIAS)
@pytest.mark.parametrize("sub", ["", "info", "pairs", "heatmap"])
def test_help_shows_an_example(sub, via, tmp_path):
    proc = run(*sub.split(), "--help", cwd=tmp_path, via=via)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"usage: tilu {sub}".rstrip())
    example = proc.stdout.split("\nexample:\n", 1)[1]
    assert example.startswith(f"  tilu {sub or 'info'} path/to/sparse/0")


@pytest.mark.parametrize("via", VIAS)
def test_version_is_the_installed_one(via, tmp_path):
    proc = run("--version", cwd=tmp_path, via=via)
    assert (proc.returncode, proc.stdout) == (0, f"tilu {importlib.metadata.version('tilu')}\n")
