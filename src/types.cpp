// The Color record's text and its Python class.
#include "types.hpp"

#include "module.hpp"
#include "text_forms.hpp"

namespace tilu {

std::string Color::text() const {
    std::string s = "Color r: ";
    append_uint(s, r);
    s += ", b: ";
    append_uint(s, b);
    s += ", g: ";
    append_uint(s, g);
    return s;
}

namespace {

const Color& color(PyObject* self) { return record_of<Color>(self); }

PyObject* Color_get_r(PyObject* self, void*) {
    return guarded([&] { return py_uint(color(self).r).release(); });
}
PyObject* Color_get_g(PyObject* self, void*) {
    return guarded([&] { return py_uint(color(self).g).release(); });
}
PyObject* Color_get_b(PyObject* self, void*) {
    return guarded([&] { return py_uint(color(self).b).release(); });
}
PyObject* Color_str(PyObject* self) {
    return guarded([&] { return py_str(color(self).text()).release(); });
}

PyGetSetDef Color_getset[] = {
    {"r", Color_get_r, nullptr, nullptr, nullptr},
    {"g", Color_get_g, nullptr, nullptr, nullptr},
    {"b", Color_get_b, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Color_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Color>)},
    {Py_tp_str, reinterpret_cast<void*>(Color_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Color_str)},
    {Py_tp_getset, Color_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject* color_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_record_type("Color", sizeof(RecordObject<Color>), 0, Color_slots);
    return type;
}

}  // namespace tilu
