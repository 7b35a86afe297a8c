// The fixed texts of the module's interface: the message of every failure it
// raises and the progress lines it prints, word for word as callers see them
// and as the tests match them. Each is spelled here once; the code that raises
// or prints one names it from here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tilu::messages {

// --- PanicException: malformed file content ------------------------------------------

// A field of a file that would end past the end of its `size` bytes.
inline std::string out_of_range(std::size_t end, std::size_t size) {
    return "range end index " + std::to_string(end) + " out of range for slice of length " +
           std::to_string(size);
}
// An image name with no zero byte before the end of the file's `size` bytes.
inline std::string unterminated_name(std::size_t size) {
    return "index out of bounds: the len is " + std::to_string(size) + " but the index is " +
           std::to_string(size);
}
// A camera model number outside -1..10.
inline constexpr char kInvalidModelNumber[] = "Invalid enum value";
// A camera of model -1 (Invalid), which has no parameter count.
inline constexpr char kInvalidModelParams[] = "Cannot get params for invalid camera";

// --- PanicException: calls that cannot be served ---------------------------------------

// Camera.K() of a model other than the two pinhole ones.
inline constexpr char kNoCalibrationMatrix[] = "Not implemented";
// The points3D argument of a covisibility call, changed while it is read.
inline constexpr char kDictChangedSize[] = "dictionary changed size during iteration";
inline constexpr char kDictKeysChanged[] = "dictionary keys changed during iteration";
// Point3D.color when its Color object cannot be made: this prefix, then the
// repr of the Python exception (or kUnprintableError).
inline constexpr char kColorFailed[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char kUnprintableError[] = "<unprintable error>";
// A progress line that cannot be written: this prefix, then the system's
// text of the error (os_error) or kStdoutWroteNothing.
inline constexpr char kStdoutFailed[] = "failed printing to stdout: ";
inline constexpr char kStdoutWroteNothing[] = "failed to write whole buffer";

// --- PanicException: internal failures --------------------------------------------------

inline constexpr char kNoPythonException[] = "a Python call failed without an exception";
inline constexpr char kUnknownException[] = "unknown C++ exception";

// The diagnostic on standard error that comes with every PanicException:
// where it was raised (the path from src/ on) and its message.
inline std::string panic_diagnostic(std::string_view file, unsigned line, unsigned column,
                                    std::string_view message) {
    return "tilu panicked at " + std::string(file) + ":" + std::to_string(line) + ":" +
           std::to_string(column) + ":\n" + std::string(message) + "\n";
}

// --- OSError ---------------------------------------------------------------------------

// The one argument of an OSError from the system: its description of the
// error, e.g. "No such file or directory (os error 2)".
inline std::string os_error(std::string_view description, int errno_value) {
    return std::string(description) + " (os error " + std::to_string(errno_value) + ")";
}
inline constexpr char kNulInPath[] = "file name contained an unexpected NUL byte";

// --- TypeError: arguments ----------------------------------------------------------------

// `function` is the function's name with "()", e.g. "read_cameras_bin()".
inline std::string too_many_positional(std::string_view function, std::ptrdiff_t given) {
    return std::string(function) + " takes 1 positional arguments but " + std::to_string(given) +
           " were given";
}
inline std::string multiple_values(std::string_view function, std::string_view param) {
    return std::string(function) + " got multiple values for argument '" + std::string(param) + "'";
}
inline std::string unexpected_keyword(std::string_view function, std::string_view keyword) {
    return std::string(function) + " got an unexpected keyword argument '" + std::string(keyword) + "'";
}
inline std::string missing_argument(std::string_view function, std::string_view param) {
    return std::string(function) + " missing 1 required positional argument: '" + std::string(param) + "'";
}
// The prefix of every error in converting argument `param`.
inline std::string argument_prefix(std::string_view param) {
    return "argument '" + std::string(param) + "': ";
}
// An argument of the wrong type: the qualified name of its type and the type
// it should have been, one of the targets below.
inline std::string cannot_convert(std::string_view param, std::string_view type, std::string_view target) {
    return argument_prefix(param) + "'" + std::string(type) + "' object cannot be converted to '" +
           std::string(target) + "'";
}
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr char kTargetPath[] = "PyString";     // path
inline constexpr char kTargetPoints3D[] = "PyDict";   // points3D
inline constexpr char kTargetPoint3D[] = "Point3D";   // a value of points3D
inline constexpr char kTargetImage[] = "Image";       // other

// --- TypeError, ImportError: the classes and the module ----------------------------------

// Calling Camera, Image, Point3D or Color.
inline constexpr char kNoConstructor[] = "No constructor defined";
inline constexpr char kSubinterpreters[] =
    "tilu does not support subinterpreters: it can be imported only into the interpreter that "
    "imported it first.";

// --- standard output -----------------------------------------------------------------------

inline constexpr char kComputingOverlaps[] = "Computing overlaps...\n";
inline constexpr char kDoneOverlaps[] = "Done computing overlaps.\n";
inline constexpr char kComputingPercentages[] = "Computing percentages...\n";
inline constexpr char kDonePercentages[] = "Done computing percentages.\n";

}  // namespace tilu::messages
