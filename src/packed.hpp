// Arrays of fixed-size entries as the model files store them (an image's
// keypoints, a point's track): entries of a struct that is laid out exactly
// as in the file, its size and field offsets asserted beside it, packed back
// to back at any alignment. An entry is read by copying its bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace tilu {

// A view of size() entries of T at data(); the bytes belong to someone else.
template <class T>
class PackedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PackedArray() = default;
    PackedArray(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t size_bytes() const { return size_ * sizeof(T); }

    // Entry i < size().
    T operator[](std::size_t i) const {
        T entry;
        std::memcpy(&entry, data_ + i * sizeof(T), sizeof entry);
        return entry;
    }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tilu
