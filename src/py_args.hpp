// Arguments of the module's functions and methods: binding the vectorcall
// arguments to the one parameter, the conversions of path arguments and the
// TypeErrors of both.
#pragma once

#include <string_view>

#include "py_ref.hpp"

namespace tilu {

// Binds the vectorcall arguments to the single parameter `param` and returns
// it (borrowed). `full_name` is e.g. "read_cameras_bin()" and appears in the
// TypeError texts of missing, surplus and unknown arguments.
PyObject* bind_single_arg(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          const char* full_name, const char* param);

// Raises TypeError "'<qualname of type(obj)>' object cannot be converted to
// '<target>'" with the argument prefix "argument '<param>': ".
[[noreturn]] void throw_conversion_error(PyObject* obj, const char* target, const char* param);

// Re-raises a pending TypeError with the argument prefix in front of its
// message (keeping its cause); any other pending exception is left as it is.
[[noreturn]] void rethrow_with_arg_prefix(const char* param);

// The UTF-8 text of a `str` argument (it lives as long as the object).
std::string_view convert_path_arg(PyObject* obj, const char* param);

// A function of the METH_FASTCALL | METH_KEYWORDS convention, as the
// PyCFunction that a PyMethodDef holds.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_pycfunction(FastcallFunction fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace tilu
