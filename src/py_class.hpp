// What every record class is made of: its heap type, its tp_new that refuses,
// and its object layout (the record inside the Python object).
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "py_ref.hpp"

namespace tilu {

// The heap type made from a class file's PyType_Spec. Each record class
// states there its name ("builtins.<Name>"), its flags (default and
// immutable; not a base type, so not subclassable; not garbage-collected, as
// records hold no Python references) and its slots, among them tp_new =
// no_constructor and tp_dealloc = RecordObject<...>::dealloc.
PyTypeObject* make_type(PyType_Spec& type_spec);

// tp_new of every record class: TypeError "No constructor defined".
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

// The Python object of a record class: the header, then the record by value.
// The record is written before the object is seen by anything and never
// after, so any number of threads may read it at once.
// With an Item type it is a variable-size object instead, whose ob_size items
// follow the record inline, so that record and items take one allocation.
template <class T, class Item = void>
struct RecordObject {
    static_assert(std::is_void_v<Item> || std::is_trivially_copyable_v<Item>);
    using Header = std::conditional_t<std::is_void_v<Item>, PyObject, PyVarObject>;

    Header ob_base;
    T record;

    // The one cast from the objects the interpreter hands over.
    static RecordObject& of(PyObject* self) { return *reinterpret_cast<RecordObject*>(self); }

    // A new object of `type` holding `record`.
    static Ref create(PyTypeObject* type, T&& record)
        requires std::is_void_v<Item>
    {
        auto* obj = PyObject_New(RecordObject, type);
        if (!obj) throw PyErrAlreadySet{};
        new (&obj->record) T(std::move(record));
        return Ref::steal(reinterpret_cast<PyObject*>(obj));
    }

    // A new object of `type` holding `record` and room for `n` items, which
    // the caller fills before the object is seen by anything else.
    static Ref create(PyTypeObject* type, const T& record, std::size_t n)
        requires(!std::is_void_v<Item>)
    {
        auto* obj = PyObject_NewVar(RecordObject, type, static_cast<Py_ssize_t>(n));
        if (!obj) throw PyErrAlreadySet{};
        new (&obj->record) T(record);
        return Ref::steal(reinterpret_cast<PyObject*>(obj));
    }

    // The items after the record (variable-size objects only).
    const Item* items() const
        requires(!std::is_void_v<Item>)
    {
        return reinterpret_cast<const Item*>(reinterpret_cast<const char*>(this) + sizeof(RecordObject));
    }
    Item* items()
        requires(!std::is_void_v<Item>)
    {
        return reinterpret_cast<Item*>(reinterpret_cast<char*>(this) + sizeof(RecordObject));
    }
    std::size_t num_items() const
        requires(!std::is_void_v<Item>)
    {
        return static_cast<std::size_t>(ob_base.ob_size);
    }

    // tp_dealloc: destroys the record, frees the object, drops the reference
    // that the object held to its heap type.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&of(self).record);
        type->tp_free(self);
        Py_DECREF(type);
    }
};

}  // namespace tilu
