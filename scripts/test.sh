#!/usr/bin/env bash
# Builds tilu into a fresh virtual environment and runs the test suite.
# Extra arguments go to pytest.
source "$(dirname "$0")/common.sh"
prepare_venv test
cd "$ROOT"
exec "$VPY" -m pytest -q "$@"
