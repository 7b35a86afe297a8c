// The heap types of the record classes, and their tp_new.
#include "py_class.hpp"

#include "messages.hpp"

namespace tilu {

PyTypeObject* make_type(PyType_Spec& type_spec) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!type) throw PyErrAlreadySet{};
    return type;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, messages::kNoConstructor);
    return nullptr;
}

}  // namespace tilu
