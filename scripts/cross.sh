#!/usr/bin/env bash
# The core on other systems, compiled by zig's clang (PyPI package ziglang)
# with warnings as errors, and run where this machine can run it:
#   scripts/cross [--no-run] [TARGET...]
# TARGET: x86_64-linux-gnu.2.17 x86_64-linux-musl x86_64-windows-gnu
# aarch64-macos (default: all four).
#
# 1. No source of src/ but the platform files includes a system header (each
#    includes C++ standard headers, Python.h and headers of src/ only):
#    scripts/checks headers.
# 2. For each target, the core (the sources of tilu_core, src/sources.txt) and
#    the core driver tools/core_driver.cpp are compiled, and so are the
#    module's sources (those of tilu) where Python headers for the target can
#    be had:
#      gnu.2.17, musl  this machine's Python 3.12 headers;
#      macos           the same headers: their pyconfig.h is Linux's, so this
#                      checks our code against macOS's C and C++ headers, not
#                      against Python's configuration for macOS;
#      windows         the headers of the newest win_amd64 CPython of matrix.toml
#                      with its Windows pyconfig.h, those of the embeddable
#                      CPython of scripts/pythons.
# 3. Runs (not with --no-run): the core driver of each Linux target here, the
#    Windows one under wine (Debian's wine64); each output must equal that of
#    the driver built by the host's g++, byte for byte. macOS: compiled only.
#
# Work files in build/cross. zig's cache (ZIG_GLOBAL_CACHE_DIR, default
# ~/.cache/zig) keeps the C and C++ runtimes it builds for each target: the
# first run builds them (minutes), later runs take seconds. wine's prefix is
# that of scripts/wine. Cold about 5 minutes (zig's runtimes for each target),
# warm about 30 s.
source "$(dirname "$0")/common.sh"

ALL_TARGETS=(x86_64-linux-gnu.2.17 x86_64-linux-musl x86_64-windows-gnu aarch64-macos)
RUN=1
if [ "${1:-}" = --no-run ]; then RUN=0; shift; fi
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL_TARGETS[@]}")
B="$ROOT/build/cross"
JOBS="${JOBS:-$(nproc)}"
mkdir -p "$B"
failed=()
fail() { echo "FAILED: $*" >&2; failed+=("$1"); }
t0=$SECONDS
took() { echo "   ($((SECONDS - t0)) s so far)"; }

# ------------------------------------------------------------- 1. system headers
echo "== system headers outside the platform files"
"$ROOT/scripts/checks" headers || fail "system headers"

# ------------------------------------------------------------------- the sources
# The sources of each library, from the list CMakeLists.txt reads too.
sources_of() { awk -v lib="$1" '$1 == lib { print $2 }' "$ROOT/src/sources.txt"; }
mapfile -t CORE < <(sources_of core)
mapfile -t MODULE < <(sources_of module)
[ ${#CORE[@]} -gt 0 ] && [ ${#MODULE[@]} -gt 0 ] || { echo "no source lists in src/sources.txt" >&2; exit 1; }
DRIVER=(tools/core_driver.cpp)

# --------------------------------------------------------------------- the tools
ZIG="$(dev tools --zig)"
FLAGS=(-std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -I "$ROOT/src")

# Python headers per target (an empty answer: none); system headers, as
# CMake passes them, so that pyconfig.h may redefine _XOPEN_SOURCE and friends.
PY_HOST_INC="$("$(find_python)" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
python_include() {
  case "$1" in
    *-linux-*|*-macos) echo "-isystem $PY_HOST_INC" ;;
    *-windows-*) echo "-isystem $("$ROOT/scripts/pythons" windows "$(matrix versions --wheel win_amd64 | tail -1)")/include" ;;
  esac
}

# -------------------------------------------------------------------- 2. compile
# Per target two translation units, each including its sources one after the
# other: the core with the driver, and the module's sources. The C++ headers
# are then parsed twice per target instead of once per source, which makes
# the step several times faster; the host's CMake build compiles each source
# on its own (any include a source lacks shows there).
unity() {  # unity FILE SOURCE...
  local out="$1" f; shift
  : >"$out"
  for f in "$@"; do echo "#include \"$ROOT/$f\"" >>"$out"; done
}

compile_all() {
  local t inc list=()
  for t in "${TARGETS[@]}"; do
    rm -rf "${B:?}/$t" && mkdir -p "$B/$t"
    unity "$B/$t/core.cpp" "${CORE[@]}" "${DRIVER[@]}"
    list+=("$t" core "")
    inc="$(python_include "$t" || true)"
    if [ -z "$inc" ]; then
      echo "== $t: no Python headers, the module is not compiled"
    else
      echo "== $t: the module too ($inc)"
      unity "$B/$t/module.cpp" "${MODULE[@]}"
      list+=("$t" module "$inc")
    fi
  done
  echo "== compiling ${TARGETS[*]} ($JOBS at a time)"
  export ZIG B
  export FLAGS_STR="${FLAGS[*]}"
  printf '%s\0' "${list[@]}" | xargs -0 -n 3 -P "$JOBS" bash -c '
    t="$1" u="$2" inc="$3"
    # shellcheck disable=SC2086
    if ! "$ZIG" c++ -target "$t" $FLAGS_STR $inc -c "$B/$t/$u.cpp" -o "$B/$t/$u.o" 2>"$B/$t/$u.err"; then
      echo "FAILED: $t, $u"; cat "$B/$t/$u.err"; exit 1
    fi' _ || fail "compile"
  took
}

# ------------------------------------------------------------------------ 3. run
MODELS=("$ROOT/sample/sparse")
for m in "$ROOT"/../shared/data/colmap/*/; do [ -f "$m/cameras.bin" ] && MODELS+=("${m%/}"); done

reference() {
  echo "== the reference: the core driver built by $(g++ --version | head -1)"
  local srcs=() f
  for f in "${CORE[@]}" "${DRIVER[@]}"; do srcs+=("$ROOT/$f"); done
  g++ "${FLAGS[@]}" "${srcs[@]}" -o "$B/core_driver.host"
  mkdir -p "$B/scratch/host"
  "$B/core_driver.host" "$B/scratch/host" "${MODELS[@]}" >"$B/core_driver.host.out"
}

run_driver() {  # run_driver TARGET
  local t="$1" exe="$B/$1/core_driver" libs=() cmd=()
  case "$t" in *-windows-*) exe+=.exe; libs=(-lbcrypt) ;; esac
  echo "== $t: linking the core driver"
  "$ZIG" c++ -target "$t" "${FLAGS[@]}" "$B/$t/core.o" "${libs[@]}" -o "$exe" || { fail "link $t"; return; }
  case "$t" in
    *-windows-*) cmd=("$ROOT/scripts/wine" "$exe") ;;
    *) cmd=("$exe") ;;
  esac
  mkdir -p "$B/scratch/$t"
  echo "== $t: running the core driver ${cmd[0]/$exe/}"
  if "${cmd[@]}" "$B/scratch/$t" "${MODELS[@]}" >"$exe.out" &&
     diff -u "$B/core_driver.host.out" "$exe.out"; then
    echo "   same output as the reference ($(wc -l <"$exe.out") lines)"
  else
    fail "run $t"
  fi
  took
}

compile_all
if [ $RUN = 1 ]; then
  reference
  for t in "${TARGETS[@]}"; do
    case "$t" in
      *-linux-*|*-windows-*) run_driver "$t" ;;
      *) echo "== $t: compiled only (no way to run it here)" ;;
    esac
  done
fi

echo
if [ ${#failed[@]} -gt 0 ]; then echo "cross: FAILED: ${failed[*]} ($((SECONDS - t0)) s)"; exit 1; fi
echo "cross: all passed ($((SECONDS - t0)) s)"
