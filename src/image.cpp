// The Image record's computations (rotation matrix, relative pose, text) and
// its Python class.
#include "image.hpp"

#include <cmath>

#include "record_classes.hpp"
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

namespace {

using ImageObject = RecordObject<Image>;

const Image& image_of(PyObject* self) { return ImageObject::of(self).record; }

PyObject* point2D_list(const Point2D& p) {
    const double xy[2] = {p.x, p.y};
    return py_float_list(xy, 2).release();
}

PyObject* Image_get_image_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(image_of(self).image_id).release(); });
}
PyObject* Image_get_camera_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(image_of(self).camera_id).release(); });
}
PyObject* Image_get_name(PyObject* self, void*) {
    return guarded([&] { return py_str(image_of(self).name).release(); });
}
PyObject* Image_get_rot(PyObject* self, void*) {
    return guarded([&] { return py_matrix_list(image_of(self).rotation_matrix()).release(); });
}
PyObject* Image_get_trans(PyObject* self, void*) {
    return guarded([&] { return py_vector_list(image_of(self).trans).release(); });
}
PyObject* Image_get_points2D(PyObject* self, void*) {
    return guarded([&] {
        const PackedArray<Point2D> points = image_of(self).points2D();
        return py_list(static_cast<Py_ssize_t>(points.size()), [&](Py_ssize_t k) { return point2D_list(points[k]); })
            .release();
    });
}
PyObject* Image_get_point3D_ids(PyObject* self, void*) {
    return guarded([&] {
        const PackedArray<Point2D> points = image_of(self).points2D();
        // Most keypoints of a real model observe no 3D point: one int object
        // for the marker serves the whole list.
        Ref marker = py_uint(kNoPoint3D);
        return py_list(static_cast<Py_ssize_t>(points.size()),
                       [&](Py_ssize_t k) {
                           const std::uint64_t id = points[k].point3D_id;
                           return id == kNoPoint3D ? Py_NewRef(marker.get()) : py_uint(id).release();
                       })
            .release();
    });
}

// The keypoints that observe a 3D point, in stored order.
template <class Make>
Ref tracked_list(const Image& im, Make make) {
    const PackedArray<Point2D> points = im.points2D();
    Py_ssize_t tracked = 0;
    for (std::size_t k = 0; k < points.size(); ++k) tracked += points[k].point3D_id != kNoPoint3D;
    Ref list = Ref::check(PyList_New(tracked));
    Py_ssize_t i = 0;
    for (std::size_t k = 0; k < points.size(); ++k)
        if (const Point2D p = points[k]; p.point3D_id != kNoPoint3D) PyList_SET_ITEM(list.get(), i++, make(p));
    return list;
}

PyObject* Image_get_tracked_point3D_ids(PyObject* self, PyObject*) {
    return guarded([&] {
        return tracked_list(image_of(self), [](const Point2D& p) { return py_uint(p.point3D_id).release(); })
            .release();
    });
}
PyObject* Image_get_tracked_points2D(PyObject* self, PyObject*) {
    return guarded([&] { return tracked_list(image_of(self), point2D_list).release(); });
}

// (rotation matrix, translation) as two lists.
PyObject* pose_tuple(const RelativePose& pose) {
    Ref rotation = py_matrix_list(pose.rotation);
    Ref translation = py_vector_list(pose.translation);
    return Ref::check(PyTuple_Pack(2, rotation.get(), translation.get())).release();
}

const Image& convert_other(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const char* full_name) {
    PyObject* other = bind_single_arg(args, nargs, kwnames, full_name, "other");
    if (!PyObject_TypeCheck(other, image_type())) throw_conversion_error(other, "Image", "other");
    return image_of(other);
}

PyObject* Image_relative_pose_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&] {
        const Image& other = convert_other(args, nargs, kwnames, "Image.relative_pose_from()");
        return pose_tuple(relative_pose(image_of(self), other));
    });
}
PyObject* Image_relative_pose_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&] {
        const Image& other = convert_other(args, nargs, kwnames, "Image.relative_pose_to()");
        return pose_tuple(relative_pose(other, image_of(self)));
    });
}

PyObject* Image_str(PyObject* self) {
    return guarded([&] { return py_str(image_of(self).text()).release(); });
}

PyGetSetDef Image_getset[] = {
    {"image_id", Image_get_image_id, nullptr, nullptr, nullptr},
    {"camera_id", Image_get_camera_id, nullptr, nullptr, nullptr},
    {"name", Image_get_name, nullptr, nullptr, nullptr},
    {"rot", Image_get_rot, nullptr, nullptr, nullptr},
    {"trans", Image_get_trans, nullptr, nullptr, nullptr},
    {"points2D", Image_get_points2D, nullptr, nullptr, nullptr},
    {"point3D_ids", Image_get_point3D_ids, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Image_methods[] = {
    {"get_tracked_point3D_ids", Image_get_tracked_point3D_ids, METH_NOARGS,
     "get_tracked_point3D_ids($self)\n--\n\n"},
    {"get_tracked_points2D", Image_get_tracked_points2D, METH_NOARGS,
     "get_tracked_points2D($self)\n--\n\n"},
    {"relative_pose_from", as_pycfunction(Image_relative_pose_from), METH_FASTCALL | METH_KEYWORDS,
     "relative_pose_from($self, other)\n--\n\n"},
    {"relative_pose_to", as_pycfunction(Image_relative_pose_to), METH_FASTCALL | METH_KEYWORDS,
     "relative_pose_to($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Image_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ImageObject::dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(Image_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Image_str)},
    {Py_tp_getset, Image_getset},
    {Py_tp_methods, Image_methods},
    {0, nullptr},
};

PyType_Spec Image_type_spec = {
    .name = "builtins.Image",
    .basicsize = sizeof(ImageObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Image_slots,
};

}  // namespace

PyTypeObject* image_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(Image_type_spec);
    return type;
}

Ref new_image_object(Image&& image) { return ImageObject::create(image_type(), std::move(image)); }

}  // namespace tilu
