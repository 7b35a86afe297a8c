// Bytes of a record that stay where its file had them in memory (an image's
// keypoints): a span lent by a SharedFile (shared_file.hpp), which keeps the
// pages under it until the record gives it back.
#pragma once

#include <cstddef>
#include <utility>

namespace tilu {

class SharedFile;

// Move-only. An empty span holds nothing; destroying a non-empty one gives
// its range back to the file.
class FileSpan {
public:
    FileSpan() = default;
    FileSpan(FileSpan&& other) noexcept
        : file_(std::exchange(other.file_, nullptr)),
          index_(other.index_),
          data_(std::exchange(other.data_, nullptr)) {}
    FileSpan& operator=(FileSpan&& other) noexcept {
        FileSpan tmp(std::move(other));
        std::swap(file_, tmp.file_);
        std::swap(index_, tmp.index_);
        std::swap(data_, tmp.data_);
        return *this;
    }
    FileSpan(const FileSpan&) = delete;
    FileSpan& operator=(const FileSpan&) = delete;
    ~FileSpan();

    // The first byte of the span (no alignment).
    const unsigned char* data() const { return data_; }

private:
    friend class SharedFile;
    FileSpan(SharedFile* file, std::size_t index, const unsigned char* data)
        : file_(file), index_(index), data_(data) {}

    SharedFile* file_ = nullptr;
    std::size_t index_ = 0;  // of the range among those the file has lent
    const unsigned char* data_ = nullptr;
};

}  // namespace tilu
