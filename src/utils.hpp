// Covisibility of images: which images see the same 3D points, counted from
// the image identifiers of the points' tracks. Works on flat arrays only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "interrupt.hpp"
#include "packed.hpp"
#include "point3d.hpp"

namespace tilu {

// The image identifiers of every track, point after point: point p's are
// image_ids[offsets[p] .. offsets[p + 1]).
struct TrackImages {
    std::vector<std::uint32_t> image_ids;
    std::vector<std::size_t> offsets{0};

    std::size_t num_points() const { return offsets.size() - 1; }
    // Appends one point; of its track only the image ids are kept.
    void add_point(PackedArray<TrackElement> track);
    // keys[p] is the key point p was given under (its key in the caller's
    // dict). Of the points under one key keeps only the last, as a dict keeps
    // the later of two entries whose keys are equal.
    void keep_last_of_each_key(std::span<const std::uint64_t> keys);

private:
    // Drops the points p whose keep[p] is false.
    void keep_only(const std::vector<char>& keep);
};

// One entry of a covisibility row: an image and the number of points that it
// shares with the row's image.
struct Shared {
    std::uint32_t image;
    std::uint32_t count;
};

// The sparse product A·Aᵀ of the point/image incidence matrix A, row by row;
// each point counts every image of its track once, however often the track
// repeats it.
//
// Images are numbered 0..n-1 in increasing order of their identifiers, so that
// the images of one capture sequence get near numbers. Every point keeps its
// distinct images sorted, and the points are stored grouped by their smallest
// image. The row of image a reads, in each point seeing a, only the images
// after a: each pair of images is counted once, in the row of the smaller,
// which hands the count on to the larger one's row through a queue. Rows are
// counted in increasing order, so the work stays among near images and near
// points, and the queue holds only the pairs that span the current row.
//
// The construction and the rows call interrupt_point() every so many entries;
// when it throws, the object is left to be dropped.
class Covisibility {
public:
    // Takes over the arrays of `tracks` as scratch space. Throws
    // std::bad_alloc for 2^32 - 1 track entries or more (positions are 32-bit).
    explicit Covisibility(TrackImages&& tracks);
    Covisibility(const Covisibility&) = delete;
    Covisibility& operator=(const Covisibility&) = delete;

    std::size_t num_images() const { return image_ids_.size(); }
    std::uint32_t image_id(std::uint32_t image) const { return image_ids_[image]; }

    // Counts row `a`; rows are counted in increasing order from 0, each once.
    // Then row() is `a` itself with the number of points that see it (at
    // least 1), followed by every other image that shares a point with `a`,
    // with the number shared.
    void count_row(std::uint32_t a);
    std::span<const Shared> row() const { return {row_.data(), row_size_}; }

    // `shared` as a fraction of `seen`, in single precision: both counts
    // rounded to float, then divided.
    static float fraction(std::uint32_t shared, std::uint32_t seen) {
        return static_cast<float>(shared) / static_cast<float>(seen);
    }

private:
    // A block of the queue of one row; chunk 0 stands for "none" and is kept
    // full, so that one size check covers a row without a chunk.
    struct Chunk {
        static constexpr std::uint32_t kCapacity = 7;
        std::uint32_t next;  // 0 for none
        std::uint32_t size;
        Shared entries[kCapacity];
    };
    struct Queue {
        std::uint32_t head = 0, tail = 0;
    };

    template <class Index>
    void sort_tracks(TrackImages& t, const Index& index, std::vector<std::uint32_t>& last,
                     std::vector<std::uint32_t>& group);
    void lay_out(const TrackImages& t, const std::vector<std::uint32_t>& last,
                 std::vector<std::uint32_t>& group);
    std::uint32_t new_chunk(Queue& q);

    std::vector<std::uint32_t> image_ids_;    // image -> identifier, increasing
    std::vector<std::uint32_t> seen_by_;      // image -> points seeing it
    // Every point seeing two images or more: its images but the smallest,
    // then kEnd; the points grouped by their smallest image.
    std::unique_ptr<std::uint32_t[]> later_images_;
    // image a -> where a's points continue after a in later_images_, one
    // position per point seeing a and a later image.
    std::vector<std::uint32_t> walk_offsets_;
    std::unique_ptr<std::uint32_t[]> walks_;
    std::vector<std::uint32_t> reach_;        // image -> largest image sharing a point with it
    std::vector<std::uint32_t> walk_length_;  // image -> entries its walks read

    std::vector<std::uint32_t> counts_;       // zero between rows
    std::vector<std::uint32_t> touched_;      // num_images + 1 slots
    std::vector<Queue> queues_;               // image -> counts from the rows before it
    std::vector<Chunk> chunks_;
    std::uint32_t free_chunks_ = 0;
    std::vector<Shared> row_;                 // num_images slots, row_size_ used
    std::size_t row_size_ = 0;
    InterruptCountdown countdown_;            // carried from row to row
};

}  // namespace tilu
