// The Point3D record's text form.
#include "point3d.hpp"

#include "text_forms.hpp"

namespace tilu {

std::string Point3D::text(std::uint64_t track_length) const {
    std::string s = "<Point3D with ID: ";
    append_uint(s, id);
    s += ", XYZ: ";
    append_vector3(s, xyz);
    s += ", and track length ";
    append_uint(s, track_length);
    s += '>';
    return s;
}

}  // namespace tilu
