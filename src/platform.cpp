#include "platform.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <linux/random.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "errors.hpp"
#include "interrupt.hpp"

namespace tilu {

namespace {
const std::size_t kPageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
// A file is read in pieces of at most this many bytes, with a look for
// pending signals before each: signals do not interrupt the read(2) of a
// regular file, and an endless file (/dev/zero) must be stoppable too.
constexpr std::size_t kReadPiece = std::size_t{8} << 20;
}  // namespace

// --- files ---------------------------------------------------------------------

FileBuffer::FileBuffer(FileBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      discarded_(std::exchange(other.discarded_, 0)) {}

FileBuffer& FileBuffer::operator=(FileBuffer&& other) noexcept {
    FileBuffer tmp(std::move(other));
    std::swap(data_, tmp.data_);
    std::swap(size_, tmp.size_);
    std::swap(capacity_, tmp.capacity_);
    std::swap(discarded_, tmp.discarded_);
    return *this;
}

FileBuffer::~FileBuffer() {
    if (data_) ::munmap(data_, capacity_);
}

void FileBuffer::grow(std::size_t capacity) {
    capacity = (capacity + kPageSize - 1) / kPageSize * kPageSize;
    void* p = data_ ? ::mremap(data_, capacity_, capacity, MREMAP_MAYMOVE)
                    : ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
    capacity_ = capacity;
}

void FileBuffer::discard_pages_before(std::size_t offset) {
    // discarded_ only ever holds page boundaries.
    const std::size_t end = offset / kPageSize * kPageSize;
    ::madvise(data_ + discarded_, end - discarded_, MADV_DONTNEED);
    discarded_ = end;
}

void FileBuffer::release_pages(std::size_t begin, std::size_t end) noexcept {
    // Advice only: if refused, the pages stay until the buffer goes.
    ::madvise(data_ + begin, end - begin, MADV_DONTNEED);
}

std::size_t page_size() noexcept { return kPageSize; }

void return_free_heap_memory() noexcept {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

namespace {

class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() { ::close(fd_); }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

private:
    int fd_;
};

[[noreturn]] void throw_errno(int e) { throw OsError{e, {}}; }

}  // namespace

FileBuffer read_whole_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        throw OsError{0, "file name contained an unexpected NUL byte"};
    std::string cpath(path);
    int fd;
    while ((fd = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno != EINTR) throw_errno(errno);
        interrupt_point();  // e.g. a FIFO that no writer has opened
    }
    FdGuard guard(fd);

    // The size from fstat is a first guess only: the file is read to its end.
    struct stat st {};
    std::size_t guess = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        guess = static_cast<std::size_t>(st.st_size);
    FileBuffer buf;
    buf.grow(guess + 1);  // one byte more, so that the end shows without a regrow
    for (;;) {
        if (buf.size_ == buf.capacity_) buf.grow(buf.capacity_ * 2);
        interrupt_point();
        const std::size_t piece = std::min(buf.capacity_ - buf.size_, kReadPiece);
        const ssize_t got = ::read(fd, buf.data_ + buf.size_, piece);
        if (got < 0) {
            if (errno == EINTR) continue;  // to the look above
            throw_errno(errno);
        }
        if (got == 0) break;
        buf.size_ += static_cast<std::size_t>(got);
    }
    return buf;
}

// --- standard streams ------------------------------------------------------------

namespace {

// What write_all returns when write(2) took no byte of a non-empty rest.
constexpr int kWroteNothing = -1;

// Writes all of `bytes` to `fd`; a write interrupted by a signal (EINTR) is
// retried after `on_interrupt()`, which may throw. Returns 0 when done, else
// the errno of the failed write or kWroteNothing.
template <class OnInterrupt>
int write_all(int fd, std::string_view bytes, OnInterrupt on_interrupt) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno != EINTR) return errno;
            on_interrupt();
            continue;
        }
        if (n == 0) return kWroteNothing;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace

void print_stdout(std::string_view text) {
    // Blocks while standard output is a full pipe: a signal handler's
    // exception ends the wait, and the call.
    const int status = write_all(1, text, interrupt_point);
    if (status == 0 || status == EBADF) return;
    throw Panic(std::string("failed printing to stdout: ") +
                (status == kWroteNothing ? "failed to write whole buffer" : os_error_text(status)));
}

void print_stderr(std::string_view text) noexcept {
    write_all(2, text, [] {});  // a diagnostic on its way to the caller: no stopping it
}

// --- errors and random bits --------------------------------------------------------

std::string os_error_text(int errno_value) {
    char buf[256];
    // glibc's GNU strerror_r: returns the text, not always in buf.
    const char* text = strerror_r(errno_value, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errno_value) + ")";
}

std::uint64_t random_u64() noexcept {
    std::uint64_t bits = 0;
    // The system call itself: glibc has the getrandom() wrapper only since 2.25.
    if (::syscall(SYS_getrandom, &bits, sizeof bits, GRND_NONBLOCK) != static_cast<long>(sizeof bits))
        bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return bits;
}

}  // namespace tilu
