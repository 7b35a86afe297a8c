// C++ failures as Python exceptions: PanicException, the OSError subclasses,
// MemoryError; and the signal handlers run from the interrupt hook.
#include "py_errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "errors.hpp"
#include "messages.hpp"
#include "platform.hpp"

namespace tilu {
namespace {

PyObject* g_panic_exception = nullptr;

void raise_panic(const Panic& p) {
    std::string file = p.where.file_name();
    // The path from src/ on; Windows paths may have either separator.
    for (const char* dir : {"/src/", "\\src\\"}) {
        if (auto pos = file.rfind(dir); pos != std::string::npos) {
            file.erase(0, pos + 1);
            break;
        }
    }
    print_stderr(messages::panic_diagnostic(file, p.where.line(), p.where.column(), p.message));
    PyObject* msg = PyUnicode_DecodeUTF8(p.message.data(), static_cast<Py_ssize_t>(p.message.size()),
                                         "replace");
    if (!msg) return;
    PyErr_SetObject(g_panic_exception, msg);
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

void make_panic_exception() {
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "tilu.PanicException",
        "Raised when tilu's native code fails (malformed file content or an internal\n"
        "failure). Like SystemExit it derives from BaseException, not Exception, so it\n"
        "typically propagates all the way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
    if (!g_panic_exception) throw PyErrAlreadySet{};
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic(Panic(messages::kNoPythonException));
    } catch (const Panic& p) {
        raise_panic(p);
    } catch (const OsError& e) {
        raise_os_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(Panic(e.what()));
    } catch (...) {
        raise_panic(Panic(messages::kUnknownException));
    }
}

void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) throw PyErrAlreadySet{};
}

}  // namespace tilu
