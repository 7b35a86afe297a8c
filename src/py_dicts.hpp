// The dicts the module returns: made hidden from the garbage collector while
// they are built, and filled without keeping the tables they outgrow.
#pragma once

#include <cstddef>

#include "py_ref.hpp"

namespace tilu {

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
    // The dict's table of keys. Not CPython's public API: this relies on the
    // field ma_keys of PyDictObject, which the non-limited headers declare
    // (Include/cpython/dictobject.h, 3.12 to 3.15), and on a resize putting a
    // new table there. Beyond the versions known to have both, no table is
    // seen to change and nothing is handed back. Nor on a free-threaded
    // build, where dict tables come from mimalloc, not from the C heap that
    // a trim hands back.
    const void* table() const {
#if PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED)
        return reinterpret_cast<PyDictObject*>(dict_)->ma_keys;
#else
        return nullptr;
#endif
    }
    void table_replaced();

    PyObject* dict_;
    const void* table_ = nullptr;
};

}  // namespace tilu
