// The 3D point record: position, colour, error and track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "packed.hpp"
#include "types.hpp"

namespace tilu {

// One observation of a 3D point, laid out exactly as in points3D.bin:
// image_id, point2D_idx, 4 bytes each, little-endian.
struct TrackElement {
    std::uint32_t image_id;
    std::uint32_t point2D_idx;

    // The width of every field: an entry cut short fails at the first field
    // that does not fit.
    static constexpr std::size_t kFieldSize = 4;
};
static_assert(sizeof(TrackElement) == 8 && offsetof(TrackElement, point2D_idx) == 4);

// The fixed fields of a point. Its track is kept beside it: in the file
// buffer while parsing (Point3DEntry), then inline after the Python object.
struct Point3D {
    std::uint64_t id;
    Vector3 xyz;
    double error;
    Color color;

    // "<Point3D with ID: id, XYZ: Vector3 [x, y, z], and track length n>"
    std::string text(std::uint64_t track_length) const;
};

// A point as the parser hands it out: its fixed fields and its track, which
// stays in the file's buffer.
struct Point3DEntry {
    Point3D point;
    PackedArray<TrackElement> track;
};

}  // namespace tilu
