#!/usr/bin/env bash
# Run by scripts/chroot in a mount namespace of its own: mounts what the
# chroot ROOTFS needs, then runs COMMAND in it (instant).
#   scripts/chroot_enter.sh ROOTFS [NAME=VALUE...] [COMMAND [ARGS...]]
source "$(dirname "$0")/common.sh"
R="$1"; shift
HOST_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}"
bind() {  # bind SOURCE [ro]: SOURCE at the same path inside
  mkdir -p "$R$1"
  mount --bind "$1" "$R$1"
  [ "${2:-}" != ro ] || mount -o remount,bind,ro "$R$1"
}
mount -t proc proc "$R/proc"
mount --rbind /dev "$R/dev"
mount -t tmpfs -o mode=1777 tmpfs "$R/tmp"
bind "$ROOT"
shared="$(dirname "$ROOT")/shared"
[ -d "$shared" ] && bind "$shared" ro
pip_cache="${PIP_CACHE_DIR:-$HOST_CACHE/pip}" zig_cache="${ZIG_GLOBAL_CACHE_DIR:-$HOST_CACHE/zig}"
uv_cache="${UV_CACHE_DIR:-$HOST_CACHE/uv}" build_cache="${TILU_BUILD_CACHE:-$HOST_CACHE/tilu-build}"
mkdir -p "$pip_cache" "$zig_cache" "$uv_cache" "$build_cache"
for d in "$pip_cache" "$zig_cache" "$uv_cache" "$build_cache"; do bind "$d"; done
tools="${TILU_TOOLS:-$HOST_CACHE/tilu-tools}"  # zig of scripts/wheels, at the same path
[ -d "$tools" ] && bind "$tools" ro
for d in ${TILU_CHROOT_LOCAL_DIRS:-}; do bind "$d" ro; done
cwd="$PWD"
case "$cwd/" in "$ROOT"/*) ;; *) cwd="$ROOT" ;; esac
vars=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
      LANG=C.UTF-8 PIP_CACHE_DIR="$pip_cache" ZIG_GLOBAL_CACHE_DIR="$zig_cache"
      UV_CACHE_DIR="$uv_cache" UV_LINK_MODE=copy)  # no hard link from a bind mount
for v in TERM CI SSL_CERT_FILE SSL_CERT_DIR $(compgen -e | grep -E '^(PIP|UV)_' | grep -vE '^(PIP|UV)_CACHE_DIR$|^UV_LINK_MODE$' || true); do
  [ -n "${!v:-}" ] && vars+=("$v=${!v}")
done
[ $# -gt 0 ] || set -- bash
exec chroot "$R" /usr/bin/env -i "${vars[@]}" /bin/sh -c 'cd "$1" && shift && exec /usr/bin/env "$@"' \
  sh "$cwd" "$@"
