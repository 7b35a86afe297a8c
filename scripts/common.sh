# Sourced by the scripts in this folder and by .ci/run: finds Python
# interpreters, installs missing Debian packages, and prepares a virtual
# environment with tilu and its test dependencies installed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

py_ok() {  # is $1 a Python interpreter of version 3.12 or later?
  "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1
}

# python_for X.Y: the path of a Python X.Y interpreter (pyenv's newest X.Y.*
# first, then pythonX.Y on PATH), or nothing.
python_for() {
  local v="$1" c py="" root
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for c in "$root"/versions/"$v".*/bin/python"$v"; do [ -x "$c" ] && py="$c"; done
  [ -n "$py" ] || py="$(command -v "python$v" || true)"
  echo "$py"
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

# pip_q PYTHON ARGS...: pip install ARGS into the environment of PYTHON, quietly.
pip_q() { "$1" -m pip install --quiet --disable-pip-version-check "${@:2}"; }

# need_packages PKG...: installs the Debian packages among PKG that are not
# installed yet. The package lists are updated at most once per run (also
# across the scripts that one run starts); scripts of one run that need
# packages at the same time take turns, and wait for other users of apt.
need_packages() {
  local p missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: ${missing[*]} (install them as root)" >&2; return 1
  fi
  echo "installing ${missing[*]}" >&2
  (
    flock 9
    local apt=(apt-get -qq -o DPkg::Lock::Timeout=600)
    if [ -z "${TILU_APT_UPDATED:-}" ]; then  # retried: another apt may hold the lists' lock
      local i; for i in 1 2 3 4 5; do "${apt[@]}" update && break; sleep 10; done
    fi
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y "${missing[@]}" >/dev/null
  ) 9>/tmp/tilu-apt.lock
  export TILU_APT_UPDATED=1
}

# tools_venv REQ...: the virtual environment of the build tools (zig from PyPI's
# ziglang and others), made once and shared by every checkout at one path outside
# them, TILU_TOOLS (default ~/.cache/tilu-tools); REQ installed into it. Sets
# TOOLS_PY (its python) and ZIG. zig's cache (~/.cache/zig) keys the C and C++
# runtimes it builds for a target by the paths of zig's own sources, so a zig
# installed per checkout would build them again (minutes) in every fresh clone.
# Scripts that run side by side install into it one after the other.
TOOLS_VENV="${TILU_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/tilu-tools}"
tools_venv() {
  mkdir -p "$(dirname "$TOOLS_VENV")"
  (
    flock 9
    [ -x "$TOOLS_VENV/bin/python" ] || "$(find_python)" -m venv "$TOOLS_VENV"
    pip_q "$TOOLS_VENV/bin/python" "$@"
  ) 9>"$TOOLS_VENV.lock"
  TOOLS_PY="$TOOLS_VENV/bin/python"
  ZIG="$("$TOOLS_PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
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
  pip_q "$VPY" --upgrade pip >/dev/null
  pip_q "$VPY" "$ROOT[$extras]"
}

# debian_sources DIR PKG...: the original tarball (*.orig.tar.*) of each Debian
# source package PKG, of sid or trixie, downloaded into DIR once: the newest
# version whose tarball the mirror serves (a mirror may lack some). apt works
# from a list of sources and a state of its own (in $TILU_PLATFORMS/apt), so
# the system's apt setup stays as it is.
TILU_PLATFORMS="${TILU_PLATFORMS:-${XDG_CACHE_HOME:-$HOME/.cache}/tilu-platforms}"
debian_sources() {
  local dir="$1" apt="$TILU_PLATFORMS/apt" p version; shift
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o APT::Sandbox::User=root)
  mkdir -p "$dir" "$apt/lists/partial" "$apt/archives/partial"
  (
    flock 9
    printf 'deb-src http://deb.debian.org/debian %s main\n' sid trixie >"$apt/sources.list.new"
    if ! cmp -s "$apt/sources.list.new" "$apt/sources.list" || [ -z "$(ls "$apt/lists" | grep -v partial)" ]; then
      mv "$apt/sources.list.new" "$apt/sources.list"
      apt-get -qq "${opts[@]}" -o 'Acquire::Check-Valid-Until=false' update || exit 1
    fi
    for p in "$@"; do
      for version in $(apt-cache "${opts[@]}" showsrc "$p" | sed -n 's/^Version: //p' | sort -ruV); do
        ls "$dir/${p}"_*.orig.tar.* >/dev/null 2>&1 && break
        # The tarball may come when the rest of the source package does not.
        (cd "$dir" && apt-get -qq "${opts[@]}" source --download-only "$p=$version" >/dev/null 2>&1) || true
      done
      ls "$dir/${p}"_*.orig.tar.* >/dev/null 2>&1 || { echo "no source of $p from Debian" >&2; exit 1; }
    done
  ) 9>"$TILU_PLATFORMS/apt.lock"
}

# wine_env: wine (Debian's wine64, 8.0) ready to run Windows programs, with a
# prefix of its own made once per machine in $TILU_PLATFORMS/wine.
wine_env() {
  need_packages wine64 || return 1
  export WINEPREFIX="$TILU_PLATFORMS/wine" WINEDEBUG=-all
  mkdir -p "$TILU_PLATFORMS"
  (
    flock 9
    [ -d "$WINEPREFIX" ] || wine cmd /c exit >/dev/null 2>&1 || true  # makes the prefix
  ) 9>"$TILU_PLATFORMS/wine.lock"
}
