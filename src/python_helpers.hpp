// The layer between the interpreter and the rest: object ownership, the one
// place where C++ failures become Python exceptions, conversions of values to
// Python objects, argument binding, and the making of the record classes'
// types and objects. The record classes and the module build on it; nothing
// below them includes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "types.hpp"

namespace tilu {

// --- ownership and failures ----------------------------------------------------

// A C API call failed and left a Python exception set; nothing else to do
// than to unwind to the entry point and return NULL.
struct PyErrAlreadySet {};

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

// Sets the Python exception for the C++ failure in flight; called only from
// inside a catch block. Panic: a diagnostic on stderr, then PanicException
// with the message; OsError: the OSError subclass of its kind, with the text
// as its one argument; PyErrAlreadySet: the exception already set;
// std::bad_alloc: MemoryError; anything else: a panic.
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

// --- signals ---------------------------------------------------------------------

// The interrupt hook of the core (interrupt.hpp), installed at start-up: runs
// the handlers of the signals that came since the last look (on the main
// thread; elsewhere it returns at once) and, when one of them raised, throws
// PyErrAlreadySet, so that the call unwinds and ends with that exception,
// KeyboardInterrupt or whatever the handler raised, unchanged.
void run_signal_handlers();

// --- values -> Python objects ------------------------------------------------------

namespace detail {
inline constexpr std::uint64_t kSharedInts = std::uint64_t{1} << 16;
// The int objects of the values below kSharedInts (make_shared_ints).
inline PyObject** shared_ints = nullptr;
}  // namespace detail

// Makes the int objects of the values below 65536 (image ids, keypoint
// indices, counts), which py_uint hands out shared, as CPython shares its own
// small ints: a model's lists repeat them millions of times. Called once, at
// start-up, so that they are made in one run and sit together: made on first
// use, they would be scattered among a model's objects and keep the
// allocator's arenas of those alive after the model is dropped.
void make_shared_ints();

// Inline, as it runs for nearly every value the module hands out.
inline Ref py_uint(std::uint64_t v) {
    if (v < detail::kSharedInts) return Ref::borrow(detail::shared_ints[v]);
    return Ref::check(PyLong_FromUnsignedLongLong(v));
}
inline Ref py_float(double v) { return Ref::check(PyFloat_FromDouble(v)); }
// Ill-formed UTF-8 is replaced, never an error.
Ref py_str(std::string_view s);

// New list of `n` items, filled by `make(i)` (each returning a new reference).
template <class F>
Ref py_list(Py_ssize_t n, F&& make) {
    Ref list = Ref::check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, make(i));
    return list;
}
// [values[0], ..., values[n - 1]]
Ref py_float_list(const double* values, Py_ssize_t n);
// [x, y, z]
Ref py_vector_list(const Vector3& v);
// [[m00, m01, m02], [m10, m11, m12], [m20, m21, m22]]
Ref py_matrix_list(const Matrix3& m);

// An empty dict with room for `expected` items without resizing.
Ref new_dict(std::size_t expected = 0);

// Signal handlers run while the module builds its results, and may look for
// objects through the garbage collector (gc.get_objects()). A result under
// construction is therefore a dict that the collector does not list: one of
// new_hidden_dict(), which holds nothing the collector tracks (ints, floats,
// records), until reveal_dict() hands it back once it is complete.
Ref new_hidden_dict(std::size_t expected = 0);
// The interpreter tracks every dict from 3.14 on; before, it leaves a dict of
// untracked values untracked, and tracks it on the first tracked value set.
inline void reveal_dict(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030E0000
    if (!PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
#else
    (void)dict;
#endif
}
// Sets dict[key] = value (the dict takes references of its own).
inline void dict_set(PyObject* dict, const Ref& key, const Ref& value) {
    check_status(PyDict_SetItem(dict, key.get(), value.get()));
}

// Fills a dict that may grow large (a model file's records). CPython grows a
// dict by moving it to a table twice the size and freeing the old one. Once
// the process has freed a large block, glibc serves such tables from its heap
// instead of fresh mappings and keeps them when they are freed, so that a
// second load of a model would peak above the first. Each table a large dict
// leaves behind is therefore handed back at once.
class DictFiller {
public:
    explicit DictFiller(PyObject* dict) : dict_(dict) {}

    // dict[key] = value
    void set(const Ref& key, const Ref& value) {
        dict_set(dict_, key, value);
        if (table() != table_) table_replaced();
    }

private:
    // The dict's table (public, though not limited, API).
    const void* table() const { return reinterpret_cast<PyDictObject*>(dict_)->ma_keys; }
    void table_replaced();

    PyObject* dict_;
    const void* table_ = nullptr;
};

// --- argument binding --------------------------------------------------------------

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

// --- record classes --------------------------------------------------------------

// The heap type made from a class file's PyType_Spec. Each record class
// states there its name ("builtins.<Name>"), its flags (default and
// immutable; not a base type, so not subclassable; not garbage-collected, as
// records hold no Python references) and its slots, among them tp_new =
// no_constructor and tp_dealloc = RecordObject<...>::dealloc.
PyTypeObject* make_type(PyType_Spec& type_spec);

// tp_new of every record class: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// The Python object of a record class: the header, then the record by value.
// With an Item type it is a variable-size object instead, whose ob_size items
// follow the record inline, so that record and items take one allocation.
template <class T, class Item = void>
struct RecordObject {
    static_assert(std::is_void_v<Item> || std::is_trivially_copyable_v<Item>);
    using Header = std::conditional_t<std::is_void_v<Item>, PyObject, PyVarObject>;

    Header ob_base;
    T record;

    // The one cast from the objects the interpreter hands over.
    static RecordObject& of(PyObject* self) { return *reinterpret_cast<RecordObject*>(self); }

    // A new object of `type` holding `record`.
    static Ref create(PyTypeObject* type, T&& record)
        requires std::is_void_v<Item>
    {
        auto* obj = PyObject_New(RecordObject, type);
        if (!obj) throw PyErrAlreadySet{};
        new (&obj->record) T(std::move(record));
        return Ref::steal(reinterpret_cast<PyObject*>(obj));
    }

    // A new object of `type` holding `record` and room for `n` items, which
    // the caller fills before the object is seen by anything else.
    static Ref create(PyTypeObject* type, const T& record, std::size_t n)
        requires(!std::is_void_v<Item>)
    {
        auto* obj = PyObject_NewVar(RecordObject, type, static_cast<Py_ssize_t>(n));
        if (!obj) throw PyErrAlreadySet{};
        new (&obj->record) T(record);
        return Ref::steal(reinterpret_cast<PyObject*>(obj));
    }

    // The items after the record (variable-size objects only).
    const Item* items() const
        requires(!std::is_void_v<Item>)
    {
        return reinterpret_cast<const Item*>(reinterpret_cast<const char*>(this) + sizeof(RecordObject));
    }
    Item* items()
        requires(!std::is_void_v<Item>)
    {
        return reinterpret_cast<Item*>(reinterpret_cast<char*>(this) + sizeof(RecordObject));
    }
    std::size_t num_items() const
        requires(!std::is_void_v<Item>)
    {
        return static_cast<std::size_t>(ob_base.ob_size);
    }

    // tp_dealloc: destroys the record, frees the object, drops the reference
    // that the object held to its heap type.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&of(self).record);
        type->tp_free(self);
        Py_DECREF(type);
    }
};

}  // namespace tilu
