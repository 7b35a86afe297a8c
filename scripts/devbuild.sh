#!/usr/bin/env bash
# Developer build: compiles the extension into build/dev (serialised with a
# lock, so several shells can call it at once), and makes .venv-dev (pytest and
# hypothesis, no tilu). Cold about a minute, warm seconds. Run tests against
# the build with
#   PYTHONPATH=build/dev .venv-dev/bin/python -m pytest
source "$(dirname "$0")/common.sh"
PY="$(find_python)"
compile_cache
exec 9>/tmp/tilu-devbuild.lock
flock 9
if [ ! -f "$ROOT/build/dev/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$ROOT/build/dev" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PY" >/dev/null
fi
cmake --build "$ROOT/build/dev"
dev venv "$ROOT/.venv-dev" --python "$PY" -- pytest hypothesis >/dev/null
