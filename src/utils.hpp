// Covisibility of images: which images see the same 3D points, counted from
// the image identifiers of the points' tracks. Works on flat arrays only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "interrupt.hpp"

namespace tilu {

// The image identifiers of every track, point after point: point p's are
// image_ids[offsets[p] .. offsets[p + 1]).
struct TrackImages {
    std::vector<std::uint32_t> image_ids;
    std::vector<std::size_t> offsets{0};

    std::size_t num_points() const { return offsets.size() - 1; }
    // Appends one point whose track holds `n` (image id, 2D index) pairs laid
    // out as in the file; only the image ids are kept.
    void add_point(const void* track, std::uint64_t n);
    // keys[p] is the key point p was given under (its key in the caller's
    // dict). Of the points under one key keeps only the last, as a dict keeps
    // the later of two entries whose keys are equal.
    void keep_last_of_each_key(std::span<const std::uint64_t> keys);

private:
    // Drops the points p whose keep[p] is false.
    void keep_only(const std::vector<char>& keep);
};

// Row-by-row sparse A·Aᵀ of the point/image incidence matrix A. Images are
// numbered densely in order of first appearance; each point counts every
// image of its track once, however often the track repeats it. The
// construction and the rows call interrupt_point() every so many entries;
// when it throws, the object is left to be dropped.
class Covisibility {
public:
    explicit Covisibility(const TrackImages& tracks);

    std::size_t num_images() const { return image_ids_.size(); }
    std::uint32_t image_id(std::uint32_t dense) const { return image_ids_[dense]; }

    // Counts the points that image `a` shares with every other image. Then
    // row() lists the images sharing at least one point with `a` (`a` itself
    // first) and shared(b) how many; shared(a) is the number of points
    // seeing `a`, at least 1.
    void count_row(std::uint32_t a);
    std::span<const std::uint32_t> row() const { return {touched_.data(), row_size_}; }
    std::uint32_t shared(std::uint32_t b) const { return counts_[b]; }
    // shared(b) as a fraction of the points seeing `a`, in single precision:
    // both counts rounded to float, then divided.
    float fraction(std::uint32_t b) const { return static_cast<float>(counts_[b]) / row_total_; }

private:
    std::vector<std::uint32_t> image_ids_;     // dense -> identifier
    std::vector<std::size_t> point_offsets_;   // point -> its distinct images
    std::vector<std::uint32_t> point_images_;
    std::vector<std::size_t> image_offsets_;   // image -> points seeing it
    std::vector<std::uint32_t> image_points_;
    std::vector<std::uint32_t> counts_;        // scratch of count_row
    std::vector<std::uint32_t> touched_;       // num_images slots, row_size_ used
    std::size_t row_size_ = 0;
    float row_total_ = 0.0f;                   // shared(a) of the counted row, as float
    InterruptCountdown countdown_;             // carried from row to row
};

}  // namespace tilu
