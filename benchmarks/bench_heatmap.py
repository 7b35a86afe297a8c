"""Times `tilu heatmap` and measures its peak memory, on a model and on
synthetic covisibility counts of any number of images.

    python benchmarks/bench_heatmap.py [--model DIR] [--images 5000 50000] [--partners 40] [--repeat 3]

Run it with the interpreter of an environment where tilu and matplotlib are
installed (the `tilu` command is taken from beside it), e.g. .venv-bench after
scripts/bench. Every run is a fresh process; the median of --repeat runs after
one warm-up:

- --model: `tilu heatmap DIR --output FILE.png` as a whole process, wall time
  and peak resident memory (ru_maxrss of the child), beside `tilu pairs DIR`,
  which reads the same model and computes the same counts: the difference is
  what drawing adds;
- --images N: the drawing alone (tilu_cli.block_means, then heatmap_image to
  PNG bytes) on counts made up for N images, each sharing points with its
  --partners neighbours in name order and with itself (the diagonal); making
  the counts is outside the clock, and the peak is the memory the drawing
  takes above what the process held before it (VmHWM reset by
  /proc/self/clear_refs; Linux only).
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

DRAW = """
import json, sys, time
import matplotlib.figure  # imported before the clock, as the command does before reading the model
import tilu_cli

n, partners = int(sys.argv[1]), int(sys.argv[2])
order = [(f"{i:06}.jpg", i) for i in range(n)]
counts = {a: {b: 1 + (a * 31 + b * 17) % 200 for b in range(max(0, a - partners), min(n, a + partners + 1))}
          for a in range(n)}
for a in range(n):
    counts[a][a] = 500


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))


before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
t0 = time.perf_counter()
block = -(-n // tilu_cli.MAX_CELLS)
means = tilu_cli.block_means(order, counts, block)
data = tilu_cli.heatmap_image([name for name, _ in order], means, block, "png")
seconds = time.perf_counter() - t0
json.dump({"s": seconds, "peak_mb": (status("VmHWM") - before) / 1024, "before_mb": before / 1024,
           "entries": sum(map(len, counts.values())), "block": block, "bytes": len(data)}, sys.stdout)
"""


def command() -> Path:
    for folder in (sysconfig.get_path("scripts"), Path(sys.executable).parent):
        if (Path(folder) / "tilu").is_file():
            return Path(folder) / "tilu"
    sys.exit(f"no tilu command beside {sys.executable}: install tilu into this environment")


def whole(argv: list[str]) -> tuple[float, float]:
    """Wall time in seconds and peak resident memory in MB of one process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        sys.exit(f"{' '.join(argv)} ended with status {proc.returncode}")
    return seconds, usage.ru_maxrss / 1024


def medians(runs: list[tuple[float, float]]) -> tuple[float, float]:
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", help="COLMAP binary model directory")
    parser.add_argument("--images", type=int, nargs="*", default=[5000, 50000])
    parser.add_argument("--partners", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    if args.model:
        tilu = str(command())
        with tempfile.TemporaryDirectory() as tmp:
            rows = [("tilu heatmap", [tilu, "heatmap", args.model, "--output", str(Path(tmp) / "h.png")]),
                    ("tilu pairs (the same reading and counts)",
                     [tilu, "pairs", args.model, "--output", str(Path(tmp) / "p.txt")])]
            print(f"model {args.model}: whole process, median of {args.repeat} after one warm-up")
            print(f"{'':42} {'s':>7} {'peak RSS MB':>12}")
            for label, argv in rows:
                whole(argv)
                seconds, peak = medians([whole(argv) for _ in range(args.repeat)])
                print(f"{label:42} {seconds:7.3f} {peak:12.0f}")

    if args.images:
        print(f"\ndrawing alone on made-up counts ({args.partners} partners a side), median of {args.repeat}:")
        print(f"{'images':>8} {'entries':>11} {'cell':>7} {'s':>7} {'peak over before MB':>20} {'before MB':>10}")
        for n in args.images:
            runs = []
            for _ in range(args.repeat):
                out = subprocess.run([sys.executable, "-c", DRAW, str(n), str(args.partners)],
                                     stdout=subprocess.PIPE, text=True, check=True).stdout
                runs.append(json.loads(out))
            seconds = statistics.median(r["s"] for r in runs)
            peak = statistics.median(r["peak_mb"] for r in runs)
            r = runs[0]
            cell = f"{r['block']}x{r['block']}"
            print(f"{n:8} {r['entries']:11,} {cell:>7} {seconds:7.3f} {peak:20.0f} {r['before_mb']:10.0f}")


if __name__ == "__main__":
    main()
