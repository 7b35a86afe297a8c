// The one place where C++ failures become Python exceptions, and the hook
// through which signal handlers stop the core's long work.
#pragma once

#include "py_ref.hpp"

namespace tilu {

// Makes the type PanicException (not an attribute of the module); called
// once, at start-up, and kept for the process.
void make_panic_exception();

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

// The core's interrupt hook (interrupt.hpp), which module.cpp installs at
// start-up: runs the handlers of the signals that came since the last look
// (on the main thread; elsewhere it returns at once) and, when one of them
// raised, throws PyErrAlreadySet, so that the call unwinds and ends with that
// exception, KeyboardInterrupt or whatever the handler raised, unchanged.
void run_signal_handlers();

}  // namespace tilu
