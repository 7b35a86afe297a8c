"""Times `tilu pairs MODEL --top-k K` beside the tilu calls it makes.

    python benchmarks/bench_command.py --model DIR [--top-k 20] [--repeat 3]

Run it with the interpreter of an environment where tilu is installed (the
`tilu` command is taken from beside it), e.g. .venv-bench after scripts/bench,
or .venv-3.12 after scripts/test. Every run is a fresh process, one warm-up
first, then the median of --repeat runs:

- `tilu pairs`: the command, --output to a file, wall time of the whole process
  (interpreter start, imports, reading, covisibility, choosing and writing the
  pairs);
- API calls: a process that imports tilu and makes the command's two calls,
  read_reconstruction_bin(MODEL) and compute_overlaps(points3D), also timed
  whole, so that the difference is what the command adds;
- interpreter + import tilu: the start-up both share.

A last process times the stages inside one run (the two calls, then choosing
and formatting the pairs with the command's own functions) and checks that its
pairs equal the command's file. Progress lines go to /dev/null.
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

API = """
import sys, tilu
cameras, images, points3D = tilu.read_reconstruction_bin(sys.argv[1])
tilu.compute_overlaps(points3D)
"""

STAGES = """
import json, sys, time
import tilu
import tilu_cli
model, top_k, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
t0 = time.perf_counter()
cameras, images, points3D = tilu.read_reconstruction_bin(model)
t1 = time.perf_counter()
counts = tilu.compute_overlaps(points3D)
t2 = time.perf_counter()
pairs = tilu_cli.covisible_pairs(images, counts, top_k, 1)
t3 = time.perf_counter()
text = tilu_cli.format_pairs(images, pairs)
t4 = time.perf_counter()
with open(out, "rb") as f:
    same = f.read() == text.encode("utf-8")
entries = sum(map(len, counts.values()))
json.dump({"read_reconstruction_bin": t1 - t0, "compute_overlaps": t2 - t1, "choose pairs": t3 - t2,
           "format pairs": t4 - t3, "pairs": len(pairs), "entries": entries, "same": same}, sys.stderr)
"""


def command() -> Path:
    for folder in (sysconfig.get_path("scripts"), Path(sys.executable).parent):
        if (Path(folder) / "tilu").is_file():
            return Path(folder) / "tilu"
    sys.exit(f"no tilu command beside {sys.executable}: install tilu into this environment")


def wall(argv: list[str]) -> float:
    t0 = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t0


def median_of(argv: list[str], repeat: int) -> tuple[float, float]:
    wall(argv)  # warm-up: the page cache, the interpreter's .pyc files
    times = [wall(argv) for _ in range(repeat)]
    return statistics.median(times), min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, help="COLMAP binary model directory")
    parser.add_argument("--top-k", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    tilu = str(command())

    with tempfile.TemporaryDirectory() as tmp:
        out = str(Path(tmp) / "pairs.txt")
        rows = [
            (f"tilu pairs --top-k {args.top_k}",
             [tilu, "pairs", args.model, "--top-k", str(args.top_k), "--output", out]),
            ("API calls: read_reconstruction_bin + compute_overlaps", [sys.executable, "-c", API, args.model]),
            ("interpreter + import tilu", [sys.executable, "-c", "import tilu"]),
        ]
        print(f"model {args.model}, {args.repeat} runs after one warm-up, wall time of the whole process")
        print(f"{'':56} {'median s':>9} {'min s':>7}")
        for label, argv in rows:
            med, low = median_of(argv, args.repeat)
            print(f"{label:56} {med:9.3f} {low:7.3f}")

        stages = subprocess.run([sys.executable, "-c", STAGES, args.model, str(args.top_k), out],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
        inside = json.loads(stages.stderr.strip().splitlines()[-1])
    print(f"\nstages of one run ({inside['entries']:,} overlap entries, {inside['pairs']:,} pairs):")
    for stage in ("read_reconstruction_bin", "compute_overlaps", "choose pairs", "format pairs"):
        print(f"  {stage:25} {inside[stage]:7.3f} s")
    if not inside["same"]:
        sys.exit("the command's pairs differ from those of the stages")


if __name__ == "__main__":
    main()
