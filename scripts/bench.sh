#!/usr/bin/env bash
# Benchmarks tilu against pycolmap, a pure-Python reader and a plain read of the
# files.  Usage: scripts/bench [PRESET] [compare.py options...]
#   PRESET   small, medium, large, xlarge or xxlarge (default large); the synthetic model
#            is generated once into $TILU_BENCH_CACHE (default ~/.cache/tilu-bench)
#   e.g.     scripts/bench medium --repeat 3 --only tilu,pycolmap
# Without --only, xlarge and xxlarge run only tilu's rows and the read-bytes floor: the peers
# would take many minutes a row there, and the pure-Python reader more memory
# than the machine may have.
# TILU_BENCH_NO_INSTALL=1 skips installing the checkout and benchmarks whatever tilu
# the venv imports, e.g. PYTHONPATH=build/dev after scripts/devbuild. Cold
# about 5 minutes (the venv, the model generated), warm 2 to 10 (the rows).
# Results: a table on stdout and bench-results/PRESET.json.
source "$(dirname "$0")/common.sh"
preset="${1:-large}"
[ $# -gt 0 ] && shift
case "$preset" in small|medium|large|xlarge|xxlarge) ;; *) echo "unknown preset '$preset' (small, medium, large, xlarge, xxlarge)" >&2; exit 2;; esac
only=()
if [ "${preset#x}" != "$preset" ] && ! printf '%s\n' "$@" | grep -q -- '^--only'; then
  only=(--only tilu,tilu-points3D,tilu-images,read-bytes,tilu-reload,overlaps-tilu,percentages-tilu)
fi

install=("$ROOT")
[ -z "${TILU_BENCH_NO_INSTALL:-}" ] || install=()
VPY="$(dev venv "$ROOT/.venv-bench" -- -r "$ROOT/benchmarks/requirements.txt" "${install[@]}")"

# The cached model is keyed by the generator's contents, so editing it regenerates.
CACHE="${TILU_BENCH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tilu-bench}"
key="$(sha1sum "$ROOT/benchmarks/generate.py" | cut -c1-12)"
model="$CACHE/$preset-$key"
if [ ! -f "$model/points3D.bin" ]; then
  mkdir -p "$CACHE"
  tmp="$(mktemp -d "$CACHE/.$preset.XXXXXX")"
  "$VPY" "$ROOT/benchmarks/generate.py" "$preset" "$tmp"
  mv "$tmp" "$model"
fi

mkdir -p "$ROOT/bench-results"
cd "$ROOT"
exec "$VPY" benchmarks/compare.py --model "$model" --json "bench-results/$preset.json" "${only[@]}" "$@"
