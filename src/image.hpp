// The image record: pose, camera, name and 2D keypoints of one registered image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "types.hpp"

namespace tilu {

// point3D_id of a keypoint that observes no 3D point.
inline constexpr std::uint64_t kNoPoint3D = ~std::uint64_t{0};

// One keypoint, laid out exactly as in images.bin (24 bytes, little-endian).
struct Point2D {
    double x;
    double y;
    std::uint64_t point3D_id;
};
static_assert(sizeof(Point2D) == 24);

struct Image {
    std::uint32_t image_id = 0;
    std::uint32_t camera_id = 0;
    std::string name;
    Quaternion rot{};  // as stored, not normalised
    Vector3 trans{};
    std::unique_ptr<Point2D[]> points;
    std::uint64_t num_points = 0;

    // Rotation matrix of `rot`, row by row, without normalisation.
    Matrix3 rotation_matrix() const;
    std::string text() const;
};

struct RelativePose {
    Matrix3 rotation;
    Vector3 translation;
};

// Pose of b's camera frame in a's: R = R(a)·R(b)^T, t = t_a − R·t_b, computed
// through the normalised product quaternion a ⊗ conj(b).
RelativePose relative_pose(const Image& a, const Image& b);

}  // namespace tilu
