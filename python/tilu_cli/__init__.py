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
command points that descriptor at standard error while they run (at the null
device when standard error is closed). Messages go to standard error. A result
is written whole or the command fails: a file named by --output is written
beside its place and renamed over it once complete, so that a failure or
Ctrl-C leaves the earlier file as it was and no partial one. Exit status: 0
success; 1 a model that cannot be read or used, or a result that cannot be
written (one line naming it and the cause); 2 wrong usage, an --output that is
one of the model's files, a heatmap format that cannot be written here, and
`heatmap` without matplotlib; 130 Ctrl-C.
"""
from __future__ import annotations

import argparse
import contextlib
import functools
import io
import json
import math
import os
import secrets
import shutil
import stat
import sys
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from fractions import Fraction
from itertools import chain
from typing import TYPE_CHECKING, NoReturn
from pathlib import Path

import tilu

if TYPE_CHECKING:
    from _typeshed import SupportsWrite

__all__ = ["main", "run"]

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130  # 130 = 128 + SIGINT
NO_ERROR = -1.0  # the error COLMAP stores for a 3D point whose error it has not computed
MODEL_FILES = ("cameras.bin", "images.bin", "points3D.bin")
PLOT_HINT = 'pip install "tilu[plot]"'
MAX_LABELLED = 40  # above this many images the heatmap's axes show positions instead of names
MAX_CELLS = 1000  # above this many images a side, the heatmap shows blocks of images per cell

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
    except UnicodeEncodeError:  # tilu takes paths as UTF-8 text
        raise Failure(f"cannot read the model {model}: tilu opens only paths that are valid UTF-8") from None
    except MemoryError:
        raise Failure(f"cannot read the model {model}: out of memory") from None
    except BaseException as e:
        if not is_panic(e):
            raise
        # tilu has already written where it failed to standard error.
        raise Failure(f"cannot use the model {model}: {e}") from None


def keep_standard_descriptors() -> None:
    """Opens the null device on each of descriptors 0, 1 and 2 that is closed, so
    that no descriptor the command opens takes its number: with 2 closed, the
    copy of 1 that stdout_to_stderr keeps would become 2, and tilu's progress
    lines would reach standard output. (Python has already set sys.stdout or
    sys.stderr to None for a descriptor that was closed when it started, and the
    command writes nothing there.)"""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


@contextlib.contextmanager
def stdout_to_stderr() -> Iterator[None]:
    """Points file descriptor 1 at standard error for the duration of the block, so
    that tilu's progress lines, written straight to it, stay off standard output.
    Needs descriptors 1 and 2 open (keep_standard_descriptors)."""
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
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


def refuse_model_file(args: argparse.Namespace) -> None:
    """A usage error if --output is one of the model's own files (by identity, so
    that another spelling, a symbolic or a hard link of it is refused too)."""
    for name in MODEL_FILES:
        try:
            same = os.path.samefile(args.output, os.path.join(args.model_dir, name))
        except (OSError, ValueError):  # one of them missing, or a path no file can have
            continue
        if same:
            args.parser.error(f"argument --output: {args.output!r} is the model's {name}, "
                              "which writing would destroy")


# ------------------------------------------------------------------------ info

def median(ordered: list[int]) -> float:
    """The median of sorted counts; 0 for none."""
    if not ordered:
        return 0.0
    half = len(ordered) // 2
    return float(ordered[half]) if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2


def exact_sum(values: Iterable[float]) -> Fraction:
    """The exact sum of finite floats whose magnitudes add up to less than the
    largest float: math.fsum's correctly rounded sum, then the sums of what
    each step left over, until nothing is."""
    values, parts = list(values), list[float]()
    while part := math.fsum(chain(values, (-p for p in parts))):
        parts.append(part)
    return sum(map(Fraction, parts), Fraction(0))


def mean(values: list[float]) -> float:
    """The mean of `values`, correctly rounded from their exact sum: the same in
    whatever order tilu's dict comes, and finite when they all are, even where
    their sum passes the largest float. NaN if there is a NaN or both
    infinities, an infinity if there is one; 0 for none."""
    if not values:
        return 0.0
    if not all(map(math.isfinite, values)):
        infinities = {v for v in values if math.isinf(v)}
        return math.nan if len(infinities) != 1 or any(map(math.isnan, values)) else infinities.pop()
    if max(map(abs, values)) * 4 * len(values) <= sys.float_info.max:
        total = exact_sum(values)
    else:
        # Values of 1 or more are scaled by 2**-k, which is exact for them, so
        # that no sum of them can pass the largest float; smaller ones add up to
        # less than len(values).
        k = len(values).bit_length() + 2
        total = (exact_sum(math.ldexp(v, -k) for v in values if abs(v) >= 1.0) * 2**k
                 + exact_sum(v for v in values if abs(v) < 1.0))
    return float(total / len(values))


def figures(model: Model, counts: Overlaps) -> dict[str, int | float]:
    """The figures of `tilu info`, under the keys of its --json output (the
    help's epilog defines them). Covisible pairs are counted among the images
    in images.bin, as `tilu pairs` chooses among them."""
    cameras, images, points3D = model
    observations = sum(len(p.track) for p in points3D.values())
    errors = [e for e in (p.error for p in points3D.values()) if e != NO_ERROR]
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
        "mean_reprojection_error": mean(errors),
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
        text = json.dumps(clean, allow_nan=False) + "\n"
    else:
        text = format_figures(values)
    write_stdout(text.encode("utf-8"))


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
                    top_k: int, min_shared: int) -> list[tuple[int, int]]:
    """For every image, in name order, its `top_k` most covisible images among
    those that share at least `min_shared` 3D points with it (ties broken by
    name, then id); each unordered pair once, where it first comes, as (the
    choosing image's id, the chosen one's)."""
    order = by_name(images)
    rank = {image_id: r for r, (_, image_id) in enumerate(order)}
    pairs: list[tuple[int, int]] = []
    seen: set[tuple[int, int]] = set()
    for r_a, (_, a) in enumerate(order):
        for _, b in best_partners(a, counts.get(a, {}), rank, top_k, min_shared):
            r_b = rank[b]
            key = (r_a, r_b) if r_a < r_b else (r_b, r_a)
            if key not in seen:
                seen.add(key)
                pairs.append((a, b))
    return pairs


def check_names(images: dict[int, tilu.Image], named: set[int]) -> None:
    """Raises a Failure unless the name of every image in `named` is one field
    (not empty, no whitespace) that names that image alone: valid UTF-8 (tilu
    shows bytes that are not as U+FFFD, so a name with U+FFFD cannot be told
    from them) and the name of no other image in the model."""
    owners: dict[str, list[int]] = {}
    for image_id, img in images.items():
        owners.setdefault(img.name, []).append(image_id)
    for name, ids in sorted(owners.items()):
        if named.isdisjoint(ids):
            continue
        ids.sort()
        which = f"image {ids[0]}" if len(ids) == 1 else f"images {', '.join(map(str, ids[:-1]))} and {ids[-1]}"
        if "\ufffd" in name:
            problem = f"the name {name!r} of {which} is not valid UTF-8 (U+FFFD stands for its bytes)"
        elif len(ids) > 1:
            problem = f"{which} have the same name {name!r}"
        elif name.split() != [name]:
            problem = f"the name {name!r} of {which} is empty or contains whitespace"
        else:
            continue
        raise Failure(f"cannot write the pairs: {problem}")


def format_pairs(images: dict[int, tilu.Image], pairs: list[tuple[int, int]]) -> str:
    """The lines "name_a name_b" of `pairs`; a Failure if a name would not name
    its image unambiguously (check_names)."""
    check_names(images, {i for pair in pairs for i in pair})
    return "".join(f"{images[a].name} {images[b].name}\n" for a, b in pairs)


def run_pairs(args: argparse.Namespace) -> None:
    if args.output != "-":
        refuse_model_file(args)
    (_, images, _), counts = load(args.model_dir)
    pairs = covisible_pairs(images, counts, args.top_k, args.min_shared)
    data = format_pairs(images, pairs).encode("utf-8")
    if args.output == "-":
        write_stdout(data)
    else:
        write_output(args.output, data)
        note(f"wrote {len(pairs)} pairs to {args.output}")


# --------------------------------------------------------------------- heatmap

def block_means(order: list[tuple[str, int]], counts: Overlaps, block: int) -> list[list[float]]:
    """The covisibility matrix of the images of `order`, in that order, in cells
    of `block` x `block` images: each cell the mean count over its images."""
    n = len(order)
    cells = -(-n // block)
    cell_of = {image_id: r // block for r, (_, image_id) in enumerate(order)}
    sums = [[0] * cells for _ in range(cells)]
    for a, row in counts.items():
        i = cell_of.get(a)
        if i is None:
            continue
        line = sums[i]
        for j, shared in zip(map(cell_of.get, row), row.values()):
            if j is not None:
                line[j] += shared
    sizes = [min(block, n - c * block) for c in range(cells)]
    return [[s / (sizes[i] * sizes[j]) for j, s in enumerate(line)] for i, line in enumerate(sums)]


def heatmap_image(names: list[str], means: list[list[float]], block: int, fmt: str) -> bytes:
    """The heatmap of the covisibility of the images called `names`, in that
    order, as a file of format `fmt` (one matplotlib writes): the matrix
    `means` of block_means(..., block), whose side is at most MAX_CELLS."""
    from matplotlib.figure import Figure

    n = len(names)
    side = min(4 + 0.25 * n, 20)
    fig = Figure(figsize=(side + 1.5, side))
    ax = fig.subplots()
    edge = len(means) * block - 0.5  # the axes count images, whatever the cells
    shown = ax.imshow(means, cmap="viridis", interpolation="none", extent=(-0.5, edge, edge, -0.5))
    if block == 1:
        fig.colorbar(shown, ax=ax, label="shared 3D points")
        title = f"covisibility of {n} images (diagonal: 3D points each image sees)"
    else:
        fig.colorbar(shown, ax=ax, label=f"mean shared 3D points over {block} x {block} images")
        title = f"covisibility of {n} images, binned: {block} x {block} images per cell"
    if n <= MAX_LABELLED:
        ax.set_xticks(range(n), names, rotation=90, fontsize=7)
        ax.set_yticks(range(n), names, fontsize=7)
    else:
        ax.set_xlabel("images in name order")
    ax.set_title(title)
    fig.tight_layout()
    out = io.BytesIO()
    fig.savefig(out, format=fmt, dpi=100)
    return out.getvalue()


def heatmap_format(args: argparse.Namespace) -> str:
    """The format that --output asks for by its extension; a usage error if
    matplotlib cannot write it here (.pgf needs a LaTeX), or is missing."""
    try:
        import matplotlib
        from matplotlib.figure import Figure
    except ImportError:
        raise Failure(f"matplotlib is not installed: {PLOT_HINT}", EXIT_USAGE) from None
    except Exception as e:  # e.g. a matplotlibrc or MPLBACKEND it refuses
        raise Failure(f"cannot use matplotlib: {first_line(e)}") from None
    formats = set(Figure().canvas.get_supported_filetypes())
    tex = matplotlib.rcParams["pgf.texsystem"]
    if shutil.which(tex) is None:
        formats.discard("pgf")
    suffix = Path(args.output).suffix.lower().lstrip(".")
    if suffix not in formats:
        why = f" (.pgf needs {tex}, which is not installed)" if suffix == "pgf" else ""
        args.parser.error(f"argument --output: {args.output!r} does not end in a format matplotlib writes "
                          f"here{why}: {', '.join('.' + f for f in sorted(formats))}")
    return suffix


def run_heatmap(args: argparse.Namespace) -> None:
    fmt = heatmap_format(args)
    refuse_model_file(args)
    (_, images, _), counts = load(args.model_dir)
    if not images:
        raise Failure(f"the model {args.model_dir} has no images")
    order = by_name(images)
    # Above MAX_CELLS images a cell shows a block of them, so that time and
    # memory grow with the counts, not with the square of the images; the
    # model and the counts go before the figure is drawn.
    del images
    block = -(-len(order) // MAX_CELLS)
    means = block_means(order, counts, block)
    del counts
    names = [name for name, _ in order]
    try:
        data = heatmap_image(names, means, block, fmt)
    except Exception as e:  # what matplotlib, its writers and their helpers raise
        raise Failure(f"cannot draw {args.output}: {first_line(e)}") from None
    write_output(args.output, data)
    note(f"wrote {args.output} ({len(names)} x {len(names)} images)")


# ------------------------------------------------------------------ the command

def first_line(error: BaseException) -> str:
    """What `error` says, on one line (a LaTeX failure, for one, brings its log)."""
    text = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return next(iter(text.strip().splitlines()), type(error).__name__)


def write_all(write: Callable[[memoryview], int | None], data: bytes) -> None:
    """Writes every byte of `data` with `write` (os.write or a raw stream's),
    or raises OSError: a write that stops short (a file size limit, a full
    disk) is followed by another, which reports the cause. (A buffered stream
    can return the short count of such a write as if all were written.)"""
    view = memoryview(data)
    while view:
        view = view[write(view):]  # None, from a non-blocking stream that is full: again


def write_stdout(data: bytes) -> None:
    """Results go out as UTF-8 whatever the locale, as they do into a file."""
    if sys.stdout is None:
        raise Failure("cannot write the results: standard output is closed")
    try:
        sys.stdout.flush()
        stream = sys.stdout.buffer
        # Unbuffered (Windows' console stream takes UTF-8 too, where os.write would not).
        write_all((stream.raw if isinstance(stream, io.BufferedWriter) else stream).write, data)
    except BrokenPipeError:
        raise  # whoever read standard output has gone (e.g. `| head`): main says nothing
    except OSError as e:
        raise Failure(f"cannot write to standard output: {first_line(e)}") from None


def write_output(path: str, data: bytes) -> None:
    """Writes `data` to the file `path` whole or not at all: into a new file
    beside it (beside the file a symbolic link names), renamed over it once
    complete, with the mode of the file it replaces. On a failure or Ctrl-C
    the new file is removed and an earlier `path` is left as it was. A path
    that is not a regular file (a device, a FIFO, /dev/stdout) is written
    directly."""
    binary = getattr(os, "O_BINARY", 0)
    try:
        try:
            mode: int | None = os.stat(path).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            fd = os.open(path, os.O_WRONLY | os.O_TRUNC | binary)
            try:
                write_all(functools.partial(os.write, fd), data)
            finally:
                os.close(fd)
            return
        target = os.path.realpath(path)
        folder, name = os.path.split(target)
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | binary, 0o666)
        try:
            try:
                write_all(functools.partial(os.write, fd), data)
                os.fsync(fd)
                if mode is not None:
                    os.chmod(temporary, stat.S_IMODE(mode))
            finally:
                os.close(fd)
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
    except OSError as e:
        raise Failure(f"cannot write {path}: {first_line(e)}") from None


def note(message: str) -> None:
    """`message` on standard error; nowhere if that is closed or cannot be written."""
    if sys.stderr is not None:
        with contextlib.suppress(OSError):
            print(message, file=sys.stderr, flush=True)


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
        write_stdout(f"tilu {version()}\n".encode("utf-8"))
        parser.exit()


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose --help is written whole or fails (write_stdout)."""

    def print_help(self, file: SupportsWrite[str] | None = None) -> None:
        if file is None:
            write_stdout(self.format_help().encode("utf-8"))
        else:
            super().print_help(file)


MODEL_HELP = "a COLMAP binary model directory (cameras.bin, images.bin, points3D.bin)"
INFO_EPILOG = """\
The figures are those of COLMAP's model analyzer. Every image in images.bin
is registered (the file holds only images with a pose), so "registered
images" equals "images"; "images with 3D points" are those that appear in at
least one 3D point's track. Observations are the entries of all tracks; mean
track length = observations / 3D points; mean observations per image =
observations / registered images; the mean reprojection error leaves out the
points whose error is -1 (COLMAP's mark of an error not computed). A mean
over nothing is 0; the mean is rounded once from the exact sum, so it is the
same in any order and finite whenever the errors are. Covisible image pairs are the unordered pairs of images
that share at least one 3D point; the median and maximum of the shared 3D
points are taken over those pairs (0 when there are none).

--json keys: cameras, images, registered_images, images_with_points, points3D,
observations, mean_track_length, mean_observations_per_image,
mean_reprojection_error, covisible_pairs, median_shared_points,
max_shared_points, and cameras_<model name> (e.g. "cameras_Simple Radial")
for each camera model present. A mean that is not a finite number (a NaN
error, an infinite one, or both infinities) is null.

example:
  tilu info path/to/sparse/0
  tilu info path/to/sparse/0 --json
"""
PAIRS_EPILOG = """\
For every image, its K most covisible images (those that share the most 3D
points with it, at least N) become pairs; ties are broken by image name, so
the output is the same on every run. Each unordered pair is written once, as
"name_a name_b" on a line of its own, in UTF-8: the format that COLMAP's
matches_importer and hloc's matchers read. A name that would not name its
image alone (empty, with whitespace, not valid UTF-8 in the file, which tilu
shows as U+FFFD, or the name of another image too) ends the command with
status 1 before anything is written. --output FILE is written whole or not
at all (a new file renamed over FILE once complete) and may not be one of the
model's files.

example:
  tilu pairs path/to/sparse/0 --top-k 20 --output pairs.txt
  tilu pairs path/to/sparse/0 --top-k 5 --min-shared 30 > pairs.txt
"""
HEATMAP_EPILOG = f"""\
Cell (row a, column b) shows how many 3D points images a and b both see; the
diagonal shows how many each image sees. Images are in name order. Above
{MAX_CELLS} images a cell shows a block of images (the mean of their counts),
{MAX_CELLS} or fewer cells a side, as the title says. The extension of --output
picks the format: .png, .pdf, .svg, .svgz, .eps, .ps, .jpg, .jpeg, .tif,
.tiff, .webp, .raw, .rgba (and with newer matplotlib .gif, .avif); .pgf only
where matplotlib's LaTeX (xelatex) is installed. The file is written whole or
not at all. Needs matplotlib: {PLOT_HINT}.

example:
  tilu heatmap path/to/sparse/0 --output heatmap.png
"""
MAIN_EPILOG = """\
Exit status: 0 success; 1 a model that cannot be read or used, or a result
that cannot be written (one line naming it and the cause); 2 wrong usage, an
--output that is one of the model's files, a heatmap format that cannot be
written here, and heatmap without matplotlib; 130 interrupted (Ctrl-C).

example:
  tilu info path/to/sparse/0
  tilu pairs path/to/sparse/0 --top-k 20 --output pairs.txt
  tilu heatmap path/to/sparse/0 --output heatmap.png
"""


def make_parser() -> argparse.ArgumentParser:
    raw = argparse.RawDescriptionHelpFormatter
    parser = Parser(
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
    pairs.set_defaults(run=run_pairs, parser=pairs)

    heatmap = commands.add_parser(
        "heatmap", formatter_class=raw, epilog=HEATMAP_EPILOG,
        help="an image of the covisibility counts (needs matplotlib)",
        description="Saves a heatmap of the covisibility counts of a model.")
    heatmap.add_argument("model_dir", metavar="MODEL_DIR", help=MODEL_HELP)
    heatmap.add_argument("--output", required=True, metavar="FILE",
                         help="the image to write; its extension picks the format (.png, .svg, .pdf, ...: below)")
    heatmap.set_defaults(run=run_heatmap, parser=heatmap)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command on `argv` (default: sys.argv[1:]) and returns its exit
    status; wrong usage raises SystemExit(2), as argparse does."""
    keep_standard_descriptors()
    prog = "tilu"
    try:
        args = make_parser().parse_args(argv)
        prog = f"tilu {args.command}"
        run: Callable[[argparse.Namespace], None] = args.run
        run(args)
    except Failure as e:
        note(f"{prog}: {e.message}")
        return e.status
    except KeyboardInterrupt:
        note(f"{prog}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Whoever read standard output has gone (e.g. `| head`): nothing more
        # to say (the results go out unbuffered: nothing is left to flush).
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
