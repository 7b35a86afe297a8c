// Small value types shared by the records (3-vectors, quaternions, 3x3
// matrices), and the colour record of a 3D point.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tilu {

struct Vector3 {
    double x, y, z;
};

// Rotation quaternion: vector part first, scalar part last.
struct Quaternion {
    Vector3 v;
    double s;
};

// A 3x3 matrix, row by row.
using Matrix3 = std::array<std::array<double, 3>, 3>;

struct Color {
    std::uint8_t r, g, b;

    // "Color r: R, b: B, g: G" (that order).
    std::string text() const;
};

}  // namespace tilu
