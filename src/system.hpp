// The system calls under platform.cpp: one implementation for POSIX systems
// (platform_posix.cpp: Linux, macOS, the BSDs) and one for Windows
// (platform_windows.cpp). Each function is a thin wrapper that makes one call
// and reports a failure as a negative errno value (-ENOENT); the retries, the
// loops and the messages are platform.cpp's. On Windows the errno values are
// those of the C runtime, whose calls set them, or the nearest one to a
// Win32 error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tilu::system {

// --- memory ----------------------------------------------------------------------

std::size_t page_size() noexcept;

// `size` bytes of fresh zeroed pages, readable and writable; nullptr when the
// system refuses. Sizes are multiples of page_size().
void* map_pages(std::size_t size) noexcept;
// The `old_size` bytes at `pages` in `new_size` bytes of pages, at the same
// place or another (the old ones then go); nullptr when the system refuses,
// and `pages` stays as it was.
void* grow_pages(void* pages, std::size_t old_size, std::size_t new_size) noexcept;
void unmap_pages(void* pages, std::size_t size) noexcept;
// Advice that the `size` bytes at `pages` (whole pages) will not be read
// again: the system may take them back.
void discard_pages(void* pages, std::size_t size) noexcept;
// Advice on the `size` bytes of pages at `pages`: `large`, that they are about
// to be filled front to back, so that the system may back them with large
// pages where it has them (Linux: transparent huge pages); not `large`, that
// they will go back a few at a time, so that it keeps them in ordinary pages.
// Elsewhere nothing.
void advise_large_pages(void* pages, std::size_t size, bool large) noexcept;

// Hands the free memory of the C allocator's heap back to the system where
// the allocator does that on request; elsewhere nothing.
void trim_heap() noexcept;

// --- files and the standard streams ------------------------------------------------

// Opens the file at `path` (bytes on POSIX, UTF-8 on Windows; no NUL) for
// reading: a descriptor, or -errno.
int open_for_reading(const std::string& path) noexcept;
// The size of the file open at `fd` when it is a regular file, else 0.
std::uint64_t regular_file_size(int fd) noexcept;
// Reads at most `size` bytes at `offset` of the file into `buf`, without using
// or moving the descriptor's own offset, which a forked child shares: the
// count read (0 at the end of the file), or -errno; -ESPIPE for a file
// without positions (a pipe, a FIFO, a terminal), which read() then takes.
std::ptrdiff_t read_at(int fd, void* buf, std::size_t size, std::uint64_t offset) noexcept;
// Reads at most `size` bytes from the descriptor's own offset into `buf`: the
// count read (0 at the end of the file), or -errno.
std::ptrdiff_t read(int fd, void* buf, std::size_t size) noexcept;
void close(int fd) noexcept;
// Writes at most `size` bytes of `buf` to the standard output (`stream` 1) or
// error (2): the count written, or -errno (-EBADF when the stream is closed).
std::ptrdiff_t write_standard(int stream, const void* buf, std::size_t size) noexcept;

// --- errors and random bytes ---------------------------------------------------------

// The system's description of an errno value ("No such file or directory").
std::string error_text(int errno_value);

// Fills `buf` with `size` random bytes; false when the system has none to
// give without waiting.
bool random_bytes(void* buf, std::size_t size) noexcept;

}  // namespace tilu::system
