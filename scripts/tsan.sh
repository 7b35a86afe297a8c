#!/usr/bin/env bash
# Builds tilu with ThreadSanitizer into build/tsan and runs the threads' stress
# test (tests/thread_stress.py) on a free-threaded CPython built with
# ThreadSanitizer too (scripts/pythons tsan), so that the interpreter's own
# locks and atomics are seen: fails on any report. GCC, whose runtime the
# interpreter links. Cold about 14 minutes (the interpreter), warm about 1.
#   scripts/tsan [SECONDS]   (each scenario's time, default 1)
source "$(dirname "$0")/common.sh"
v="$(matrix versions --kind free-threaded | head -1)"
PREFIX="$("$ROOT/scripts/pythons" tsan "$v")"
PY="$PREFIX/bin/python$v"
BUILD="$ROOT/build/tsan"
start=$SECONDS
compile_cache
need_packages g++
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
    -DTILU_SANITIZE_THREAD=ON -DPython_EXECUTABLE="$PY" >/dev/null
fi
cmake --build "$BUILD"
REPORTS="$BUILD/reports"
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
status=0
PYTHONPATH="$BUILD" TSAN_OPTIONS="suppressions=$PREFIX/tsan-suppressions.txt:log_path=$REPORTS/tsan" \
  "$PY" "$ROOT/tests/thread_stress.py" "${1:-1}" || status=$?
sanitizer_reports "$REPORTS" ThreadSanitizer || status=1
echo "scripts/tsan: $((SECONDS - start)) s"
exit $status
