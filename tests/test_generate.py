"""The benchmark generator's models read back consistently, through tilu and
through the benchmarks' pure-Python reader alike."""
import sys
from collections import Counter
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import generate  # noqa: E402
import pure_python_reader  # noqa: E402
import tilu  # noqa: E402
from colmap_writer import NO_POINT3D  # noqa: E402


@pytest.fixture(scope="module", params=[0, 1])
def model(request, tmp_path_factory):
    path = tmp_path_factory.mktemp(f"small{request.param}")
    stats = generate.generate("small", str(path), seed=request.param)
    return str(path), stats, tilu.read_reconstruction_bin(str(path))


def test_tracks_match_point3D_ids(model):
    _, stats, (cameras, images, points) = model
    assert (len(images), len(points)) == (stats["images"], stats["points"])
    point3D_ids = {i: img.point3D_ids for i, img in images.items()}  # each read builds a list
    observed = Counter()
    for pid, p in points.items():
        image_ids = [i for i, _ in p.track]
        assert len(image_ids) >= 2 and len(set(image_ids)) == len(image_ids)
        for image_id, k in p.track:
            assert point3D_ids[image_id][k] == pid
        observed[pid] += len(p.track)
    tracked = Counter(i for ids in point3D_ids.values() for i in ids if i != NO_POINT3D)
    assert tracked == observed and sum(observed.values()) == stats["observations"]
    assert {img.camera_id for img in images.values()} == set(cameras)


def test_pure_python_reader_agrees_with_tilu(model):
    path, _, (cameras, images, points) = model
    p_cameras, p_images, p_points = pure_python_reader.read_reconstruction_bin(path)
    assert {i: (c.width, c.height, c.params) for i, c in cameras.items()} == \
        {i: (c.width, c.height, c.params) for i, c in p_cameras.items()}
    assert {i: (m.name, m.camera_id, list(m.tvec), m.points2D, m.point3D_ids) for i, m in p_images.items()} == \
        {i: (m.name, m.camera_id, m.trans, m.points2D, m.point3D_ids) for i, m in images.items()}
    assert {i: (list(p.xyz), p.rgb, p.error, p.track) for i, p in p_points.items()} == \
        {i: (p.xyz, (p.color.r, p.color.g, p.color.b), p.error, p.track) for i, p in points.items()}
