"""Eight threads using tilu at once, on the same objects and on different ones.

    python tests/thread_stress.py [SECONDS]     (default 1 per scenario)

Each scenario runs its threads for about SECONDS and checks every result against
the one computed first by one thread; it prints one JSON line of counts and
exits 1 at the first wrong result. With an interpreter lock (the usual build)
the threads take turns; on a free-threaded build they run in parallel. The
scenarios:
  loads     each thread reads a model of its own, or the one all read, over and
            over, and compares what it got and the model's overlaps;
  shared    every thread reads the attributes of the same objects and computes
            relative poses between them;
  mutated   threads compute the overlaps of one dict that another thread keeps
            changing (a value replaced, an item added and removed): each result
            is that of one of the dict's states, or the panic of a dict changed
            during the call;
  drops     the images of one model, which share one file's pages, are dropped
            by several threads at once while one thread keeps a few and checks
            their keypoints.
Every thread does at least one round, however slow the machine.
"""
from __future__ import annotations

import json
import os
import random
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tilu  # noqa: E402
from colmap_writer import NO_POINT3D, Cam, Img, Pt, cameras_bin, images_bin, points3D_bin  # noqa: E402

THREADS = 8


def write_model(d: Path, seed: int, n_images: int, n_points: int) -> str:
    """A model whose images share points with their neighbours; every image has
    enough keypoints to span several pages."""
    rng = random.Random(seed)
    d.mkdir(parents=True, exist_ok=True)
    tracks = {p: sorted(rng.sample(range(1, n_images + 1), rng.randint(2, min(6, n_images))))
              for p in range(1, n_points + 1)}
    keypoints = {i: [(rng.random() * 640, rng.random() * 480, NO_POINT3D) for _ in range(300)]
                 for i in range(1, n_images + 1)}
    pts = []
    for p, images in tracks.items():
        track = []
        for i in images:
            k = rng.randrange(300)
            keypoints[i][k] = keypoints[i][k][:2] + (p,)
            track.append((i, k))
        pts.append(Pt(p, (rng.random(), rng.random(), rng.random()), (p % 256, 7, 9), rng.random(), track))
    rng.shuffle(pts)
    imgs = [Img(i, (0.9, 0.1 * i, 0.2, 0.3), (i, -1.5, 2.0), 1, f"img_{i}.jpg", keypoints[i])
            for i in range(1, n_images + 1)]
    (d / "cameras.bin").write_bytes(cameras_bin([Cam(1, 1, 640, 480, [500.0, 510.0, 320.0, 240.0])]))
    (d / "images.bin").write_bytes(images_bin(imgs))
    (d / "points3D.bin").write_bytes(points3D_bin(pts))
    return str(d)


def model_view(model) -> tuple:
    cams, imgs, pts = model
    return (sorted((k, str(c), c.params, c.K()) for k, c in cams.items()),
            sorted((k, str(i), i.rot, i.points2D, i.point3D_ids, i.get_tracked_point3D_ids()) for k, i in imgs.items()),
            sorted((k, str(p), p.xyz, p.track, str(p.color)) for k, p in pts.items()))


def analysis_view(model) -> tuple:
    return model_view(model), tilu.compute_overlaps(model[2]), tilu.compute_overlap_percentages(model[2])


def panic_type() -> type:
    """PanicException, which is not an attribute of the module: from a file cut short."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "points3D.bin")
        Path(path).write_bytes(b"\x01")
        try:
            tilu.read_points3D_bin(path)
        except BaseException as e:  # noqa: BLE001
            return type(e)
    raise AssertionError("a one-byte points3D.bin was read")


class Rounds:
    """Runs `body(thread, round)` on `threads` threads for about `seconds`, every
    thread at least once; the first exception in any thread is raised again once
    all have ended. In lockstep, all threads do the same number of rounds (a
    body that waits on a barrier of them all needs that)."""

    def __init__(self, seconds: float):
        self.seconds = seconds

    def run(self, body, threads: int = THREADS, lockstep: bool = False) -> int:
        errors, rounds = [], [0] * threads
        deadline = time.monotonic() + self.seconds
        more = [True]

        def decide():
            more[0] = time.monotonic() < deadline and not errors
        turn = threading.Barrier(threads, action=decide)

        def worker(t):
            r = 0
            try:
                turn.wait()
                while True:
                    body(t, r)
                    r += 1
                    if lockstep:
                        turn.wait()
                        if not more[0]:
                            break
                    elif time.monotonic() >= deadline or errors:
                        break
            except threading.BrokenBarrierError:
                pass
            except BaseException as e:  # noqa: BLE001 (PanicException too)
                errors.append(e)
                turn.abort()
            rounds[t] = r

        workers = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        if errors:
            raise errors[0]
        return sum(rounds)


def scenario_loads(models: list[str], rounds: Rounds) -> int:
    expected = {m: analysis_view(tilu.read_reconstruction_bin(m)) for m in models}

    def body(t, r):
        m = models[t % len(models)] if t % 2 else models[0]
        got = analysis_view(tilu.read_reconstruction_bin(m))
        assert got == expected[m], f"thread {t} round {r}: {m} read otherwise"
    return rounds.run(body)


def scenario_shared(models: list[str], rounds: Rounds) -> int:
    cams, imgs, pts = tilu.read_reconstruction_bin(models[0])
    images = list(imgs.values())
    points = list(pts.values())
    expected_views = model_view((cams, imgs, pts))
    poses = {(a.name, b.name): a.relative_pose_from(b) for a in images for b in images}

    def body(t, r):
        rng = random.Random(t * 1000 + r)
        for _ in range(50):
            a, b = rng.choice(images), rng.choice(images)
            assert a.relative_pose_from(b) == poses[a.name, b.name]
            p = rng.choice(points)
            assert p.track == pts[p.id].track and str(p) == str(pts[p.id])
        if t == 0:
            assert model_view((cams, imgs, pts)) == expected_views
    return rounds.run(body)


def scenario_mutated(models: list[str], rounds: Rounds) -> int:
    pts = tilu.read_points3D_bin(os.path.join(models[1], "points3D.bin"))
    ids = sorted(pts)
    shared = dict(pts)
    first, spare, other = ids[0], ids[1], pts[ids[-1]]
    # The dict's states: the first value replaced or not, the spare item there or not.
    states = {}
    for replaced in (False, True):
        for present in (False, True):
            d = dict(pts)
            if replaced:
                d[first] = other
            if not present:
                del d[spare]
            states[replaced, present] = d
    results = {f: [f(d) for d in states.values()] for f in (tilu.compute_overlaps, tilu.compute_overlap_percentages)}
    panic = panic_type()
    changed = {"dictionary changed size during iteration", "dictionary keys changed during iteration"}
    stop = threading.Event()

    def mutate():
        replaced = False
        while not stop.is_set():
            shared[first] = other if not replaced else pts[first]
            replaced = not replaced
            del shared[spare]
            shared[spare] = pts[spare]

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        def body(t, r):
            f = tilu.compute_overlaps if t % 2 else tilu.compute_overlap_percentages
            try:
                got = f(shared)
            except panic as e:
                assert str(e) in changed, f"thread {t}: {e}"
                return
            assert got in results[f], f"thread {t} round {r}: a result of no state of the dict"
        total = rounds.run(body, THREADS - 1)
    finally:
        stop.set()
        mutator.join()
    return total


def scenario_drops(models: list[str], rounds: Rounds) -> int:
    path = os.path.join(models[2], "images.bin")
    expected = {k: (i.points2D, i.point3D_ids) for k, i in tilu.read_images_bin(path).items()}
    keys = sorted(expected)
    current = [None]
    gate = threading.Barrier(THREADS)

    def body(t, r):
        if t == 0:
            current[0] = tilu.read_images_bin(path)
        gate.wait()
        mine = [current[0][k] for k in keys[t::THREADS]]
        gate.wait()
        if t == 0:
            current[0] = None  # the dict goes; each image is now held by one thread
        gate.wait()
        # Every thread but the last drops its images at once; the last checks
        # that its own kept every keypoint while the pages around them went.
        if t != THREADS - 1:
            mine.clear()
        gate.wait()
        for img in mine:
            assert (img.points2D, img.point3D_ids) == expected[img.image_id], f"image {img.image_id} changed"
    return rounds.run(body, lockstep=True)


SCENARIOS = {"loads": scenario_loads, "shared": scenario_shared, "mutated": scenario_mutated,
             "drops": scenario_drops}


def main() -> int:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    sys.stdout.flush()
    out = os.fdopen(os.dup(1), "w")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the overlap progress lines
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    sys.setswitchinterval(1e-6)  # with an interpreter lock, threads take turns as often as they can
    with tempfile.TemporaryDirectory() as d:
        models = [write_model(Path(d) / f"m{k}", seed=k, n_images=6 + 3 * k, n_points=300 + 200 * k)
                  for k in range(3)]
        figures = {"gil": gil}
        for name, scenario in SCENARIOS.items():
            figures[name] = scenario(models, Rounds(seconds))
    print(json.dumps(figures), file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
