#!/usr/bin/env bash
# Runs the Python program of a command: scripts/NAME (a link to this file)
# runs scripts/NAME.py with a CPython 3.12 or later ($PYTHON, else the first
# found; scripts/common.sh). Also: scripts/python.sh NAME ARGS...
source "$(dirname "$0")/common.sh"
name="$(basename "$0")"
if [ "$name" = python.sh ]; then name="$1"; shift; fi
exec "$(find_python)" "$ROOT/scripts/$name.py" "$@"
