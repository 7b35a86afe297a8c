#!/usr/bin/env bash
# Developer build: compiles the extension into build/dev (serialised with a
# lock, so several shells can call it at once), and makes .venv-dev (pytest and
# hypothesis, no tilu) once. Run tests against the build with
#   PYTHONPATH=build/dev .venv-dev/bin/python -m pytest
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
source "$ROOT/scripts/common.sh"
PY="$(find_python)"
exec 9>/tmp/tilu-devbuild.lock
flock 9
if [ ! -f "$ROOT/build/dev/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$ROOT/build/dev" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PY" >/dev/null
fi
cmake --build "$ROOT/build/dev"
if [ ! -x "$ROOT/.venv-dev/bin/python" ]; then
  "$PY" -m venv "$ROOT/.venv-dev"
  pip_q "$ROOT/.venv-dev/bin/python" pytest hypothesis
fi
