// The image record: pose, camera, name and 2D keypoints of one registered image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_span.hpp"
#include "packed.hpp"
#include "types.hpp"

namespace tilu {

// point3D_id of a keypoint that observes no 3D point.
inline constexpr std::uint64_t kNoPoint3D = ~std::uint64_t{0};

// One keypoint, laid out exactly as in images.bin: x, y, point3D_id, 8 bytes
// each, little-endian.
struct Point2D {
    double x;
    double y;
    std::uint64_t point3D_id;

    // The width of every field: a keypoint cut short fails at the first field
    // that does not fit.
    static constexpr std::size_t kFieldSize = 8;
};
static_assert(sizeof(Point2D) == 24 && offsetof(Point2D, y) == 8 && offsetof(Point2D, point3D_id) == 16);

struct Image {
    std::uint32_t image_id = 0;
    std::uint32_t camera_id = 0;
    std::string name;
    Quaternion rot{};  // as stored, not normalised
    Vector3 trans{};
    FileSpan points;  // the bytes of points2D(), lent by the file
    std::uint64_t num_points = 0;

    // The keypoints, where images.bin had them.
    PackedArray<Point2D> points2D() const { return {points.data(), num_points}; }

    // The keypoints that observe a 3D point, in stored order: how many, and
    // each in turn handed to `f`.
    std::size_t num_tracked() const;
    template <class F>
    void for_each_tracked(F&& f) const {
        const PackedArray<Point2D> all = points2D();
        for (std::size_t k = 0; k < all.size(); ++k)
            if (const Point2D p = all[k]; p.point3D_id != kNoPoint3D) f(p);
    }

    // Rotation matrix of `rot`, row by row, without normalisation.
    Matrix3 rotation_matrix() const;
    // "<Image camera ID: c, image ID: i, name: n,  rot: Quaternion { ... },
    // trans: Vector3 [x, y, z]>" (two spaces before "rot").
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
