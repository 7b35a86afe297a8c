// SharedFile: the ranges lent to records, and the pages given back as they go.
#include "shared_file.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace tilu {

SharedFile::SharedFile(PageBuffer&& buffer, const unsigned char* data, std::size_t size)
    : buffer_(std::move(buffer)), data_(data), size_(size), page_(page_size()) {}

SharedFile::Reader::Reader(PageBuffer&& buffer) {
    const unsigned char* data = buffer.data();  // the mapping moves with the buffer
    const std::size_t size = buffer.size();
    file_ = new SharedFile(std::move(buffer), data, size);
}

SharedFile::Reader::Reader(const unsigned char* data, std::size_t size)
    : file_(new SharedFile(PageBuffer(), data, size)) {}

SharedFile::Reader::~Reader() { file_->end_parse(); }

FileSpan SharedFile::lend(std::span<const unsigned char> bytes) {
    const auto begin = static_cast<std::size_t>(bytes.data() - data_);
    const std::lock_guard lock(mutex_);
    ranges_.push_back({begin, begin + bytes.size(), true});
    users_.fetch_add(1, std::memory_order_relaxed);
    return FileSpan(this, ranges_.size() - 1, bytes.data());
}

FileSpan::~FileSpan() {
    if (file_) file_->give_back(index_);
}

// The pages wholly inside the range are the record's alone. The page at
// either end may hold other ranges too (or the start of a record the parse
// has still to read): it goes only when none of them is live.
void SharedFile::give_back(std::size_t index) noexcept {
    {
        const std::lock_guard lock(mutex_);
        release_range(index);
    }
    drop_user();
}

void SharedFile::release_range(std::size_t index) noexcept {
    Range& range = ranges_[index];
    range.live = false;
    std::size_t begin = range.begin / page_ * page_;
    for (std::size_t j = index; j-- > 0 && ranges_[j].end > begin;)
        if (ranges_[j].live) {
            begin += page_;
            break;
        }
    std::size_t end = (range.end + page_ - 1) / page_ * page_;
    for (std::size_t j = index + 1; j < ranges_.size() && ranges_[j].begin < end; ++j)
        if (ranges_[j].live) {
            end -= page_;
            break;
        }
    if (parsed_ != SIZE_MAX) end = std::min(end, parsed_ / page_ * page_);
    if (begin < end) release(begin, end);
}

void SharedFile::release(std::size_t begin, std::size_t end) noexcept {
    if (!buffer_.data()) return;
    const bool pending = pending_begin_ < pending_end_;
    if (pending && begin == pending_end_) {
        pending_end_ = end;
    } else if (pending && end == pending_begin_) {
        pending_begin_ = begin;
    } else {
        if (pending) buffer_.release_pages(pending_begin_, pending_end_);
        pending_begin_ = begin;
        pending_end_ = end;
    }
    if (pending_end_ - pending_begin_ >= PageBuffer::kDiscardBatch) {
        buffer_.release_pages(pending_begin_, pending_end_);
        pending_begin_ = pending_end_ = 0;
    }
}

void SharedFile::end_parse() noexcept {
    {
        const std::lock_guard lock(mutex_);
        parsed_ = SIZE_MAX;
        buffer_.filled();
    }
    drop_user();
}

// The last user unmaps the whole buffer, pending pages and all; what the
// others did to it happens before (release, then acquire).
void SharedFile::drop_user() noexcept {
    if (users_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace tilu
