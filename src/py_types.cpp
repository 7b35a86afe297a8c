// The Python class Color (a Point3D's colour, made at every read).
#include "types.hpp"

#include "py_class.hpp"
#include "py_errors.hpp"
#include "py_records.hpp"
#include "py_values.hpp"

namespace tilu {
namespace {

using ColorObject = RecordObject<Color>;

const Color& color_of(PyObject* self) { return ColorObject::of(self).record; }

PyObject* Color_get_r(PyObject* self, void*) {
    return guarded([&] { return py_uint(color_of(self).r).release(); });
}
PyObject* Color_get_g(PyObject* self, void*) {
    return guarded([&] { return py_uint(color_of(self).g).release(); });
}
PyObject* Color_get_b(PyObject* self, void*) {
    return guarded([&] { return py_uint(color_of(self).b).release(); });
}
PyObject* Color_str(PyObject* self) {
    return guarded([&] { return py_str(color_of(self).text()).release(); });
}

PyGetSetDef Color_getset[] = {
    {"r", Color_get_r, nullptr, nullptr, nullptr},
    {"g", Color_get_g, nullptr, nullptr, nullptr},
    {"b", Color_get_b, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Color_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ColorObject::dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(Color_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Color_str)},
    {Py_tp_getset, Color_getset},
    {0, nullptr},
};

PyType_Spec Color_type_spec = {
    .name = "builtins.Color",
    .basicsize = sizeof(ColorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Color_slots,
};

PyTypeObject* g_color_type = nullptr;

}  // namespace

void make_color_type() { g_color_type = make_type(Color_type_spec); }

Ref new_color_object(const Color& color) { return ColorObject::create(g_color_type, Color(color)); }

}  // namespace tilu
