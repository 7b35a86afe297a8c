// The system calls of system.hpp on POSIX systems: Linux (glibc from 2.17
// on, musl), macOS and the BSDs. The Linux-only calls (mremap, getrandom,
// malloc_trim) each have a portable fallback beside them.
#if !defined(_WIN32)

#include "system.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <sys/syscall.h>
// getrandom(2)'s flag, from the kernel's <linux/random.h>; not included, as
// it needs the kernel's headers, which musl systems do not always have.
#ifndef GRND_NONBLOCK
#define GRND_NONBLOCK 0x0001
#endif
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tilu::system {

// --- memory ----------------------------------------------------------------------

std::size_t page_size() noexcept { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

void* map_pages(std::size_t size) noexcept {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* grow_pages(void* pages, std::size_t old_size, std::size_t new_size) noexcept {
#if defined(__linux__)
    // The kernel moves the page table entries: no byte is copied.
    void* p = ::mremap(pages, old_size, new_size, MREMAP_MAYMOVE);
    return p == MAP_FAILED ? nullptr : p;
#else
    void* p = map_pages(new_size);
    if (p) {
        std::memcpy(p, pages, old_size);
        unmap_pages(pages, old_size);
    }
    return p;
#endif
}

void unmap_pages(void* pages, std::size_t size) noexcept { ::munmap(pages, size); }

void discard_pages(void* pages, std::size_t size) noexcept {
    // Advice only: if refused, the pages stay until they are unmapped.
#if defined(__linux__)
    ::madvise(pages, size, MADV_DONTNEED);  // the pages go at once
#elif defined(MADV_FREE)
    ::madvise(pages, size, MADV_FREE);  // macOS, the BSDs: taken when memory is wanted
#else
    ::posix_madvise(pages, size, POSIX_MADV_DONTNEED);
#endif
}

void advise_large_pages(void* pages, std::size_t size, bool large) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(pages, size, large ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);  // refused where there are none
#else
    (void)pages, (void)size, (void)large;
#endif
}

void trim_heap() noexcept {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

// --- files and the standard streams ------------------------------------------------

int open_for_reading(const std::string& path) noexcept {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

std::uint64_t regular_file_size(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::ptrdiff_t read_at(int fd, void* buf, std::size_t size, std::uint64_t offset) noexcept {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return -EOVERFLOW;
    const ssize_t n = ::pread(fd, buf, size, static_cast<off_t>(offset));
    return n < 0 ? -errno : n;
}

std::ptrdiff_t read(int fd, void* buf, std::size_t size) noexcept {
    const ssize_t n = ::read(fd, buf, size);
    return n < 0 ? -errno : n;
}

void close(int fd) noexcept { ::close(fd); }

std::ptrdiff_t write_standard(int stream, const void* buf, std::size_t size) noexcept {
    const ssize_t n = ::write(stream, buf, size);
    return n < 0 ? -errno : n;
}

// --- errors and random bytes ---------------------------------------------------------

namespace {

// strerror_r comes in two forms: glibc's GNU one returns the text, which is
// not always in `buf`; the XSI one (musl, macOS, the BSDs) fills `buf` and
// returns 0 or an error number. Overloads on the result pick the right use.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int status, const char* buf) {
    return status == 0 || buf[0] ? buf : nullptr;
}

}  // namespace

std::string error_text(int errno_value) {
    char buf[256] = {};
    const char* text = strerror_text(::strerror_r(errno_value, buf, sizeof buf), buf);
    return text ? text : "Unknown error " + std::to_string(errno_value);
}

bool random_bytes(void* buf, std::size_t size) noexcept {
#if defined(__linux__) && defined(SYS_getrandom)
    // By number: glibc before 2.25 has no getrandom() wrapper. Fails rather
    // than wait for the entropy pool.
    return ::syscall(SYS_getrandom, buf, size, GRND_NONBLOCK) == static_cast<long>(size);
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || \
    defined(__DragonFly__)
    ::arc4random_buf(buf, size);
    return true;
#else
    (void)buf;
    (void)size;
    return false;
#endif
}

}  // namespace tilu::system

#endif  // !defined(_WIN32)
