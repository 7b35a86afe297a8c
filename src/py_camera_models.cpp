// The Python class Camera: the record's values and computations
// (camera_models.hpp) as Python objects.
#include "camera_models.hpp"

#include "py_class.hpp"
#include "py_errors.hpp"
#include "py_records.hpp"
#include "py_values.hpp"

namespace tilu {
namespace {

using CameraObject = RecordObject<Camera>;

const Camera& camera_of(PyObject* self) { return CameraObject::of(self).record; }

PyObject* Camera_get_camera_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(camera_of(self).camera_id).release(); });
}
PyObject* Camera_get_width(PyObject* self, void*) {
    return guarded([&] { return py_uint(camera_of(self).width).release(); });
}
PyObject* Camera_get_height(PyObject* self, void*) {
    return guarded([&] { return py_uint(camera_of(self).height).release(); });
}
PyObject* Camera_get_params(PyObject* self, void*) {
    return guarded([&] {
        const Camera& c = camera_of(self);
        return py_float_list(c.params.data(), static_cast<Py_ssize_t>(c.num_params())).release();
    });
}
PyObject* Camera_get_model_id(PyObject* self, void*) {
    return guarded([&] { return py_str(camera_model_name(camera_of(self).model_id)).release(); });
}

PyObject* Camera_K(PyObject* self, PyObject*) {
    return guarded([&] { return py_matrix_list(camera_of(self).calibration_matrix()).release(); });
}

PyObject* Camera_str(PyObject* self) {
    return guarded([&] { return py_str(camera_of(self).text()).release(); });
}

PyGetSetDef Camera_getset[] = {
    {"camera_id", Camera_get_camera_id, nullptr, nullptr, nullptr},
    {"width", Camera_get_width, nullptr, nullptr, nullptr},
    {"height", Camera_get_height, nullptr, nullptr, nullptr},
    {"params", Camera_get_params, nullptr, nullptr, nullptr},
    {"model_id", Camera_get_model_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Camera_methods[] = {
    {"K", Camera_K, METH_NOARGS, "K($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Camera_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CameraObject::dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(Camera_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Camera_str)},
    {Py_tp_getset, Camera_getset},
    {Py_tp_methods, Camera_methods},
    {0, nullptr},
};

PyType_Spec Camera_type_spec = {
    .name = "builtins.Camera",
    .basicsize = sizeof(CameraObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = Camera_slots,
};

PyTypeObject* g_camera_type = nullptr;

}  // namespace

void make_camera_type() { g_camera_type = make_type(Camera_type_spec); }
PyTypeObject* camera_type() { return g_camera_type; }

Ref new_camera_object(Camera&& camera) { return CameraObject::create(camera_type(), std::move(camera)); }

}  // namespace tilu
