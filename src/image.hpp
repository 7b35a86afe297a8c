// The image record: pose, camera, name and 2D keypoints of one registered image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "file_span.hpp"
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
    FileSpan points;  // num_points keypoints, packed as in images.bin
    std::uint64_t num_points = 0;

    // Keypoint k < num_points, and its point3D_id alone.
    Point2D point(std::uint64_t k) const {
        Point2D p;
        std::memcpy(&p, points.data() + k * sizeof(Point2D), sizeof p);
        return p;
    }
    std::uint64_t point3D_id(std::uint64_t k) const {
        std::uint64_t id;
        std::memcpy(&id, points.data() + k * sizeof(Point2D) + offsetof(Point2D, point3D_id), sizeof id);
        return id;
    }

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
