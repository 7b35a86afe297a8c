#!/usr/bin/env bash
# Builds tilu into a virtual environment and tours the bundled sample model (or
# the model directory given as the first argument): the tilu command's figures
# and image pairs, then the Python API (examples/demo.py). Cold about a
# minute (the venv and the build), warm seconds.
source "$(dirname "$0")/common.sh"
checkout_venv
cd "$ROOT"
model="${1:-sample/sparse}"
tilu="$(dirname "$VPY")/tilu"
echo "\$ tilu info $model"
"$tilu" info "$model"
echo
echo "\$ tilu pairs $model --top-k 2    (each image with its 2 most covisible images)"
"$tilu" pairs "$model" --top-k 2
echo
echo "\$ python examples/demo.py $model"
exec "$VPY" examples/demo.py "$model"
