// The Python class Image: the record's values and computations (image.hpp)
// as Python objects.
#include "image.hpp"

#include "messages.hpp"
#include "py_args.hpp"
#include "py_class.hpp"
#include "py_errors.hpp"
#include "py_records.hpp"
#include "py_values.hpp"

namespace tilu {
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
        return py_list(static_cast<Py_ssize_t>(points.size()),
                       [&](Py_ssize_t k) { return point2D_list(points[k]); })
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

// The keypoints that observe a 3D point, each made into an object by `make`.
template <class Make>
Ref tracked_list(const Image& im, Make make) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(im.num_tracked())));
    Py_ssize_t i = 0;
    im.for_each_tracked([&](const Point2D& p) { PyList_SET_ITEM(list.get(), i++, make(p)); });
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
    if (!PyObject_TypeCheck(other, image_type()))
        throw_conversion_error(other, messages::kTargetImage, "other");
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

PyTypeObject* g_image_type = nullptr;

}  // namespace

void make_image_type() { g_image_type = make_type(Image_type_spec); }
PyTypeObject* image_type() { return g_image_type; }

Ref new_image_object(Image&& image) { return ImageObject::create(image_type(), std::move(image)); }

}  // namespace tilu
