// The shared ints, and text, lists, vectors and matrices as new objects.
#include "py_values.hpp"

#include <new>

namespace tilu {

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

}  // namespace tilu
