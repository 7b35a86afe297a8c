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

// An error of the operating system while opening or reading a file. Either it
// carries an errno (text: os_error_text in platform.hpp) or, with errno 0, a
// fixed message of its own.
struct OsError {
    int errno_value = 0;
    std::string message;
};

}  // namespace tilu
