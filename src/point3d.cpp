// The Point3D record's text and its Python class. A Point3D object is one
// allocation: the fixed fields, then the track entries inline (a
// variable-size object whose ob_size is the track length).
#include "point3d.hpp"

#include <cstring>

#include "colmap_io.hpp"
#include "module.hpp"

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

namespace {

struct Point3DObject {
    PyObject_VAR_HEAD
    Point3D point;
};

const Point3D& point(PyObject* self) { return reinterpret_cast<Point3DObject*>(self)->point; }
std::uint64_t track_length(PyObject* self) { return static_cast<std::uint64_t>(Py_SIZE(self)); }
const TrackElement* track(PyObject* self) {
    return reinterpret_cast<const TrackElement*>(reinterpret_cast<const char*>(self) +
                                                 sizeof(Point3DObject));
}

PyObject* Point3D_get_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(point(self).id).release(); });
}
PyObject* Point3D_get_xyz(PyObject* self, void*) {
    return guarded([&] {
        const Vector3& v = point(self).xyz;
        const double xyz[3] = {v.x, v.y, v.z};
        return py_float_list(xyz, 3).release();
    });
}
PyObject* Point3D_get_error(PyObject* self, void*) {
    return guarded([&] { return py_float(point(self).error).release(); });
}

// A new Color object at every read.
PyObject* Point3D_get_color(PyObject* self, void*) {
    return guarded([&] {
        try {
            return wrap_record(color_type(), Color(point(self).color)).release();
        } catch (const PyErrAlreadySet&) {
            Ref error = Ref::steal(PyErr_GetRaisedException());
            Ref text = Ref::steal(error ? PyObject_Repr(error.get()) : nullptr);
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            std::string message = "called `Result::unwrap()` on an `Err` value: ";
            message += utf8 ? utf8 : "<unprintable error>";
            PyErr_Clear();
            throw Panic(message);
        }
    });
}

PyObject* Point3D_get_track(PyObject* self, void*) {
    return guarded([&] {
        const TrackElement* t = track(self);
        return py_list(Py_SIZE(self), [&](Py_ssize_t i) {
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
    return guarded([&] { return py_str(point(self).text(track_length(self))).release(); });
}

void Point3D_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
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
    {Py_tp_dealloc, reinterpret_cast<void*>(Point3D_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(Point3D_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Point3D_str)},
    {Py_tp_getset, Point3D_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* point3d_type() {
    static PyTypeObject* type = nullptr;
    if (!type)
        type = make_record_type("Point3D", sizeof(Point3DObject), sizeof(TrackElement), Point3D_slots);
    return type;
}

Ref new_point3d_object(const Point3DEntry& e) {
    // The parser has checked that the whole track lies in the file buffer.
    const auto n = static_cast<Py_ssize_t>(e.track_length);
    auto* obj = PyObject_NewVar(Point3DObject, point3d_type(), n);
    if (!obj) throw PyErrAlreadySet{};
    obj->point = e.point;
    std::memcpy(reinterpret_cast<char*>(obj) + sizeof(Point3DObject), e.track_data,
                e.track_length * sizeof(TrackElement));
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

const TrackElement* point3d_track(PyObject* p, std::uint64_t& length) {
    length = track_length(p);
    return track(p);
}

}  // namespace tilu
