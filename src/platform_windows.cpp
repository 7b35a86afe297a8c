// The system calls of system.hpp on Windows. Files are read through the C
// runtime's descriptors (_wopen, _read), whose errno values give the same
// exception kinds and texts as on POSIX systems, and at explicit offsets
// with ReadFile on the descriptor's handle; paths arrive in UTF-8 and
// are opened by their UTF-16 form. The standard streams are written with
// WriteFile on the process's standard handles, which the runtime keeps in
// step with descriptors 1 and 2 (_dup2, _close), and which, unlike _write on
// a closed descriptor, do not end the process through the runtime's invalid
// parameter handler.
#if defined(_WIN32)

#include "system.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tilu::system {

// --- memory ----------------------------------------------------------------------

std::size_t page_size() noexcept {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

void* map_pages(std::size_t size) noexcept {
    return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void* grow_pages(void* pages, std::size_t old_size, std::size_t new_size) noexcept {
    void* p = map_pages(new_size);
    if (p) {
        std::memcpy(p, pages, old_size);
        unmap_pages(pages, old_size);
    }
    return p;
}

void unmap_pages(void* pages, std::size_t) noexcept { ::VirtualFree(pages, 0, MEM_RELEASE); }

void discard_pages(void* pages, std::size_t size) noexcept {
    // Decommitted pages go at once; touching them again would fault, and
    // nothing does. MEM_RELEASE of the whole range frees them with the rest.
    ::VirtualFree(pages, size, MEM_DECOMMIT);
}

// Large pages on Windows need a privilege that processes lack by default.
void advise_large_pages(void*, std::size_t, bool) noexcept {}

void trim_heap() noexcept {}  // the Windows heap decommits large free blocks on its own

// --- files and the standard streams ------------------------------------------------

int open_for_reading(const std::string& path) noexcept {
    const int utf8_size = static_cast<int>(std::min<std::size_t>(path.size(), INT_MAX));
    const int wide_size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), utf8_size, nullptr, 0);
    if (wide_size <= 0 && !path.empty()) return -EINVAL;
    std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), utf8_size, wide.data(), wide_size);
    const int fd = ::_wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT | _O_SEQUENTIAL);
    if (fd >= 0) return fd;
    const int error = errno;
    // Windows refuses to open a directory with "access denied"; POSIX systems
    // say what it is (EISDIR, which the C runtime defines too).
    if (error == EACCES) {
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return -EISDIR;
    }
    return -error;
}

std::uint64_t regular_file_size(int fd) noexcept {
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG || st.st_size <= 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

namespace {

// The errno value nearest to a Win32 error of ReadFile or WriteFile.
int errno_of_io_error(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_ACCESS_DENIED: return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        default: return EIO;
    }
}

}  // namespace

std::ptrdiff_t read_at(int fd, void* buf, std::size_t size, std::uint64_t offset) noexcept {
    // ReadFile at the offset an OVERLAPPED names; a handle without positions
    // (a pipe) ignores it and reads on, so -ESPIPE never comes from here.
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) return -EBADF;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, DWORD{1} << 30));
    if (::ReadFile(handle, buf, chunk, &got, &at)) return static_cast<std::ptrdiff_t>(got);
    const DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;  // the end of a file or pipe
    return -errno_of_io_error(error);
}

std::ptrdiff_t read(int fd, void* buf, std::size_t size) noexcept {
    const int n = ::_read(fd, buf, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
    return n < 0 ? -errno : n;
}

void close(int fd) noexcept { ::_close(fd); }

std::ptrdiff_t write_standard(int stream, const void* buf, std::size_t size) noexcept {
    const HANDLE handle = ::GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -EBADF;
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, DWORD{1} << 30));
    if (!::WriteFile(handle, buf, chunk, &written, nullptr)) return -errno_of_io_error(::GetLastError());
    return static_cast<std::ptrdiff_t>(written);
}

// --- errors and random bytes ---------------------------------------------------------

std::string error_text(int errno_value) {
    char buf[256] = {};
    if (::strerror_s(buf, sizeof buf, errno_value) != 0 || !buf[0])
        return "Unknown error " + std::to_string(errno_value);
    return buf;
}

bool random_bytes(void* buf, std::size_t size) noexcept {
    return size <= ULONG_MAX &&
           BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buf), static_cast<ULONG>(size),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace tilu::system

#endif  // defined(_WIN32)
