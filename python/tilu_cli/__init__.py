"""The `tilu` command: a COLMAP binary model's figures, the image pairs for
feature matching, and a covisibility heatmap, from the shell.

    tilu info MODEL_DIR [--json]
    tilu pairs MODEL_DIR [--top-k K] [--min-shared N] [--output FILE|-]
    tilu heatmap MODEL_DIR --output FILE.png
    python -m tilu_cli ...          (the same command)

It uses tilu's public API and the standard library only; `heatmap` also needs
matplotlib (the extra "plot").

Results go to standard output and nothing else does: tilu's covisibility
functions write their progress lines straight to file descriptor 1, so the
command points that descriptor at standard error while they run. Messages go
to standard error. Exit status: 0 success; 1 a model that cannot be read or
used, or an output file that cannot be written (one line naming it and the
cause); 2 wrong usage, and `heatmap` without matplotlib; 130 Ctrl-C.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from typing import NoReturn
from pathlib import Path

import tilu

__all__ = ["main", "run"]

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130  # 130 = 128 + SIGINT
NO_ERROR = -1.0  # the error COLMAP stores for a 3D point whose error it has not computed
PLOT_HINT = 'pip install "tilu[plot]"'
MAX_LABELLED = 40  # above this many images the heatmap's axes show positions instead of names

Model = tuple[dict[int, tilu.Camera], dict[int, tilu.Image], dict[int, tilu.Point3D]]
Overlaps = dict[int, dict[int, int]]


class Failure(Exception):
    """Ends the command with one line on standard error and an exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.message, self.status = message, status


def is_panic(error: BaseException) -> bool:
    """Whether `error` is tilu's PanicException (malformed content). It is not an
    attribute of the module and derives from BaseException, not Exception."""
    cls = type(error)
    return cls.__name__ == "PanicException" and cls.__module__ == "tilu"


@contextlib.contextmanager
def model_failures(model: str) -> Iterator[None]:
    """Turns what can go wrong while tilu reads or analyses `model` into a Failure
    naming the model directory."""
    try:
        yield
    except KeyboardInterrupt:
        raise Failure(f"interrupted while working on the model {model}", EXIT_INTERRUPTED) from None
    except OSError as e:
        raise Failure(f"cannot read the model {model}: {e}") from None
    except BaseException as e:
        if not is_panic(e):
            raise
        # tilu has already written where it failed to standard error.
        raise Failure(f"cannot use the model {model}: {e}") from None


@contextlib.contextmanager
def stdout_to_stderr() -> Iterator[None]:
    """Points file descriptor 1 at standard error for the duration of the block, so
    that tilu's progress lines, written straight to it, stay off standard output."""
    if sys.stdout is not None:  # None: descriptor 1 was closed when Python started
        sys.stdout.flush()
    try:
        saved: int | None = os.dup(1)
    except OSError:  # descriptor 1 is closed
        saved = None
    try:
        os.dup2(2, 1)
        yield
    finally:
        if saved is None:
            os.close(1)
        else:
            os.dup2(saved, 1)
            os.close(saved)


def load(model: str) -> tuple[Model, Overlaps]:
    """The model in `model` and its covisibility counts (tilu.compute_overlaps)."""
    with model_failures(model):
        cameras, images, points3D = tilu.read_reconstruction_bin(model)
        with stdout_to_stderr():
            counts = tilu.compute_overlaps(points3D)
    return (cameras, images, points3D), counts


def by_name(images: dict[int, tilu.Image]) -> list[tuple[str, int]]:
    """(name, id) of every image, sorted by name, then by id."""
    return sorted((img.name, image_id) for image_id, img in images.items())


# ------------------------------------------------------------------------ info

def median(ordered: list[int]) -> float:
    """The median of sorted counts; 0 for none."""
    if not ordered:
        return 0.0
    half = len(ordered) // 2
    return float(ordered[half]) if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2


def figures(model: Model, counts: Overlaps) -> dict[str, int | float]:
    """The figures of `tilu info`, under the keys of its --json output (the
    help's epilog defines them). Covisible pairs are counted among the images
    in images.bin, as `tilu pairs` chooses among them."""
    cameras, images, points3D = model
    observations = sum(len(p.track) for p in points3D.values())
    errors = [e for e in (p.error for p in points3D.values()) if e != NO_ERROR]
    try:  # fsum: exact, so the same in whatever order tilu's dict comes
        mean_error = math.fsum(errors) / len(errors) if errors else 0.0
    except ValueError:  # both infinities among the errors
        mean_error = math.nan
    shared: list[int] = []  # the count of each unordered pair, from the row of its lower id
    for a, row in counts.items():
        if a in images:
            shared.extend([n for b, n in row.items() if b > a and b in images])
    shared.sort()
    result: dict[str, int | float] = {
        "cameras": len(cameras),
        "images": len(images),
        "registered_images": len(images),
        "images_with_points": sum(1 for a in counts if a in images),
        "points3D": len(points3D),
        "observations": observations,
        "mean_track_length": observations / len(points3D) if points3D else 0.0,
        "mean_observations_per_image": observations / len(images) if images else 0.0,
        "mean_reprojection_error": mean_error,
        "covisible_pairs": len(shared),
        "median_shared_points": median(shared),
        "max_shared_points": shared[-1] if shared else 0,
    }
    for name, n in sorted(Counter(c.model_id for c in cameras.values()).items()):
        result[f"cameras_{name}"] = n
    return result


LABELS = {
    "cameras": "Cameras",
    "images": "Images",
    "registered_images": "Registered images",
    "images_with_points": "Images with 3D points",
    "points3D": "3D points",
    "observations": "Observations",
    "mean_track_length": "Mean track length",
    "mean_observations_per_image": "Mean observations per image",
    "mean_reprojection_error": "Mean reprojection error",
    "covisible_pairs": "Covisible image pairs",
    "median_shared_points": "Median shared points per pair",
    "max_shared_points": "Max shared points per pair",
}


def format_figures(values: dict[str, int | float]) -> str:
    width = max(map(len, LABELS.values())) + 1
    lines = []
    for key, label in LABELS.items():
        value = values[key]
        if key == "median_shared_points":  # a whole number, or one and a half
            text = str(int(value)) if value == int(value) else str(value)
        elif isinstance(value, float):
            text = f"{value:.6f}" + (" px" if key == "mean_reprojection_error" else "")
        else:
            text = str(value)
        lines.append(f"{label + ':':<{width}} {text}")
        if key == "cameras":
            lines += [f"  {key_[len('cameras_'):] + ':':<{width - 2}} {n}"
                      for key_, n in values.items() if key_.startswith("cameras_")]
    return "".join(line + "\n" for line in lines)


def run_info(args: argparse.Namespace) -> None:
    model, counts = load(args.model_dir)
    values = figures(model, counts)
    if args.json:
        # Strict JSON has no NaN or infinity: such a mean is written as null.
        clean = {k: None if isinstance(v, float) and not math.isfinite(v) else v
                 for k, v in values.items()}
        write_stdout(json.dumps(clean, allow_nan=False) + "\n")
    else:
        write_stdout(format_figures(values))


# ----------------------------------------------------------------------- pairs

def best_partners(a: int, row: dict[int, int], rank: dict[int, int],
                  top_k: int, min_shared: int) -> list[tuple[int, int]]:
    """(count, id) of the images that image `a` chooses from its row of counts:
    the `top_k` highest counts of at least `min_shared` among the images in
    `rank`, ties broken by rank."""
    floor = min_shared
    if len(row) > top_k + 1:
        # The (k+1)-th highest count of the row, a's own among them, is at most
        # the k-th highest of the others: nothing lower can be chosen.
        floor = max(floor, sorted(row.values(), reverse=True)[top_k])
    # A row has thousands of entries on large models, and few get past floor.
    # (A comprehension costs less per entry than compress() with a bound
    # method of floor, whose calls go through the int's slot wrapper.)
    chosen = [(n, b) for b, n in row.items() if n >= floor and b != a and b in rank]
    if len(chosen) < top_k and floor > min_shared:
        # Images that are not in the model took some of the highest counts.
        chosen = [(n, b) for b, n in row.items() if n >= min_shared and b != a and b in rank]
    chosen.sort(key=lambda nb: (-nb[0], rank[nb[1]]))
    return chosen[:top_k]


def covisible_pairs(images: dict[int, tilu.Image], counts: Overlaps,
                    top_k: int, min_shared: int) -> list[tuple[str, str]]:
    """For every image, in name order, its `top_k` most covisible images among
    those that share at least `min_shared` 3D points with it (ties broken by
    name, then id); each unordered pair once, where it first comes, as (the
    choosing image's name, the chosen one's)."""
    order = by_name(images)
    rank = {image_id: r for r, (_, image_id) in enumerate(order)}
    pairs: list[tuple[str, str]] = []
    seen: set[tuple[int, int]] = set()
    for r_a, (name_a, a) in enumerate(order):
        for _, b in best_partners(a, counts.get(a, {}), rank, top_k, min_shared):
            r_b = rank[b]
            key = (r_a, r_b) if r_a < r_b else (r_b, r_a)
            if key not in seen:
                seen.add(key)
                pairs.append((name_a, order[r_b][0]))
    return pairs


def format_pairs(pairs: list[tuple[str, str]]) -> str:
    for a, b in pairs:
        for name in (a, b):
            if name.split() != [name]:
                raise Failure(f"cannot write the pair {a!r} {b!r}: "
                              "an image name is empty or contains whitespace")
    return "".join(f"{a} {b}\n" for a, b in pairs)


def run_pairs(args: argparse.Namespace) -> None:
    (_, images, _), counts = load(args.model_dir)
    pairs = covisible_pairs(images, counts, args.top_k, args.min_shared)
    text = format_pairs(pairs)
    if args.output == "-":
        write_stdout(text)
    else:
        write_file(args.output, text.encode("utf-8"))
        note(f"wrote {len(pairs)} pairs to {args.output}")


# --------------------------------------------------------------------- heatmap

def run_heatmap(args: argparse.Namespace) -> None:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise Failure(f"matplotlib is not installed: {PLOT_HINT}", EXIT_USAGE) from None
    formats = Figure().canvas.get_supported_filetypes()
    suffix = Path(args.output).suffix.lower().lstrip(".")
    if suffix not in formats:
        args.parser.error(f"argument --output: {args.output!r} does not end in a format "
                          f"matplotlib writes ({', '.join('.' + f for f in sorted(formats))})")

    (_, images, _), counts = load(args.model_dir)
    if not images:
        raise Failure(f"the model {args.model_dir} has no images")
    order = by_name(images)
    matrix = [[counts.get(a, {}).get(b, 0) for _, b in order] for _, a in order]

    n = len(order)
    side = min(4 + 0.25 * n, 40)
    fig = Figure(figsize=(side + 1.5, side))
    ax = fig.subplots()
    shown = ax.imshow(matrix, cmap="viridis", interpolation="nearest")
    fig.colorbar(shown, ax=ax, label="shared 3D points")
    if n <= MAX_LABELLED:
        names = [name for name, _ in order]
        ax.set_xticks(range(n), names, rotation=90, fontsize=7)
        ax.set_yticks(range(n), names, fontsize=7)
    else:
        ax.set_xlabel("images in name order")
    ax.set_title(f"covisibility of {n} images (diagonal: 3D points each image sees)")
    fig.tight_layout()
    try:
        fig.savefig(args.output, dpi=100)
    except OSError as e:
        raise Failure(f"cannot write {args.output}: {e.strerror or e}") from None
    note(f"wrote {args.output} ({n} x {n} images)")


# ------------------------------------------------------------------ the command

def write_stdout(text: str) -> None:
    """Results go out as UTF-8 whatever the locale, as they do into a file."""
    if sys.stdout is None:
        raise Failure("cannot write the results: standard output is closed")
    sys.stdout.flush()
    sys.stdout.buffer.write(text.encode("utf-8"))
    sys.stdout.buffer.flush()


def write_file(path: str, data: bytes) -> None:
    try:
        Path(path).write_bytes(data)
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror or e}") from None


def note(message: str) -> None:
    print(message, file=sys.stderr)


def at_least_one(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def version() -> str:
    import importlib.metadata  # here: its import takes longer than the rest of the command's

    try:
        return importlib.metadata.version("tilu")
    except importlib.metadata.PackageNotFoundError:  # e.g. a build found through PYTHONPATH
        return "(version unknown: tilu is not installed)"


class VersionAction(argparse.Action):
    """--version: prints the installed version, looked up only then."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="print tilu's version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        print(f"tilu {version()}")
        parser.exit()


MODEL_HELP = "a COLMAP binary model directory (cameras.bin, images.bin, points3D.bin)"
INFO_EPILOG = """\
The figures are those of COLMAP's model analyzer. Every image in images.bin
is registered (the file holds only images with a pose), so "registered
images" equals "images"; "images with 3D points" are those that appear in at
least one 3D point's track. Observations are the entries of all tracks; mean
track length = observations / 3D points; mean observations per image =
observations / registered images; the mean reprojection error leaves out the
points whose error is -1 (COLMAP's mark of an error not computed). A mean
over nothing is 0. Covisible image pairs are the unordered pairs of images
that share at least one 3D point; the median and maximum of the shared 3D
points are taken over those pairs (0 when there are none).

--json keys: cameras, images, registered_images, images_with_points, points3D,
observations, mean_track_length, mean_observations_per_image,
mean_reprojection_error, covisible_pairs, median_shared_points,
max_shared_points, and cameras_<model name> (e.g. "cameras_Simple Radial")
for each camera model present. A mean that is not a finite number (a NaN
error) is null.

example:
  tilu info path/to/sparse/0
  tilu info path/to/sparse/0 --json
"""
PAIRS_EPILOG = """\
For every image, its K most covisible images (those that share the most 3D
points with it, at least N) become pairs; ties are broken by image name, so
the output is the same on every run. Each unordered pair is written once, as
"name_a name_b" on a line of its own, in UTF-8: the format that COLMAP's
matches_importer and hloc's matchers read.

example:
  tilu pairs path/to/sparse/0 --top-k 20 --output pairs.txt
  tilu pairs path/to/sparse/0 --top-k 5 --min-shared 30 > pairs.txt
"""
HEATMAP_EPILOG = f"""\
Cell (row a, column b) shows how many 3D points images a and b both see; the
diagonal shows how many each image sees. Images are in name order. Needs
matplotlib: {PLOT_HINT}.

example:
  tilu heatmap path/to/sparse/0 --output heatmap.png
"""
MAIN_EPILOG = """\
Exit status: 0 success; 1 a model that cannot be read or used, or an output
file that cannot be written; 2 wrong usage (and heatmap without matplotlib);
130 interrupted (Ctrl-C).

example:
  tilu info path/to/sparse/0
  tilu pairs path/to/sparse/0 --top-k 20 --output pairs.txt
  tilu heatmap path/to/sparse/0 --output heatmap.png
"""


def make_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="tilu", formatter_class=raw, epilog=MAIN_EPILOG,
        description="Figures, image pairs and a covisibility heatmap of a COLMAP binary sparse model.")
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(title="commands", dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info", formatter_class=raw, epilog=INFO_EPILOG,
        help="the model's figures: cameras, images, 3D points, tracks, errors, covisibility",
        description="Prints the figures of a model: cameras (by model), images, registered images,\n"
                    "3D points, observations, mean track length, mean observations per image, mean\n"
                    "reprojection error, and the covisible image pairs with their median and\n"
                    "maximum of shared 3D points.")
    info.add_argument("model_dir", metavar="MODEL_DIR", help=MODEL_HELP)
    info.add_argument("--json", action="store_true", help="print one flat JSON object instead")
    info.set_defaults(run=run_info)

    pairs = commands.add_parser(
        "pairs", formatter_class=raw, epilog=PAIRS_EPILOG,
        help="image pairs for feature matching, from covisibility",
        description="Writes the image pairs for feature matching: each image with its K most\n"
                    "covisible images.")
    pairs.add_argument("model_dir", metavar="MODEL_DIR", help=MODEL_HELP)
    pairs.add_argument("--top-k", type=at_least_one, default=10, metavar="K",
                       help="pairs per image: its K most covisible images (default 10)")
    pairs.add_argument("--min-shared", type=at_least_one, default=1, metavar="N",
                       help="only images that share at least N 3D points (default 1)")
    pairs.add_argument("--output", default="-", metavar="FILE",
                       help='where to write the pairs; "-", the default, is standard output')
    pairs.set_defaults(run=run_pairs)

    heatmap = commands.add_parser(
        "heatmap", formatter_class=raw, epilog=HEATMAP_EPILOG,
        help="an image of the covisibility counts (needs matplotlib)",
        description="Saves a heatmap of the covisibility counts of a model.")
    heatmap.add_argument("model_dir", metavar="MODEL_DIR", help=MODEL_HELP)
    heatmap.add_argument("--output", required=True, metavar="FILE",
                         help="the image to write; its extension picks the format (.png, .svg, .pdf, ...)")
    heatmap.set_defaults(run=run_heatmap, parser=heatmap)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command on `argv` (default: sys.argv[1:]) and returns its exit
    status; wrong usage raises SystemExit(2), as argparse does."""
    args = make_parser().parse_args(argv)
    prog = f"tilu {args.command}"
    run: Callable[[argparse.Namespace], None] = args.run
    try:
        run(args)
    except Failure as e:
        print(f"{prog}: {e.message}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Whoever read standard output has gone (e.g. `| head`): nothing more
        # to say, and nothing left for Python to flush at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_FAILED
    return EXIT_OK


def run() -> NoReturn:
    """The `tilu` command as a program: main(), then the process ends at once.
    A loaded model is millions of objects, and freeing them one by one at exit
    takes about as long as reading the model; the system takes the memory back
    whole."""
    status = main()
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except OSError:  # a closed or broken standard stream: nothing more to say
            pass
    os._exit(status)
