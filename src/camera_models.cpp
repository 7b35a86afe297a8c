// The Python class Camera.
#include "camera_models.hpp"

#include "module.hpp"
#include "text_forms.hpp"

namespace tilu {
namespace {

const Camera& cam(PyObject* self) { return record_of<Camera>(self); }

PyObject* Camera_get_camera_id(PyObject* self, void*) {
    return guarded([&] { return py_uint(cam(self).camera_id).release(); });
}
PyObject* Camera_get_width(PyObject* self, void*) {
    return guarded([&] { return py_uint(cam(self).width).release(); });
}
PyObject* Camera_get_height(PyObject* self, void*) {
    return guarded([&] { return py_uint(cam(self).height).release(); });
}
PyObject* Camera_get_params(PyObject* self, void*) {
    return guarded([&] {
        const Camera& c = cam(self);
        return py_float_list(c.params.data(), static_cast<Py_ssize_t>(c.num_params())).release();
    });
}
PyObject* Camera_get_model_id(PyObject* self, void*) {
    return guarded([&] { return py_str(camera_model_name(cam(self).model_id)).release(); });
}

// Calibration matrix of the two pinhole models; parameters copied bit for bit.
PyObject* Camera_K(PyObject* self, PyObject*) {
    return guarded([&] {
        const Camera& c = cam(self);
        const auto& p = c.params;
        double rows[3][3];
        switch (c.model_id) {
            case CameraModelId::SimplePinhole:
                rows[0][0] = p[0], rows[0][1] = 0.0, rows[0][2] = p[1];
                rows[1][0] = 0.0, rows[1][1] = p[0], rows[1][2] = p[2];
                break;
            case CameraModelId::Pinhole:
                rows[0][0] = p[0], rows[0][1] = 0.0, rows[0][2] = p[2];
                rows[1][0] = 0.0, rows[1][1] = p[1], rows[1][2] = p[3];
                break;
            default:
                throw Panic("Not implemented");
        }
        rows[2][0] = 0.0, rows[2][1] = 0.0, rows[2][2] = 1.0;
        return py_list(3, [&](Py_ssize_t i) { return py_float_list(rows[i], 3).release(); }).release();
    });
}

PyObject* Camera_str(PyObject* self) {
    return guarded([&] {
        const Camera& c = cam(self);
        std::string s = "<Camera ID: ";
        append_uint(s, c.camera_id);
        s += ", width: ";
        append_uint(s, c.width);
        s += ", height: ";
        append_uint(s, c.height);
        s += ", model: ";
        s += camera_model_name(c.model_id);
        s += '>';
        return py_str(s).release();
    });
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
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Camera>)},
    {Py_tp_str, reinterpret_cast<void*>(Camera_str)},
    {Py_tp_repr, reinterpret_cast<void*>(Camera_str)},
    {Py_tp_getset, Camera_getset},
    {Py_tp_methods, Camera_methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* camera_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_record_type("Camera", sizeof(RecordObject<Camera>), 0, Camera_slots);
    return type;
}

Ref new_camera_object(Camera&& camera) { return wrap_record(camera_type(), std::move(camera)); }

}  // namespace tilu
