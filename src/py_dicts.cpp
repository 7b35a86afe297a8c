// Dicts made presized and hidden; the trim after a large dict's table is
// replaced; SortedDict.
#include "py_dicts.hpp"

#include "interrupt.hpp"
#include "platform.hpp"
#include "py_values.hpp"

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

SortedDict::~SortedDict() {
    Keyed* e = entries_.data();
    for (std::size_t i = taken_; i < entries_.size(); ++i) Py_DECREF(static_cast<PyObject*>(e[i].item));
}

Ref SortedDict::finish() {
    InterruptCountdown countdown;
    sort_by_key(entries_, countdown);
    const Keyed* e = entries_.data();
    const std::size_t n = entries_.size();
    Ref dict = new_hidden_dict(n);
    DictFiller into(dict.get());
    // The dict writes each object's count, and the objects were made long
    // before: the counts of the objects a little ahead are fetched meanwhile.
    constexpr std::size_t kAhead = 16;
    while (taken_ < n) {
        countdown(InterruptCountdown::kObject);
        const std::size_t i = taken_++;
#if defined(__GNUC__)
        if (i + kAhead < n) __builtin_prefetch(e[i + kAhead].item, 1);
#endif
        Ref object = Ref::steal(static_cast<PyObject*>(e[i].item));
        // Equal identifiers are neighbours now, in the file's order.
        if (i + 1 < n && e[i + 1].key == e[i].key) continue;
        into.set(py_uint(e[i].key), object);
        entries_.discard_before(i);
    }
    return dict;
}

}  // namespace tilu
