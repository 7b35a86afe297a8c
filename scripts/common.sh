# Sourced by the shell scripts of this folder: ROOT, a CPython 3.12 or later
# (find_python), and for the shell the commands of scripts/matrix.py and
# scripts/dev.py (the matrix; Debian packages, virtual environments, tools).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TILU_PLATFORMS="${TILU_PLATFORMS:-${XDG_CACHE_HOME:-$HOME/.cache}/tilu-platforms}"

py_ok() {  # is $1 a Python interpreter of version 3.12 or later?
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

# find_python: $PYTHON, else the first Python 3.12 or later on PATH or in pyenv.
find_python() {
  if [ -n "${PYTHON:-}" ]; then
    if py_ok "$PYTHON"; then echo "$PYTHON"; return 0; fi
    echo "PYTHON=$PYTHON is not a Python 3.12 or later" >&2; return 1
  fi
  local c
  for c in python3.13 python3.12 python3.14 python3.15 python3 \
           "$HOME"/.pyenv/versions/3.1[2-9]*/bin/python3 /usr/local/bin/python3.1[2-9]; do
    if command -v "$c" >/dev/null 2>&1 && py_ok "$(command -v "$c")"; then command -v "$c"; return 0; fi
  done
  echo "no Python 3.12 or later found; set PYTHON=/path/to/python3.12" >&2
  return 1
}

matrix() { "$(find_python)" "$ROOT/scripts/matrix.py" "$@"; }
dev() { "$(find_python)" "$ROOT/scripts/dev.py" "$@"; }
need_packages() { dev need-packages "$@"; }

# compile_cache: CMake's compilations through ccache (installed if missing), with
# the paths under the checkout made relative, so that a build in another clone
# of the same sources is taken from the cache (~/.cache/ccache; the chroot keeps
# its own).
compile_cache() {
  command -v ccache >/dev/null 2>&1 || need_packages ccache
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=1
}

# checkout_venv: .venv-X.Y (X.Y: find_python's version, 3.13t for a free-threaded one) with tilu of this
# checkout and its extras TILU_TEST_EXTRAS (default test) installed; sets VPY
# to its python.
checkout_venv() {
  local py ver
  py="$(find_python)"
  ver="$("$py" -c 'import sys, sysconfig; print("%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')"
  compile_cache
  VPY="$(dev venv "$ROOT/.venv-$ver" --python "$py" -- "$ROOT[${TILU_TEST_EXTRAS:-test}]")"
}

# sanitizer_reports DIR NAME: shows the reports a sanitizer wrote into DIR; fails if any.
sanitizer_reports() {
  if compgen -G "$1/*" >/dev/null; then
    echo "=== $2 reports ===" >&2
    cat "$1"/* >&2
    return 1
  fi
  echo "$2 reports: none"
}
