// The portable half of the platform layer: buffers, loops, retries and
// messages, over the system calls of system.hpp.
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <new>
#include <utility>

#include "errors.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "system.hpp"

namespace tilu {

namespace {
const std::size_t kPageSize = system::page_size();
// A file is read in pieces of at most this many bytes, with a look for
// pending signals before each: signals do not interrupt the read(2) of a
// regular file, and an endless file (/dev/zero) must be stoppable too.
constexpr std::size_t kReadPiece = std::size_t{8} << 20;

std::string os_error_text(int errno_value) {
    return messages::os_error(system::error_text(errno_value), errno_value);
}

OsErrorKind os_error_kind(int errno_value) {
    switch (errno_value) {
        case ENOENT: return OsErrorKind::NotFound;
        case EPERM:
        case EACCES: return OsErrorKind::PermissionDenied;
        case EEXIST: return OsErrorKind::AlreadyExists;
        case EAGAIN: return OsErrorKind::WouldBlock;
        case EINTR: return OsErrorKind::Interrupted;
        case ETIMEDOUT: return OsErrorKind::TimedOut;
        case EPIPE: return OsErrorKind::BrokenPipe;
        case ECONNREFUSED: return OsErrorKind::ConnectionRefused;
        case ECONNRESET: return OsErrorKind::ConnectionReset;
        case ECONNABORTED: return OsErrorKind::ConnectionAborted;
        default: return OsErrorKind::Other;
    }
}

[[noreturn]] void throw_os_error(int errno_value) {
    throw OsError{os_error_kind(errno_value), os_error_text(errno_value)};
}

}  // namespace

// --- files ---------------------------------------------------------------------

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      discarded_(std::exchange(other.discarded_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    PageBuffer tmp(std::move(other));
    std::swap(data_, tmp.data_);
    std::swap(size_, tmp.size_);
    std::swap(capacity_, tmp.capacity_);
    std::swap(discarded_, tmp.discarded_);
    return *this;
}

PageBuffer::~PageBuffer() {
    if (data_) system::unmap_pages(data_, capacity_);
}

void PageBuffer::grow(std::size_t capacity) {
    capacity = (capacity + kPageSize - 1) / kPageSize * kPageSize;
    void* p = data_ ? system::grow_pages(data_, capacity_, capacity) : system::map_pages(capacity);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<unsigned char*>(p);
    capacity_ = capacity;
    // Each fault of a page costs about as much as reading the page from the
    // page cache; a large page takes the place of 512 faults.
    system::advise_large_pages(data_, capacity_, true);
}

void PageBuffer::filled() noexcept {
    if (data_) system::advise_large_pages(data_, capacity_, false);
}

void PageBuffer::release_pages(std::size_t begin, std::size_t end) noexcept {
    // Advice only: if refused, the pages stay until the buffer goes.
    system::discard_pages(data_ + begin, end - begin);
}

void PageBuffer::discard_pages_before(std::size_t offset) {
    // discarded_ only ever holds page boundaries.
    const std::size_t end = offset / kPageSize * kPageSize;
    release_pages(discarded_, end);
    discarded_ = end;
}

std::size_t page_size() noexcept { return kPageSize; }

void return_free_heap_memory() noexcept { system::trim_heap(); }

namespace {

class FileGuard {
public:
    explicit FileGuard(int fd) : fd_(fd) {}
    ~FileGuard() { system::close(fd_); }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

private:
    int fd_;
};

}  // namespace

PageBuffer read_whole_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        throw OsError{OsErrorKind::Other, messages::kNulInPath};
    const std::string cpath(path);
    int fd;
    while ((fd = system::open_for_reading(cpath)) < 0) {
        if (fd != -EINTR) throw_os_error(-fd);
        interrupt_point();  // e.g. a FIFO that no writer has opened
    }
    FileGuard guard(fd);

    // The size of a regular file is a first guess only: the file is read to
    // its end.
    const std::uint64_t guess = std::min<std::uint64_t>(system::regular_file_size(fd),
                                                         std::numeric_limits<std::size_t>::max() / 2);
    PageBuffer buf;
    buf.room(static_cast<std::size_t>(guess) + 1);  // one byte more, so that the end shows without a regrow
    // Each piece is read at its offset in the file: a signal handler that runs
    // between pieces may fork, and the child then shares the descriptor's
    // offset. A file without positions (a FIFO) is read as a stream.
    bool positional = true;
    for (;;) {
        unsigned char* into = buf.room(1);
        interrupt_point();
        const std::size_t piece = std::min(buf.capacity() - buf.size(), kReadPiece);
        const std::size_t offset = buf.size();
        std::ptrdiff_t got = positional ? system::read_at(fd, into, piece, offset) : system::read(fd, into, piece);
        if (got == -ESPIPE && positional) {
            positional = false;
            got = system::read(fd, into, piece);
        }
        if (got < 0) {
            if (got == -EINTR) continue;  // to the look above
            throw_os_error(static_cast<int>(-got));
        }
        if (got == 0) break;
        buf.commit(static_cast<std::size_t>(got));
    }
    return buf;
}

// --- standard streams ------------------------------------------------------------

namespace {

// What write_all returns when a write took no byte of a non-empty rest.
constexpr int kWroteNothing = -1;

// Writes all of `bytes` to standard stream `stream` (1 or 2); a write
// interrupted by a signal (EINTR) is retried after `on_interrupt()`, which may
// throw. Returns 0 when done, else the errno value of the failed write or
// kWroteNothing.
template <class OnInterrupt>
int write_all(int stream, std::string_view bytes, OnInterrupt on_interrupt) {
    while (!bytes.empty()) {
        const std::ptrdiff_t n = system::write_standard(stream, bytes.data(), bytes.size());
        if (n < 0) {
            if (n != -EINTR) return static_cast<int>(-n);
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
    const std::string reason = status == kWroteNothing ? messages::kStdoutWroteNothing : os_error_text(status);
    throw Panic(messages::kStdoutFailed + reason);
}

void print_stderr(std::string_view text) noexcept {
    write_all(2, text, [] {});  // a diagnostic on its way to the caller: no stopping it
}

// --- random bits ----------------------------------------------------------------------

std::uint64_t random_u64() noexcept {
    std::uint64_t bits = 0;
    if (!system::random_bytes(&bits, sizeof bits))
        bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return bits;
}

}  // namespace tilu
