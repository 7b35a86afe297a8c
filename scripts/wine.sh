#!/usr/bin/env bash
# Runs a Windows program under wine (Debian's wine64, 8.0, installed if
# missing) with a prefix of its own, made once per machine in
# $TILU_PLATFORMS/wine (cold about half a minute; warm, wine's start: a second).
#   scripts/wine PROGRAM.exe ARGS...
source "$(dirname "$0")/common.sh"
need_packages wine64
export WINEPREFIX="$TILU_PLATFORMS/wine" WINEDEBUG=-all
mkdir -p "$TILU_PLATFORMS"
(
  flock 9
  [ -d "$WINEPREFIX" ] || wine cmd /c exit >/dev/null 2>&1 || true  # makes the prefix
) 9>"$TILU_PLATFORMS/wine.lock"
exec wine "$@"
