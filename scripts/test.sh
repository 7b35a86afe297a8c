#!/usr/bin/env bash
# Builds tilu into .venv-X.Y (the Python's version; scripts/common.sh) and runs
# the test suite; extra arguments go to pytest. Cold about 2.5 minutes (the
# venv and a whole build), warm about 1.5 (the suite; the build from ccache).
source "$(dirname "$0")/common.sh"
checkout_venv
cd "$ROOT"
exec "$VPY" -m pytest -q "$@"
