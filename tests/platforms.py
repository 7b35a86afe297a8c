"""What the tests need of the system beyond Python, each capability named once
with the reason it may be missing. A test that needs one carries its marker
and is skipped where, and only where, the capability is missing; every test
module is collected everywhere. Child scripts import this module too (for
the memory readings).
"""
from __future__ import annotations

import os
import platform
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

try:
    import resource
except ImportError:  # Windows
    resource = None

LINUX = sys.platform.startswith("linux")
# A free-threaded build (no interpreter lock): its allocator, mimalloc, keeps the
# pages of freed objects for reuse rather than handing them back to the system.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
MACOS = sys.platform == "darwin"
WINDOWS = os.name == "nt"
POSIX = os.name == "posix"


def _can_symlink() -> bool:
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        try:
            os.symlink("target", os.path.join(d, "link"))
        except (OSError, NotImplementedError):  # Windows without the privilege
            return False
    return True


def _can_name_bytes() -> bool:
    """Whether a file name may hold bytes that are not UTF-8 (not on macOS's
    file systems, nor Windows')."""
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        try:
            os.mkdir(os.path.join(os.fsencode(d), b"\xff"))
        except (OSError, ValueError):
            return False
    return True


def _emulated() -> bool:
    """Whether this interpreter runs under a user-mode emulator (qemu-user), which
    shows the host's processor in /proc/cpuinfo: an x86 one under an arm64 Python."""
    try:
        cpuinfo = Path("/proc/cpuinfo").read_text(errors="replace")
    except OSError:
        return False
    x86_host = "vendor_id" in cpuinfo and "\nflags" in cpuinfo
    return x86_host != (platform.machine() in ("x86_64", "AMD64", "i686", "i386"))


def _mark(have: bool, reason: str):
    return pytest.mark.skipif(not have, reason=reason)


# (wine shows the host's /proc and /dev to Windows programs, as Z:\proc ...)
needs_proc = _mark(LINUX and Path("/proc/self/statm").is_file() and Path("/proc/self/fd").is_dir(),
                   "needs Linux's /proc/self (statm, status, fd)")
needs_clear_refs = _mark(LINUX and os.access("/proc/self/clear_refs", os.W_OK),
                         "needs Linux's /proc/self/clear_refs (resettable peak RSS)")
needs_fifo = _mark(hasattr(os, "mkfifo"), "needs os.mkfifo (POSIX named pipes)")
needs_sigint = _mark(POSIX, "sends SIGINT to a child process (POSIX signals; Windows has console events only)")
needs_fork = _mark(hasattr(os, "fork"), "needs os.fork (POSIX)")
needs_itimer = _mark(hasattr(__import__("signal"), "setitimer"), "needs signal.setitimer and SIGALRM (POSIX)")
needs_permissions = _mark(POSIX and os.geteuid() != 0,
                          "needs file permissions that apply (POSIX, not root)")
needs_symlinks = _mark(_can_symlink(), "needs symbolic links (on Windows a privilege)")
needs_dev_full = _mark(POSIX and os.path.exists("/dev/full"), "needs /dev/full (Linux, the BSDs)")
needs_ld_preload = _mark(LINUX, "needs LD_PRELOAD of Linux's dynamic loaders (macOS's dyld ignores it)")
needs_preexec = _mark(POSIX, "prepares a child between fork and exec (subprocess's preexec_fn: POSIX)")
needs_rlimit_fsize = _mark(POSIX and resource is not None and hasattr(resource, "RLIMIT_FSIZE"),
                           "needs RLIMIT_FSIZE, a file size limit past which writes fail with EFBIG (POSIX)")
needs_bytes_names = _mark(POSIX and _can_name_bytes(), "needs file names that are not UTF-8 (not on macOS or Windows)")

# Resident memory that the platform itself adds over a call and keeps: under
# qemu-user the code it translates on first use (about 10 MB over an
# interrupted covisibility call), none natively.
EMULATED = _emulated()
RSS_NOISE_MB = 24 if EMULATED else 0


def peak_rss_kb() -> int | None:
    """The process's peak resident memory in KiB, where the platform reports it."""
    if resource is not None:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak // 1024 if MACOS else peak  # macOS counts bytes, Linux KiB
    if WINDOWS:
        return _windows_memory("PeakWorkingSetSize")
    return None


def rss_kb() -> int | None:
    """The process's resident memory now in KiB, where the platform reports it."""
    if LINUX:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
    if WINDOWS:
        return _windows_memory("WorkingSetSize")
    return None


def _windows_memory(field: str) -> int:
    import ctypes
    from ctypes import wintypes

    class Counters(ctypes.Structure):  # PROCESS_MEMORY_COUNTERS
        _fields_ = [("cb", wintypes.DWORD), ("PageFaultCount", wintypes.DWORD),
                    *((name, ctypes.c_size_t) for name in (
                        "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                        "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage",
                        "PagefileUsage", "PeakPagefileUsage"))]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    get_info = kernel32.K32GetProcessMemoryInfo
    get_info.argtypes = [wintypes.HANDLE, ctypes.POINTER(Counters), wintypes.DWORD]
    get_info.restype = wintypes.BOOL
    counters = Counters(cb=ctypes.sizeof(Counters))
    if not get_info(kernel32.GetCurrentProcess(), ctypes.byref(counters), counters.cb):
        raise ctypes.WinError(ctypes.get_last_error())
    return getattr(counters, field) // 1024


def exported_symbols(path: str) -> set[str] | None:
    """The names a shared library exports, from the platform's nm (ELF, Mach-O),
    or None where there is none to ask."""
    import subprocess

    if shutil.which("nm") is None or WINDOWS:
        return None
    # Apple's nm has no -D; -g (external) -U (defined only) on Mach-O, whose C
    # names carry a leading underscore.
    args = ["nm", "-gU", path] if MACOS else ["nm", "-D", "--defined-only", path]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    return {n[1:] for n in names} if MACOS else names
