#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, ASan + UBSan) into build/fuzz with CMake
# and runs each for SECONDS (default 60), one after another, from the seed
# corpus of fuzz/make_corpus.py plus what earlier runs found. Crashing inputs
# land in build/fuzz/crashes/; the script then fails.
#   scripts/fuzz [SECONDS [HARNESS...]]    HARNESS: cameras images points3D covisibility
# Cold the build takes about a minute more than the harnesses' time; warm seconds.
source "$(dirname "$0")/common.sh"
SECS="${1:-60}"
shift || true
HARNESSES=("$@")
[ ${#HARNESSES[@]} -gt 0 ] || HARNESSES=(cameras images points3D covisibility)
BUILD="$ROOT/build/fuzz"
compile_cache
# clang 16: the first Debian 12 clang whose std::source_location works with libstdc++ 12.
CXX="${FUZZ_CXX:-clang++-16}"

if ! command -v "$CXX" >/dev/null 2>&1 ||
   [ ! -f "$("$CXX" -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  need_packages clang-16 libclang-rt-16-dev
fi

# The harnesses and the core they link are built by CMake (-DTILU_FUZZ=ON).
# FUZZ_EXTRA_FLAGS (last on each command line), e.g. -fno-sanitize=nonnull-attribute
# to fuzz past a known report.
mkdir -p "$BUILD/crashes"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_CXX_FLAGS="-g -O1" -DTILU_FUZZ=ON -DTILU_FUZZ_EXTRA_FLAGS="${FUZZ_EXTRA_FLAGS:-}" \
  -DPython_EXECUTABLE="$(find_python)" >/dev/null
cmake --build "$BUILD" --target "${HARNESSES[@]/#/fuzz_}"

"$(find_python)" "$ROOT/fuzz/make_corpus.py" "$BUILD/seeds"

status=0
for h in "${HARNESSES[@]}"; do
  mkdir -p "$BUILD/corpus/$h"
  log="$BUILD/fuzz_$h.log"
  # Inputs are at most 4 KiB: no allocation of a correct parser comes near
  # 64 MB, so -malloc_limit_mb turns unbounded allocation into a crash.
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "$BUILD/fuzz_$h" -max_total_time="$SECS" -malloc_limit_mb=64 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$BUILD/crashes/$h-" \
    "$BUILD/corpus/$h" "$BUILD/seeds/$h" >"$log" 2>&1 || status=1
  execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
  echo "fuzz_$h: $execs executions in ${SECS} s, corpus $(ls "$BUILD/corpus/$h" | wc -l) inputs" \
       "$(grep -q -E '^==[0-9]+==ERROR|^SUMMARY|deadly signal' "$log" && echo '-- CRASH, see '"$log")"
done
exit $status
