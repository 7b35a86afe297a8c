// Text forms of numbers, 3-vectors and quaternions, as printed by the str()
// of the record classes. Each appends to a string; like any growth of a
// string, that can throw std::bad_alloc, and nothing else.
#pragma once

#include <cstdint>
#include <string>

#include "types.hpp"

namespace tilu {

void append_uint(std::string& out, std::uint64_t value);
// Shortest round-trip digits; decimal layout for 1e-4 <= |v| < 1e16, else
// exponential ("1e16", "1.5e-7"); "NaN", "inf", "-inf", "-0.0".
void append_real(std::string& out, double value);
// "Vector3 [x, y, z]"
void append_vector3(std::string& out, const Vector3& v);
// "Quaternion { v: Vector3 [x, y, z], s: s }"
void append_quaternion(std::string& out, const Quaternion& q);

}  // namespace tilu
