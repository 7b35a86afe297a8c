#!/bin/sh
# The C++ compiler of the wheels: zig's clang (PyPI package ziglang). By
# default for glibc 2.17 (manylinux2014) of this machine's architecture;
# TILU_ZIG_TARGET names another target (aarch64-linux-gnu.2.17,
# x86_64-linux-musl, x86_64-windows-gnu: scripts/wheels). zig's own libc++ is
# linked in statically, so that a wheel needs nothing of the system but the C
# library. CMake wants a compiler executable, hence this file:
# CXX=scripts/zig-c++.sh. ZIG names the zig binary (default: python3 -m ziglang).
target="${TILU_ZIG_TARGET:-$(uname -m)-linux-gnu.2.17}"
if [ -n "${ZIG:-}" ]; then exec "$ZIG" c++ -target "$target" "$@"; fi
exec python3 -m ziglang c++ -target "$target" "$@"
