// Dicts made presized and hidden; the trim after a large dict's table is replaced.
#include "py_dicts.hpp"

#include "platform.hpp"

namespace tilu {

Ref new_dict(std::size_t expected) {
    // _PyDict_NewPresized is CPython's own, not its public API: it is used
    // where it is known to be declared (up to 3.15), else the dict grows.
#if PY_VERSION_HEX < 0x03100000
    if (expected > 0) return Ref::check(_PyDict_NewPresized(static_cast<Py_ssize_t>(expected)));
#else
    (void)expected;
#endif
    return Ref::check(PyDict_New());
}

Ref new_hidden_dict(std::size_t expected) {
    Ref dict = new_dict(expected);
    PyObject_GC_UnTrack(dict.get());
    return dict;
}

void DictFiller::table_replaced() {
    table_ = table();
    // Smaller tables are not worth a trim, which walks the allocator's free
    // lists.
    constexpr Py_ssize_t kLargeDict = 4096;
    if (PyDict_GET_SIZE(dict_) >= kLargeDict) return_free_heap_memory();
}

}  // namespace tilu
