"""Writes image pairs for feature matching from the covisibility of a COLMAP model.

For every image, its K most covisible images (those that share the most 3D
points with it) become pairs; each unordered pair is written once, as
"name_a name_b" on a line of its own. Ties are broken by image name, so the
output is the same on every run.

    python examples/pairs_from_covisibility.py [MODEL_DIR] [--top-k K] [--output FILE]

MODEL_DIR defaults to the bundled sample model (sample/sparse), K to 10 and
FILE to pairs.txt. With --output - the pairs go to standard output; tilu's
progress lines, which it writes straight to file descriptor 1, are then sent
to standard error so that standard output holds the pairs alone.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from pathlib import Path

import tilu
from _cli import exit_on_failure

SAMPLE = Path(__file__).resolve().parents[1] / "sample" / "sparse"


@contextlib.contextmanager
def fd1_to_stderr() -> Iterator[None]:
    """Points file descriptor 1 at standard error for the duration of the block."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def covisible_pairs(model: str, top_k: int, quiet_stdout: bool) -> list[tuple[str, str]]:
    _, images, points3D = tilu.read_reconstruction_bin(model)
    with fd1_to_stderr() if quiet_stdout else contextlib.nullcontext():
        counts = tilu.compute_overlaps(points3D)

    def rank(image_id: int) -> tuple[str, int]:
        return (images[image_id].name, image_id)

    pairs: list[tuple[str, str]] = []
    seen: set[frozenset[int]] = set()
    for a in sorted(images, key=rank):
        # Other images that share points with a and are in images.bin; the
        # dict order from tilu is not fixed, hence the full sort key.
        shared = [(n, b) for b, n in counts.get(a, {}).items() if b != a and b in images]
        shared.sort(key=lambda nb: (-nb[0], rank(nb[1])))
        for _, b in shared[:top_k]:
            key = frozenset((a, b))
            if key not in seen:
                seen.add(key)
                pairs.append((images[a].name, images[b].name))
    return pairs


def format_pairs(pairs: list[tuple[str, str]]) -> str:
    for a, b in pairs:
        if any(c.isspace() for c in a + b):
            sys.exit(f"cannot write the pair {a!r} {b!r}: an image name contains whitespace")
    return "".join(f"{a} {b}\n" for a, b in pairs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", nargs="?", default=str(SAMPLE),
                        help="COLMAP binary model directory (default: the bundled sample)")
    parser.add_argument("--top-k", type=int, default=10, metavar="K",
                        help="pairs per image, its K most covisible images (default 10)")
    parser.add_argument("--output", default="pairs.txt", metavar="FILE",
                        help='where to write the pairs, "-" for standard output (default pairs.txt)')
    args = parser.parse_args()
    if args.top_k < 0:
        parser.error("--top-k must not be negative")

    to_stdout = args.output == "-"
    with exit_on_failure(args.model):
        pairs = covisible_pairs(args.model, args.top_k, quiet_stdout=to_stdout)
    text = format_pairs(pairs)
    if to_stdout:
        sys.stdout.write(text)
    else:
        Path(args.output).write_text(text, encoding="utf-8")
        print(f"wrote {len(pairs)} pairs to {args.output}")


if __name__ == "__main__":
    main()
