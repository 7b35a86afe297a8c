// What the core asks of the operating system: whole files in memory, pages
// and heap memory given back, the standard output and error streams, random
// bytes. The logic is portable (platform.cpp); it calls the system through
// system.hpp, which platform_posix.cpp (Linux, macOS, the BSDs) and
// platform_windows.cpp implement. Those two are the only files of the
// extension that include system headers.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace tilu {

// Bytes in pages of their own (an anonymous mapping; on Windows, pages of
// VirtualAlloc): a whole file. Growing moves no byte where the system can remap pages
// (Linux). A large buffer asks for the system's large pages while it is being
// filled (fewer page faults; Linux's transparent huge pages). As a reader
// moves forward it hands back the pages it has passed, so that the records
// built from a large file do not sit in memory beside all of it.
class PageBuffer {
public:
    PageBuffer() = default;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    const unsigned char* data() const { return data_; }
    unsigned char* data() { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }

    // Room for at least `bytes` bytes after size(), growing the buffer (at
    // least doubling it) when it has less; throws std::bad_alloc when the
    // system refuses. Returns data() + size().
    unsigned char* room(std::size_t bytes) {
        if (bytes > capacity_ - size_) grow(std::max(size_ + bytes, 2 * capacity_));
        return data_ + size_;
    }
    // The next `bytes` bytes of the room are filled.
    void commit(std::size_t bytes) { size_ += bytes; }

    // A multiple of any page size: pages are handed back in runs of at least
    // this many bytes, each run a system call.
    static constexpr std::size_t kDiscardBatch = std::size_t{4} << 20;

    // Gives the whole pages before `offset` back to the system, in batches
    // of kDiscardBatch bytes; the bytes there must not be read again. Called
    // after every record, so the test that nothing is due is inline.
    void discard_before(std::size_t offset) {
        if (offset >= discarded_ + kDiscardBatch) discard_pages_before(offset);
    }

    // Gives the pages of [begin, end) back to the system; both are multiples
    // of page_size() and end <= capacity(). The bytes there must not be read
    // again.
    void release_pages(std::size_t begin, std::size_t end) noexcept;

    // The buffer is filled, and its pages will now go back a few at a time
    // (a record's keypoints when the record goes): from here on the system
    // keeps it in pages of the ordinary size, so that it does not gather the
    // pages of records that remain into large pages again.
    void filled() noexcept;

private:
    void discard_pages_before(std::size_t offset);
    void grow(std::size_t capacity);

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t discarded_ = 0;
};

// The size of the system's memory pages.
std::size_t page_size() noexcept;

// Hands the free memory of the C allocator's heap back to the system where
// the allocator can do so on request (glibc: malloc_trim); elsewhere nothing.
void return_free_heap_memory() noexcept;

// Opens `path` as given (no expansion or joining; on Windows it is UTF-8),
// reads it to its end and closes it. Throws OsError (a NUL byte in the path,
// open or read failures), or what interrupt_point() throws: it is called
// while opening or reading waits and a signal comes (EINTR), and between
// pieces of the file.
PageBuffer read_whole_file(std::string_view path);

// Writes `text` whole to the standard output (file descriptor 1), past any
// buffering of the interpreter, in one write(2) where the system takes it
// whole, so that the lines of calls on several threads do not mix. A closed stream drops the text; any other
// failure throws Panic "failed printing to stdout: <reason>", the reason being
// the system's text of the error and its number, or "failed to write whole
// buffer" when a write takes no byte. While a write waits and a signal comes
// (EINTR), interrupt_point() runs, and may end the call.
void print_stdout(std::string_view text);

// Writes `text` to the standard error (file descriptor 2) as far as it goes
// (diagnostics: a failure has nowhere to be reported).
void print_stderr(std::string_view text) noexcept;

// 64 random bits from the system, or from the clock if it has none to give.
std::uint64_t random_u64() noexcept;

}  // namespace tilu
