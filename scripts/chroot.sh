#!/usr/bin/env bash
# Runs a command in a Debian sid chroot; without a command, a shell. Cold
# (the chroot made): amd64 about a minute, arm64 half a minute; warm: instant.
#   scripts/chroot [--arch arm64] [NAME=VALUE...] [COMMAND [ARGS...]]
#   e.g. scripts/chroot PYTHON=/usr/bin/python3.14 scripts/test
#        scripts/chroot --arch arm64 /usr/bin/python3.13 -c 'import platform; print(platform.machine())'
#
# Two chroots, each made once and kept in $TILU_CHROOT_CACHE (default
# ~/.cache/tilu-chroot), made anew when its package list, the suite or the
# mirror changes. Needs root. The Pythons are matrix.toml's.
#   amd64 (default)  the Pythons of kind "chroot" (with their headers and venv),
#                    g++, cmake, ninja and ccache: installed by mmdebstrap's "essential"
#                    variant, maintainer scripts run.
#   arm64            for aarch64 the Pythons of the manylinux_aarch64 wheels, with
#                    their headers and venv, run by qemu-user (Debian's
#                    qemu-user-static, registered with binfmt_misc, its interpreter
#                    loaded at registration so that it works inside the chroot).
#                    Made by the "extract" variant: the packages are only unpacked,
#                    no maintainer script runs under emulation (seconds, not the
#                    quarter of an hour of an emulated "essential" install).
#                    Pythons write their byte code on first use.
# The checkout, ../shared (read-only), pip's, uv's and zig's caches, the wheels'
# builds (scripts/wheels) and the tools' environment are at the same paths inside (scripts/chroot_enter.sh).
source "$(dirname "$0")/common.sh"
[ "$(id -u)" = 0 ] || { echo "scripts/chroot needs root (chroot, mounts)" >&2; exit 1; }

SUITE=sid
ARCH=amd64
if [ "${1:-}" = --arch ]; then ARCH="$2"; shift 2; fi
case "$ARCH" in
  amd64)
    VARIANT=essential PACKAGES=()
    for v in $(matrix versions --kind chroot); do PACKAGES+=("python$v" "python$v-dev" "python$v-venv"); done
    PACKAGES+=(g++ cmake ninja-build ccache ca-certificates) ;;
  arm64)
    VARIANT=extract PACKAGES=(base-files dash bash coreutils grep sed ca-certificates)
    for v in $(matrix versions --wheel manylinux_aarch64); do PACKAGES+=("python$v" "python$v-venv" "libpython$v-dev"); done ;;
  *) echo "scripts/chroot: no chroot for the architecture $ARCH (amd64, arm64)" >&2; exit 2 ;;
esac
CACHE="${TILU_CHROOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tilu-chroot}"

host_mirror() {  # the host's Debian mirror: the first ".../debian" URI of its apt sources
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -hoE '^[[:space:]]*(URIs:|deb)[[:space:]]+(\[[^]]*\][[:space:]]+)?[a-z+]+://[^[:space:]]+' "$f" \
      | grep -oE '[a-z+]+://[^[:space:]]+' | grep -E '/debian/?$' | head -1
  done | head -1
}
MIRROR="${TILU_DEBIAN_MIRROR:-$(host_mirror)}"
MIRROR="${MIRROR:-http://deb.debian.org/debian}"

# Local directories that the host's pip configuration names (find-links, file://
# indexes): bound read-only into the chroot so that pip finds them there too.
pip_conf_files=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf")
local_dirs() {
  local f
  {
    for f in "${pip_conf_files[@]}"; do [ -f "$f" ] && cat "$f"; done
    compgen -e | grep '^PIP_' | while read -r v; do echo "${!v}"; done
  } | tr ' =\t' '\n\n\n' | sed -n -e 's|^file://||' -e '\|^/|p' \
    | while read -r p; do
        p="${p%/}"
        # a "simple" index links to its files beside it ("../../files/...")
        case "$p" in */simple) p="$(dirname "$p")" ;; esac
        [ -d "$p" ] || p="$(dirname "$p")"
        [ -d "$p" ] && case "$p" in /|/etc|/etc/*|/usr|/usr/*|/root|/root/*|/tmp|/tmp/*) ;; *) echo "$p" ;; esac
      done | sort -u
}

key="$(printf '%s\n' "$SUITE" "$MIRROR" "${PACKAGES[@]}" | sha1sum | cut -c1-12)"
# amd64: sid-<key>, as before there were two; others: sid-<arch>-<key>.
# Each made under a lock of its own.
name="$SUITE-$key" old="$SUITE-????????????" new=.new lock=.lock
[ "$ARCH" = amd64 ] || name="$SUITE-$ARCH-$key" old="$SUITE-$ARCH-????????????" new=".new-$ARCH" lock=".lock-$ARCH"
R="$CACHE/$name"
mkdir -p "$CACHE"
exec 8>"$CACHE/$lock"
flock 8
if [ "$ARCH" = arm64 ]; then  # qemu-aarch64 registered, its interpreter loaded at once (flag F)
  need_packages qemu-user-static binfmt-support
  mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-aarch64 2>/dev/null || update-binfmts --enable qemu-aarch64
  grep -q '^flags: .*F' /proc/sys/fs/binfmt_misc/qemu-aarch64 ||
    { echo "scripts/chroot: qemu-aarch64 is registered without the flag F" >&2; exit 1; }
fi
if [ ! -d "$R" ]; then
  need_packages mmdebstrap
  echo "scripts/chroot: making the $SUITE $ARCH chroot $R from $MIRROR" >&2
  t0=$SECONDS
  rm -rf "$CACHE/$new".* "$CACHE"/$old
  tmp="$(mktemp -d "$CACHE/$new.XXXXXX")"
  # The snapshot mirror's sid Release file may be past its Valid-Until date.
  mmdebstrap --quiet --variant="$VARIANT" --architectures="$ARCH" --components=main \
    --include="$(IFS=,; echo "${PACKAGES[*]}")" \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/info/*' --dpkgopt='path-exclude=/usr/share/locale/*' \
    "$SUITE" "$tmp" "deb $MIRROR $SUITE main"
  mv "$tmp" "$R"
  echo "scripts/chroot: made in $((SECONDS - t0)) s, $(du -sh "$R" | cut -f1)" >&2
fi

# The host's local CA certificates and pip configuration, refreshed on each entry.
certs=/usr/local/share/ca-certificates
if [ "$VARIANT" = extract ]; then  # no update-ca-certificates ran: the host's bundle
  mkdir -p "$R/etc/ssl/certs" && cp -L /etc/ssl/certs/ca-certificates.crt "$R/etc/ssl/certs/"
elif [ -d "$certs" ] && ! diff -rq "$certs" "$R$certs" >/dev/null 2>&1; then
  rm -rf "$R$certs" && mkdir -p "$R$certs" && cp -rL "$certs/." "$R$certs/"
  chroot "$R" update-ca-certificates >/dev/null 2>&1
fi
for f in "${pip_conf_files[@]}"; do
  dest="$R${f/#$HOME//root}"
  if [ -f "$f" ]; then mkdir -p "$(dirname "$dest")" && cp "$f" "$dest"; else rm -f "$dest"; fi
done
[ -d /etc/xdg/pip ] && mkdir -p "$R/etc/xdg/pip" && cp -rL /etc/xdg/pip/. "$R/etc/xdg/pip/"
cp -L /etc/resolv.conf "$R/etc/resolv.conf" 2>/dev/null || true
cp -L /etc/hosts "$R/etc/hosts" 2>/dev/null || true
exec 8>&-
dev tools >/dev/null  # made by the host: the chroot sees the tools (uv, zig) read-only

TILU_CHROOT_LOCAL_DIRS="$(local_dirs | tr '\n' ' ')" \
  exec unshare --mount --propagation private "$ROOT/scripts/chroot_enter.sh" "$R" "$@"
