#!/usr/bin/env bash
# Builds tilu into a virtual environment and tours the bundled sample model (or
# the model directory given as the first argument): the tilu command's figures
# and image pairs, then the Python API (examples/demo.py).
source "$(dirname "$0")/common.sh"
prepare_venv test
cd "$ROOT"
model="${1:-sample/sparse}"
tilu="$VENV/bin/tilu"
echo "\$ tilu info $model"
"$tilu" info "$model"
echo
echo "\$ tilu pairs $model --top-k 2    (each image with its 2 most covisible images)"
"$tilu" pairs "$model" --top-k 2
echo
echo "\$ python examples/demo.py $model"
exec "$VPY" examples/demo.py "$model"
