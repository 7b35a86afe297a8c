# Sourced by the scripts in this folder: finds a Python >= 3.12 and prepares a
# virtual environment for it with tilu and its test dependencies installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

py_ok() {  # is $1 a Python interpreter of version 3.12 or later?
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

find_python() {
  if [ -n "${PYTHON:-}" ]; then
    if py_ok "$PYTHON"; then echo "$PYTHON"; return 0; fi
    echo "PYTHON=$PYTHON is not a Python 3.12 or later" >&2; return 1
  fi
  local c
  for c in python3.13 python3.12 python3; do
    if command -v "$c" >/dev/null 2>&1 && py_ok "$(command -v "$c")"; then command -v "$c"; return 0; fi
  done
  local roots=()
  command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
  roots+=("$HOME/.pyenv" /usr/local /usr /opt/python)
  for r in "${roots[@]}"; do
    for c in "$r"/versions/3.1[2-9]*/bin/python3 "$r"/bin/python3.1[2-9] "$r"/3.1[2-9]*/bin/python3; do
      if [ -x "$c" ] && py_ok "$c"; then echo "$c"; return 0; fi
    done
  done
  echo "no Python 3.12 or later found; set PYTHON=/path/to/python3.12" >&2
  return 1
}

# prepare_venv EXTRAS: makes (or reuses) .venv-<version> and installs tilu into it.
prepare_venv() {
  local extras="$1" py ver
  py="$(find_python)"
  ver="$("$py" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')"
  VENV="$ROOT/.venv-$ver"
  if [ ! -x "$VENV/bin/python" ]; then
    "$py" -m venv "$VENV"
  fi
  VPY="$VENV/bin/python"
  "$VPY" -m pip install --quiet --disable-pip-version-check --upgrade pip >/dev/null
  "$VPY" -m pip install --quiet --disable-pip-version-check "$ROOT[$extras]"
}
