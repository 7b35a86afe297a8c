// PageArray<T>: entries appended one by one to pages of their own (a
// PageBuffer). It grows without copying where the system remaps pages, it
// weighs on memory only as far as it is filled, and it hands back the pages
// of the entries that have been read for the last time.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "platform.hpp"

namespace tilu {

template <class T>
class PageArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    std::size_t size() const { return buffer_.size() / sizeof(T); }
    // The pages are page-aligned and the entries sizeof(T) apart: aligned.
    T* data() { return reinterpret_cast<T*>(buffer_.data()); }
    const T* data() const { return reinterpret_cast<const T*>(buffer_.data()); }

    void push_back(const T& entry) {
        std::memcpy(buffer_.room(sizeof(T)), &entry, sizeof(T));
        buffer_.commit(sizeof(T));
    }
    // `n` more entries, to be written by the caller before they are read.
    T* extend(std::size_t n) {
        T* added = reinterpret_cast<T*>(buffer_.room(n * sizeof(T)));
        buffer_.commit(n * sizeof(T));
        return added;
    }
    // The entries before `i` will not be read again.
    void discard_before(std::size_t i) { buffer_.discard_before(i * sizeof(T)); }

private:
    PageBuffer buffer_;
};

}  // namespace tilu
