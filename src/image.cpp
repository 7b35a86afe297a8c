// The Image record's computations: rotation matrix, text form, tracked
// keypoints, relative pose.
#include "image.hpp"

#include <cmath>

#include "text_forms.hpp"

namespace tilu {

// Every expression below is evaluated left to right exactly as written (the
// build disables floating-point contraction), so results are reproducible to
// the bit.
Matrix3 Image::rotation_matrix() const {
    const double x = rot.v.x, y = rot.v.y, z = rot.v.z, s = rot.s;
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx = x * x2, yy = y * y2, zz = z * z2;
    const double xy = y * x2, xz = z * x2, yz = z * y2;
    const double sx = s * x2, sy = s * y2, sz = s * z2;
    return {{
        {(1.0 - yy) - zz, xy - sz, sy + xz},
        {sz + xy, (1.0 - xx) - zz, yz - sx},
        {xz - sy, yz + sx, (1.0 - xx) - yy},
    }};
}

std::size_t Image::num_tracked() const {
    const PackedArray<Point2D> all = points2D();
    std::size_t n = 0;
    for (std::size_t k = 0; k < all.size(); ++k) n += all[k].point3D_id != kNoPoint3D;
    return n;
}

std::string Image::text() const {
    std::string s = "<Image camera ID: ";
    append_uint(s, camera_id);
    s += ", image ID: ";
    append_uint(s, image_id);
    s += ", name: ";
    s += name;
    s += ",  rot: ";
    append_quaternion(s, rot);
    s += ", trans: ";
    append_vector3(s, trans);
    s += '>';
    return s;
}

namespace {

Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

RelativePose relative_pose(const Image& a, const Image& b) {
    const double sA = a.rot.s, xA = a.rot.v.x, yA = a.rot.v.y, zA = a.rot.v.z;
    const double sB = b.rot.s, xB = b.rot.v.x, yB = b.rot.v.y, zB = b.rot.v.z;

    // p = q_a ⊗ conj(q_b), then normalised by the reciprocal of its norm.
    const double ps = ((sA * sB + xA * xB) + yA * yB) + zA * zB;
    const double px = ((xA * sB - sA * xB) - yA * zB) + zA * yB;
    const double py = ((yA * sB - sA * yB) - zA * xB) + xA * zB;
    const double pz = ((zA * sB - sA * zB) - xA * yB) + yA * xB;
    const double n = ps * ps + ((px * px + py * py) + pz * pz);
    const double k = 1.0 / std::sqrt(n);
    const double s = ps * k, x = px * k, y = py * k, z = pz * k;

    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx2 = x2 * x, xy2 = x2 * y, xz2 = x2 * z;
    const double yy2 = y2 * y, yz2 = y2 * z, zz2 = z2 * z;
    const double sx2 = x2 * s, sy2 = y2 * s, sz2 = z2 * s;

    RelativePose out;
    out.rotation = {{
        {(1.0 - yy2) - zz2, xy2 - sz2, xz2 + sy2},
        {xy2 + sz2, (1.0 - xx2) - zz2, yz2 - sx2},
        {xz2 - sy2, yz2 + sx2, (1.0 - xx2) - yy2},
    }};

    // b's translation rotated by q with the quaternion formula.
    const Vector3 v{x, y, z};
    const Vector3& tB = b.trans;
    const Vector3 c = cross(v, tB);
    const Vector3 w{c.x + tB.x * s, c.y + tB.y * s, c.z + tB.z * s};
    const Vector3 e = cross(v, w);
    const Vector3 r{e.x * 2.0 + tB.x, e.y * 2.0 + tB.y, e.z * 2.0 + tB.z};
    out.translation = {a.trans.x - r.x, a.trans.y - r.y, a.trans.z - r.z};
    return out;
}

}  // namespace tilu
