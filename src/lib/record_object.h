// Python objects that own one plain C++ record by value: allocated by the
// type's allocator, the record placement-constructed into it and destroyed
// with it. Records hold no Python references, so no GC support is needed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/py_ref.h"

namespace skerrow::py {

template <typename Record>
struct RecordObject {
  PyObject_HEAD Record record;
};

template <typename Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

template <typename Record>
void record_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  record_of<Record>(self).~Record();
  reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
  Py_DECREF(tp);  // instances of a heap type hold a reference to it
}

// A new instance of `tp` owning `record`; nullptr with an exception set.
template <typename Record>
PyObject* new_record_object(PyTypeObject* tp, Record&& record) {
  if (tp == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(tp, 0);
  if (self == nullptr) return nullptr;
  new (&record_of<Record>(self)) Record(std::move(record));
  return self;
}

// A new tuple of ints.
template <typename Int>
PyObject* ints_to_tuple(const std::vector<Int>& values) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = nullptr;
    if constexpr (std::is_signed_v<Int>) {
      item = PyLong_FromLongLong(static_cast<long long>(values[i]));
    } else {
      item = PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(values[i]));
    }
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// A new list of ints.
inline PyObject* codes_to_list(const std::vector<std::uint32_t>& codes) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(codes.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(codes[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace skerrow::py
