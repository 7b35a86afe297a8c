#include "python_helpers.hpp"

#include <exception>
#include <string>

#include "errors.hpp"
#include "platform.hpp"

namespace tilu {

// --- failures ----------------------------------------------------------------------

namespace {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // made once, kept for the process
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "tilu.PanicException",
            "Raised when tilu's native code fails (malformed file content or an internal\n"
            "failure). Like SystemExit it derives from BaseException, not Exception, so it\n"
            "typically propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const Panic& p) {
    std::string file = p.where.file_name();
    // The path from src/ on; Windows paths may have either separator.
    for (const char* dir : {"/src/", "\\src\\"}) {
        if (auto pos = file.rfind(dir); pos != std::string::npos) {
            file.erase(0, pos + 1);
            break;
        }
    }
    print_stderr("tilu panicked at " + file + ":" + std::to_string(p.where.line()) + ":" +
                 std::to_string(p.where.column()) + ":\n" + p.message + "\n");
    PyObject* type = panic_exception_type();
    if (!type) return;
    PyObject* msg = PyUnicode_DecodeUTF8(p.message.data(), static_cast<Py_ssize_t>(p.message.size()),
                                         "replace");
    if (!msg) return;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
}

PyObject* os_error_type(OsErrorKind kind) {
    switch (kind) {
        case OsErrorKind::NotFound: return PyExc_FileNotFoundError;
        case OsErrorKind::PermissionDenied: return PyExc_PermissionError;
        case OsErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case OsErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case OsErrorKind::Interrupted: return PyExc_InterruptedError;
        case OsErrorKind::TimedOut: return PyExc_TimeoutError;
        case OsErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
        case OsErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case OsErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
        case OsErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case OsErrorKind::Other: break;
    }
    return PyExc_OSError;
}

// One argument only, so errno, strerror and filename stay None.
void raise_os_error(const OsError& e) {
    PyObject* msg =
        PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (!msg) return;
    PyObject* exc = PyObject_CallOneArg(os_error_type(e.kind), msg);
    Py_DECREF(msg);
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
}

}  // namespace

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic(Panic("a Python call failed without an exception"));
    } catch (const Panic& p) {
        raise_panic(p);
    } catch (const OsError& e) {
        raise_os_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(Panic(e.what()));
    } catch (...) {
        raise_panic(Panic("unknown C++ exception"));
    }
}

// --- signals ---------------------------------------------------------------------

void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) throw PyErrAlreadySet{};
}

// --- values -> Python objects ------------------------------------------------------

void make_shared_ints() {
    auto* table = static_cast<PyObject**>(PyMem_RawCalloc(detail::kSharedInts, sizeof(PyObject*)));
    if (!table) throw std::bad_alloc();
    for (std::uint64_t v = 0; v < detail::kSharedInts; ++v) {
        table[v] = PyLong_FromUnsignedLongLong(v);
        if (!table[v]) {
            while (v > 0) Py_DECREF(table[--v]);
            PyMem_RawFree(table);
            throw PyErrAlreadySet{};
        }
    }
    detail::shared_ints = table;
}

Ref py_str(std::string_view s) {
    return Ref::check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Ref py_float_list(const double* values, Py_ssize_t n) {
    return py_list(n, [&](Py_ssize_t i) { return py_float(values[i]).release(); });
}

Ref py_vector_list(const Vector3& v) {
    const double xyz[3] = {v.x, v.y, v.z};
    return py_float_list(xyz, 3);
}

Ref py_matrix_list(const Matrix3& m) {
    return py_list(3, [&](Py_ssize_t i) { return py_float_list(m[i].data(), 3).release(); });
}

Ref new_dict(std::size_t expected) {
    // _PyDict_NewPresized is CPython's own, not its public API: it is used
    // where it is known to be declared (up to 3.15), else the dict grows.
#if PY_VERSION_HEX < 0x03100000
    if (expected > 0) return Ref::check(_PyDict_NewPresized(static_cast<Py_ssize_t>(expected)));
#else
    (void)expected;
#endif
    return Ref::check(PyDict_New());
}

Ref new_hidden_dict(std::size_t expected) {
    Ref dict = new_dict(expected);
    PyObject_GC_UnTrack(dict.get());
    return dict;
}

void DictFiller::table_replaced() {
    table_ = table();
    // Smaller tables are not worth a trim, which walks the allocator's free
    // lists.
    constexpr Py_ssize_t kLargeDict = 4096;
    if (PyDict_GET_SIZE(dict_) >= kLargeDict) return_free_heap_memory();
}

// --- argument binding --------------------------------------------------------------

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
    std::string out = utf8 ? utf8 : "<failed to extract type name>";
    if (!utf8) PyErr_Clear();
    Py_XDECREF(name);
    return out;
}

}  // namespace

PyObject* bind_single_arg(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          const char* full_name, const char* param) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1)
        throw_type_error(std::string(full_name) + " takes 1 positional arguments but " +
                         std::to_string(nargs) + " were given");
    PyObject* value = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (is_param_name(name, param)) {
            if (value)
                throw_type_error(std::string(full_name) + " got multiple values for argument '" +
                                 param + "'");
            value = args[nargs + i];
        } else {
            const char* kw = PyUnicode_AsUTF8(name);
            if (!kw) throw PyErrAlreadySet{};
            throw_type_error(std::string(full_name) + " got an unexpected keyword argument '" + kw +
                             "'");
        }
    }
    if (!value)
        throw_type_error(std::string(full_name) + " missing 1 required positional argument: '" +
                         param + "'");
    return value;
}

void throw_conversion_error(PyObject* obj, const char* target, const char* param) {
    throw_type_error(std::string("argument '") + param + "': '" + type_qualname(obj) +
                     "' object cannot be converted to '" + target + "'");
}

void rethrow_with_arg_prefix(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrAlreadySet{};
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::check(PyObject_Str(error.get()));
    Ref message = Ref::check(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    Ref remapped = Ref::check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (PyObject* cause = PyException_GetCause(error.get())) PyException_SetCause(remapped.get(), cause);
    PyErr_SetRaisedException(remapped.release());
    throw PyErrAlreadySet{};
}

std::string_view convert_path_arg(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) throw_conversion_error(obj, "PyString", param);
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!utf8) throw PyErrAlreadySet{};
    return {utf8, static_cast<std::size_t>(len)};
}

// --- record classes --------------------------------------------------------------

PyTypeObject* make_type(PyType_Spec& type_spec) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!type) throw PyErrAlreadySet{};
    return type;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

}  // namespace tilu
