"""Saves a heatmap of the covisibility counts of a COLMAP model as a PNG.

Cell (row a, column b) shows how many 3D points images a and b both see; the
diagonal shows how many points each image sees. Images are sorted by name.
Needs matplotlib: pip install matplotlib, or install tilu with the extra "plot"
(pip install ".[plot]" in the source tree).

    python examples/covisibility_heatmap.py [MODEL_DIR] [--output FILE]

MODEL_DIR defaults to the bundled sample model (sample/sparse), FILE to heatmap.png.
"""
from __future__ import annotations

import argparse
import sys
from pathlib import Path

import tilu
from _cli import exit_on_failure

SAMPLE = Path(__file__).resolve().parents[1] / "sample" / "sparse"
MAX_LABELLED = 40  # above this many images the axes show indices instead of names


def covisibility_matrix(model: str) -> tuple[list[str], list[list[int]]]:
    _, images, points3D = tilu.read_reconstruction_bin(model)
    sys.stdout.flush()  # tilu writes its progress lines straight to file descriptor 1
    counts = tilu.compute_overlaps(points3D)
    order = sorted(images, key=lambda i: (images[i].name, i))
    matrix = [[counts.get(a, {}).get(b, 0) for b in order] for a in order]
    return [images[i].name for i in order], matrix


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("model", nargs="?", default=str(SAMPLE),
                        help="COLMAP binary model directory (default: the bundled sample)")
    parser.add_argument("--output", default="heatmap.png", metavar="FILE",
                        help="PNG file to write (default heatmap.png)")
    args = parser.parse_args()

    try:
        import matplotlib
    except ImportError:
        sys.exit("this example needs matplotlib: pip install matplotlib (or tilu's extra \"plot\")")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with exit_on_failure(args.model):
        names, matrix = covisibility_matrix(args.model)
    if not names:
        sys.exit(f"{args.model}: the model has no images")

    n = len(names)
    side = min(4 + 0.25 * n, 40)
    fig, ax = plt.subplots(figsize=(side + 1.5, side))
    shown = ax.imshow(matrix, cmap="viridis", interpolation="nearest")
    fig.colorbar(shown, ax=ax, label="shared 3D points")
    if n <= MAX_LABELLED:
        ax.set_xticks(range(n), names, rotation=90, fontsize=7)
        ax.set_yticks(range(n), names, fontsize=7)
    ax.set_title(f"covisibility of {n} images")
    fig.tight_layout()
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output} ({n} x {n} images)")


if __name__ == "__main__":
    main()
