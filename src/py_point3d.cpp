// The Python class Point3D. A Point3D object is one allocation: the fixed
// fields, then the track entries inline (a variable-size object whose
// ob_size is the track length).
#include "point3d.hpp"

#include <cstring>

#include "errors.hpp"
#include "messages.hpp"
#include "py_class.hpp"
#include "py_errors.hpp"
#include "py_records.hpp"
#include "py_values.hpp"

namespace tilu {
namespace {

using Point3DObject = RecordObject<Point3D, TrackElement>;

const Point3D& point_of(PyObject* self) { return Point3DObject::of(self).record; }

PyObject* Point3D_get_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(point_of(self).id).release(); });
}
PyObject* Point3D_get_xyz(PyObject* self, void*) {
    return guarded([&] { return py_vector_list(point_of(self).xyz).release(); });
}
PyObject* Point3D_get_error(PyObject* self, void*) {
    return guarded([&] { return py_float(point_of(self).error).release(); });
}

// A new Color object at every read.
PyObject* Point3D_get_color(PyObject* self, void*) {
    return guarded([&] {
        try {
            return new_color_object(point_of(self).color).release();
        } catch (const PyErrAlreadySet&) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            Ref text = Ref::steal(error ? PyObject_Repr(error.get()) : nullptr);
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            std::string message = messages::kColorFailed;
            message += utf8 ? utf8 : messages::kUnprintableError;
            PyErr_Clear();
            throw Panic(message);
        }
    });
}

PyObject* Point3D_get_track(PyObject* self, void*) {
    return guarded([&] {
        const Point3DObject& obj = Point3DObject::of(self);
        const TrackElement* t = obj.items();
        return py_list(static_cast<Py_ssize_t>(obj.num_items()), [&](Py_ssize_t i) {
                   Ref image = py_uint(t[i].image_id);
                   Ref index = py_uint(t[i].point2D_idx);
                   PyObject* pair = PyTuple_New(2);
                   if (!pair) throw PyErrAlreadySet{};
                   PyTuple_SET_ITEM(pair, 0, image.release());
                   PyTuple_SET_ITEM(pair, 1, index.release());
                   return pair;
               })
            .release();
    });
}

PyObject* Point3D_str(PyObject* self) {
    return guarded([&] {
        const Point3DObject& obj = Point3DObject::of(self);
        return py_str(obj.record.text(obj.num_items())).release();
    });
}

PyGetSetDef Point3D_getset[] = {
    {"id", Point3D_get_id, nullptr, nullptr, nullptr},
    {"xyz", Point3D_get_xyz, nullptr, nullptr, nullptr},
    {"color", Point3D_get_color, nullptr, nullptr, nullptr},
    {"error", Point3D_get_error, nullptr, nullptr, nullptr},
    {"track", Point3D_get_track, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Point3D_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Point3DObject::dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(Point3D_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Point3D_str)},
    {Py_tp_getset, Point3D_getset},
    {0, nullptr},
};

PyType_Spec Point3D_type_spec = {
    .name = "builtins.Point3D",
    .basicsize = sizeof(Point3DObject),
    .itemsize = sizeof(TrackElement),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Point3D_slots,
};

PyTypeObject* g_point3d_type = nullptr;

}  // namespace

void make_point3d_type() { g_point3d_type = make_type(Point3D_type_spec); }
PyTypeObject* point3d_type() { return g_point3d_type; }

Ref new_point3d_object(const Point3DEntry& e) {
    Ref obj = Point3DObject::create(point3d_type(), e.point, e.track.size());
    // The parser has checked that the whole track lies in the file buffer.
    std::memcpy(Point3DObject::of(obj.get()).items(), e.track.data(), e.track.size_bytes());
    return obj;
}

PackedArray<TrackElement> point3d_track(PyObject* point) {
    const Point3DObject& obj = Point3DObject::of(point);
    return {reinterpret_cast<const unsigned char*>(obj.items()), obj.num_items()};
}

}  // namespace tilu
