// Ownership of Python objects, and the failure of a C API call. The one file
// that includes Python.h: every file above the core reaches the C API
// through it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tilu {

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

// Holds the lock of `obj` while it lives, where Python has no interpreter
// lock (a free-threaded build: the object's critical section, which the
// interpreter suspends while this thread waits, and resumes after); nothing
// where the interpreter lock lets one thread run at a time.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* obj) { PyCriticalSection_Begin(&section_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
    explicit CriticalSection(PyObject*) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// The status of a C API call that returns -1 with an exception set.
inline void check_status(int status) {
    if (status < 0) throw PyErrAlreadySet{};
}

}  // namespace tilu
