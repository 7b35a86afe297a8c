// Argument binding and conversion, and their TypeErrors.
#include "py_args.hpp"

#include <string>

#include "messages.hpp"

namespace tilu {
namespace {

[[noreturn]] void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PyErrAlreadySet{};
}

bool is_param_name(PyObject* name, const char* param) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, param) == 0;
}

std::string type_qualname(PyObject* obj) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    const char* utf8 = name ? PyUnicode_AsUTF8(name) : nullptr;
    std::string out = utf8 ? utf8 : messages::kUnknownTypeName;
    if (!utf8) PyErr_Clear();
    Py_XDECREF(name);
    return out;
}

}  // namespace

PyObject* bind_single_arg(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          const char* full_name, const char* param) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) throw_type_error(messages::too_many_positional(full_name, nargs));
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (is_param_name(name, param)) {
            if (value) throw_type_error(messages::multiple_values(full_name, param));
            value = args[nargs + i];
        } else {
            const char* kw = PyUnicode_AsUTF8(name);
            if (!kw) throw PyErrAlreadySet{};
            throw_type_error(messages::unexpected_keyword(full_name, kw));
        }
    }
    if (!value) throw_type_error(messages::missing_argument(full_name, param));
    return value;
}

void throw_conversion_error(PyObject* obj, const char* target, const char* param) {
    throw_type_error(messages::cannot_convert(param, type_qualname(obj), target));
}

void rethrow_with_arg_prefix(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrAlreadySet{};
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::check(PyObject_Str(error.get()));
    const std::string prefix = messages::argument_prefix(param);
    Ref message = Ref::check(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    Ref remapped = Ref::check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (PyObject* cause = PyException_GetCause(error.get())) PyException_SetCause(remapped.get(), cause);
    PyErr_SetRaisedException(remapped.release());
    throw PyErrAlreadySet{};
}

std::string_view convert_path_arg(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) throw_conversion_error(obj, messages::kTargetPath, param);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!utf8) throw PyErrAlreadySet{};
    return {utf8, static_cast<std::size_t>(len)};
}

}  // namespace tilu
