"""Several models at once: N threads each loading a model (or computing the
overlaps of a points dict of its own) against one thread doing one.

    python benchmarks/bench_threads.py --model DIR [--threads 2] [--repeat 3]

Each figure is the median of `repeat` fresh processes (imports and, for the
overlap rows, reading the points are outside the clock). With an interpreter
lock the threads take turns and N of them take about N times as long as one;
on a free-threaded build (python3.13t) they run on N cores at once. The rows:
  load       tilu.read_reconstruction_bin(DIR) in each thread
  overlaps   tilu.compute_overlaps(points) in each thread, each on its own dict
             (read by tilu.read_points3D_bin in the setup)
Each row gives one thread's time, N threads' wall time and their ratio. Run it
with each interpreter whose tilu is to be compared (e.g. python3.13 and
python3.13t) to set the single-thread rows side by side.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig

CHILD = r"""
import json, os, sys, threading, time
import tilu
model, task, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the overlap progress lines
points = [tilu.read_points3D_bin(os.path.join(model, "points3D.bin")) for _ in range(n)] if task == "overlaps" else None
go = threading.Barrier(n + 1)
results = [None] * n
def work(t):
    go.wait()
    results[t] = (tilu.read_reconstruction_bin(model) if task == "load" else tilu.compute_overlaps(points[t]))
threads = [threading.Thread(target=work, args=(t,)) for t in range(n)]
for th in threads: th.start()
go.wait()
t0 = time.perf_counter()
for th in threads: th.join()
seconds = time.perf_counter() - t0
print(json.dumps(seconds), file=sys.stderr)
os._exit(0)  # freeing the results is not part of the work
"""


def run_once(model: str, task: str, n: int) -> float:
    proc = subprocess.run([sys.executable, "-c", CHILD, model, task, str(n)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=False)
    if proc.returncode != 0:
        raise SystemExit(f"{task} with {n} threads failed:\n{proc.stderr[-2000:]}")
    return json.loads(proc.stderr.splitlines()[-1])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", required=True)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--json", help="write the rows to this file")
    args = ap.parse_args(argv)
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"Python {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}, "
          f"{os.cpu_count()} cpus, model {args.model}", flush=True)
    rows = []
    for task in ("load", "overlaps"):
        run_once(args.model, task, 1)  # warm-up: the files in the page cache
        one = [run_once(args.model, task, 1) for _ in range(args.repeat)]
        many = [run_once(args.model, task, args.threads) for _ in range(args.repeat)]
        row = {"task": task, "threads": args.threads, "one_s": statistics.median(one),
               "many_s": statistics.median(many), "one_runs": one, "many_runs": many}
        row["ratio"] = row["many_s"] / row["one_s"]
        rows.append(row)
        print(f"{task:9} 1 thread {row['one_s']:.3f} s   {args.threads} threads {row['many_s']:.3f} s   "
              f"x {row['ratio']:.2f}", flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "free_threaded": free_threaded, "rows": rows}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
