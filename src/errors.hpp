// The two failures of the core, thrown as C++ exceptions. None of them reaches
// the interpreter: every Python entry point turns them into Python exceptions
// (guarded() in python_helpers.hpp).
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace tilu {

// Malformed content or an internal failure. Raised to Python as
// PanicException, after a diagnostic naming `where` is written to stderr.
struct Panic {
    std::string message;
    std::source_location where;

    explicit Panic(std::string msg, std::source_location loc = std::source_location::current())
        : message(std::move(msg)), where(loc) {}
};

// The kinds of operating-system error that Python raises as an OSError
// subclass of their own; every other error is OSError itself. Each system's
// error numbers are sorted into these by the platform layer.
enum class OsErrorKind : unsigned char {
    Other,
    NotFound,
    PermissionDenied,
    AlreadyExists,
    WouldBlock,
    Interrupted,
    TimedOut,
    BrokenPipe,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
};

// An error of the operating system while opening or reading a file: its kind
// and the whole message, e.g. "No such file or directory (os error 2)". Python
// sees the message alone, as the one argument of the OSError.
struct OsError {
    OsErrorKind kind = OsErrorKind::Other;
    std::string message;
};

}  // namespace tilu
