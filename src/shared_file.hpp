// A file in memory shared by the records built from it. Each record keeps the
// byte range it was lent (an image keeps its keypoints where the file had
// them, so they are neither copied nor faulted into fresh pages), and gives
// it back when it goes. A page goes back to the system once no live range
// lies on it and the parse has passed it; the buffer itself goes with the
// last of its users (the parse and the lent ranges). So a record that a caller
// holds keeps its own pages, never the whole file.
//
// Threads: the parse runs on one thread, but the records' deallocations may
// run on any, several at once where Python has no interpreter lock (a
// free-threaded build), and at any time after the parse: the count of users
// is atomic, and the ranges and the pages in waiting are kept under a mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

#include "file_span.hpp"
#include "platform.hpp"

namespace tilu {

class SharedFile {
public:
    // The parse's hold on a shared file, which it creates: while it lives,
    // the pages from the position the parse reported on stay.
    class Reader {
    public:
        // The file in `buffer`; its pages go back to the system as they are
        // given up.
        explicit Reader(PageBuffer&& buffer);
        // The `size` bytes at `data`, which the caller keeps until every span
        // lent from them is gone (tests, fuzzing); nothing is handed back.
        Reader(const unsigned char* data, std::size_t size);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        SharedFile& operator*() const { return *file_; }
        SharedFile* operator->() const { return file_; }

    private:
        SharedFile* file_;
    };

    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

    // Lends `bytes`, a non-empty part of data() that begins at or after the
    // end of the part lent before, to a record.
    FileSpan lend(std::span<const unsigned char> bytes);

    // The parse will read nothing before `offset` again.
    void parsed_up_to(std::size_t offset) {
        const std::lock_guard lock(mutex_);
        parsed_ = offset;
    }

private:
    friend class FileSpan;

    struct Range {
        std::size_t begin;
        std::size_t end;
        bool live;
    };

    SharedFile(PageBuffer&& buffer, const unsigned char* data, std::size_t size);
    void give_back(std::size_t index) noexcept;
    void release_range(std::size_t index) noexcept;  // under the mutex
    void end_parse() noexcept;
    void release(std::size_t begin, std::size_t end) noexcept;
    void drop_user() noexcept;

    PageBuffer buffer_;  // empty when the bytes are the caller's
    const unsigned char* data_;
    std::size_t size_;
    std::size_t page_;
    std::atomic<std::size_t> users_ = 1;  // the parse and the live ranges
    std::mutex mutex_;                    // over everything below
    std::vector<Range> ranges_;           // every range lent, in file order
    std::size_t parsed_ = 0;              // the parse's position; SIZE_MAX once it has ended
    // Pages given up and not yet handed back: a run grows while records go
    // in file order (a dict drops its values in insertion order), so that
    // most of a model goes back in a few large system calls.
    std::size_t pending_begin_ = 0;
    std::size_t pending_end_ = 0;
};

}  // namespace tilu
