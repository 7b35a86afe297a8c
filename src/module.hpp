// The module's face towards the interpreter: object ownership, the single
// place where C++ failures become Python exceptions, argument binding and
// the conversions shared by every class and function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"

namespace tilu {

// Owns one strong reference.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Takes the result of a C API call that returns a new reference or NULL
    // with an exception set.
    static Ref check(PyObject* o) {
        if (!o) throw PyErrAlreadySet{};
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref tmp(std::move(other));
        std::swap(p_, tmp.p_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

inline void check_status(int status) {
    if (status < 0) throw PyErrAlreadySet{};
}

// Sets the Python exception for a C++ failure in flight; called only from
// inside a catch block.
void set_python_error_from_current_exception() noexcept;

// Runs `f` (returning PyObject*) and turns every C++ failure into a Python
// exception and a NULL return: the body of every Python entry point.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// --- values -> Python objects ------------------------------------------------

// Values below 65536 (image ids, keypoint indices, counts) come from a table
// of int objects made on first use and shared, as CPython shares its own
// small ints: a model's lists repeat them millions of times.
Ref py_uint(std::uint64_t v);
inline Ref py_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }
Ref py_str(std::string_view s);

// New list of `n` items, filled by `make(i)` (each returning a new reference).
template <class F>
Ref py_list(Py_ssize_t n, F&& make) {
    Ref list = Ref::check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, make(i));
    return list;
}
Ref py_float_list(const double* values, Py_ssize_t n);

// Sets dict[key] = value (the dict takes references of its own).
void dict_set(PyObject* dict, const Ref& key, const Ref& value);

// --- argument binding --------------------------------------------------------

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

// --- classes -----------------------------------------------------------------

// Makes a heap type named "builtins.<name>": not subclassable, immutable, no
// constructor ("No constructor defined"), not garbage-collected.
PyTypeObject* make_record_type(const char* name, Py_ssize_t basicsize, Py_ssize_t itemsize,
                               PyType_Slot* slots);
// tp_new of every record class.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// Python object holding a record of type T by value after the header.
template <class T>
struct RecordObject {
    PyObject_HEAD
    T record;
};

template <class T>
Ref wrap_record(PyTypeObject* type, T&& record) {
    auto* obj = PyObject_New(RecordObject<std::remove_cvref_t<T>>, type);
    if (!obj) throw PyErrAlreadySet{};
    new (&obj->record) std::remove_cvref_t<T>(std::forward<T>(record));
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

template <class T>
void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<RecordObject<T>*>(self)->record.~T();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
const T& record_of(PyObject* self) {
    return reinterpret_cast<RecordObject<T>*>(self)->record;
}

// The types of the classes (made on first use, kept for the process).
PyTypeObject* camera_type();
PyTypeObject* image_type();
PyTypeObject* point3d_type();
PyTypeObject* color_type();

struct Camera;
struct Image;
struct Point3DEntry;
struct TrackElement;

Ref new_camera_object(Camera&& camera);
Ref new_image_object(Image&& image);
Ref new_point3d_object(const Point3DEntry& entry);
// The track of a Point3D object (which must be one): `length` packed entries.
const TrackElement* point3d_track(PyObject* point, std::uint64_t& length);

}  // namespace tilu
