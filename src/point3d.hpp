// The 3D point record: position, colour, error and track.
#pragma once

#include <cstdint>
#include <string>

#include "types.hpp"

namespace tilu {

// One observation of a 3D point, laid out exactly as in points3D.bin.
struct TrackElement {
    std::uint32_t image_id;
    std::uint32_t point2D_idx;
};
static_assert(sizeof(TrackElement) == 8);

// The fixed fields of a point. Its track is kept beside it: inline after the
// Python object (point3d.cpp), or in the file buffer while parsing.
struct Point3D {
    std::uint64_t id;
    Vector3 xyz;
    double error;
    Color color;

    // "<Point3D with ID: id, XYZ: Vector3 [x, y, z], and track length n>"
    std::string text(std::uint64_t track_length) const;
};

}  // namespace tilu
