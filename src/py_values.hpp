// Values of the records as new Python objects: ints, floats, text, lists.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "py_ref.hpp"
#include "types.hpp"

namespace tilu {

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
// allocator's arenas of those alive after the model is dropped. Threads: the
// table is only read after start-up; the ints' counts are the interpreter's
// (atomic where it has no lock; those below 257 are its own, immortal ones).
void make_shared_ints();

// Inline, as it runs for nearly every value the module hands out.
inline Ref py_uint(std::uint64_t v) {
    if (v < detail::kSharedInts) return Ref::borrow(detail::shared_ints[v]);
    return Ref::check(PyLong_FromUnsignedLongLong(v));
}

// The ints of a call that hands out many equal values (image identifiers and
// counts of covisibility). With an interpreter lock, py_uint's shared ones.
// On a free-threaded build an object's count is changed cheaply only by the
// thread that made it; any other thread changes it by an atomic operation,
// and all of them contend for its cache line. There the call makes ints of
// its own for the values below 65536, each on first use (those below 257 are
// CPython's immortal ones).
class CallInts {
public:
    Ref operator()(std::uint64_t v) {
#ifdef Py_GIL_DISABLED
        if (v <= 256 || v >= detail::kSharedInts) return Ref::check(PyLong_FromUnsignedLongLong(v));
        if (v >= made_.size())
            made_.resize(std::min<std::size_t>(detail::kSharedInts, std::max<std::size_t>(v + 1, 2 * made_.size())));
        Ref& made = made_[v];
        if (!made) made = Ref::check(PyLong_FromUnsignedLongLong(v));
        return Ref::borrow(made.get());
#else
        return py_uint(v);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    std::vector<Ref> made_;
#endif
};

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

}  // namespace tilu
