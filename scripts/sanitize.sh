#!/usr/bin/env bash
# Builds tilu with AddressSanitizer + UndefinedBehaviorSanitizer into build/asan-<compiler>
# and runs the whole pytest suite against it, the ASan runtime preloaded into
# the interpreter. Fails on a failing test and on any sanitizer report, also
# one written by a child process that a test started.
#   scripts/sanitize [PYTEST ARGS...]
# Compiler: clang++-16 (installed if missing), whose ASan runtime carries UBSan
# and so writes both kinds of report to log_path. CXX=g++ works too, but GCC's
# libubsan writes to stderr only, where a report can drown in pytest's capture
# (the failing exit status remains). Cold about 3 minutes (the build), warm
# about 1.5 (the suite).
source "$(dirname "$0")/common.sh"
PY="$(find_python)"
CXX="${CXX:-clang++-16}"
BUILD="$ROOT/build/asan-$(basename "$CXX")"
start=$SECONDS
compile_cache

case "$CXX" in
  clang++-*) need_packages "clang-${CXX#clang++-}" "libclang-rt-${CXX#clang++-}-dev" ;;
  g++) need_packages g++ ;;
esac
case "$("$CXX" --version | head -1)" in
  *clang*) RUNTIME="$("$CXX" -print-file-name=libclang_rt.asan-x86_64.so)" ;;
  *) RUNTIME="$("$CXX" -print-file-name=libasan.so)" ;;
esac
if [ ! -f "$RUNTIME" ]; then echo "no ASan runtime for $CXX ($RUNTIME)" >&2; exit 1; fi
# The interpreter does not link libstdc++: preloaded beside the runtime, it is
# there when ASan resolves its __cxa_throw interceptor (else its CHECK fails).
PRELOAD="$RUNTIME $(realpath "$("$CXX" -print-file-name=libstdc++.so)")"

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$CXX" -DTILU_SANITIZE=ON -DPython_EXECUTABLE="$PY" >/dev/null
fi
cmake --build "$BUILD"

VPY="$(dev venv "$BUILD/venv" --python "$PY" -- pytest hypothesis numpy)"

REPORTS="$BUILD/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
status=0
# PYTHONMALLOC=malloc: every object of the module gets its own redzones.
( cd "$ROOT" && env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc PYTHONPATH="$BUILD" \
    ASAN_OPTIONS="detect_leaks=0:log_path=$REPORTS/asan:strict_string_checks=1:detect_stack_use_after_return=1" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan" \
    "$VPY" -m pytest -q -p no:cacheprovider "$@" tests ) || status=$?

sanitizer_reports "$REPORTS" sanitizer || status=1
echo "scripts/sanitize: $((SECONDS - start)) s"
exit $status
