// The Python classes and module functions of _skerrow, one source file per
// class. module.cpp registers them in their fixed order.
#pragma once

#include <Python.h>

#include "decode/decoded_value.h"
#include "message/bufr_message.h"
#include "tables/table_model.h"

namespace skerrow::py {

// Each *_type() creates its heap type on the first call and returns a
// borrowed pointer (nullptr with an exception set if creation failed).
// They all do it through lazy_type, with a pointer that lives as long as
// the process (the types live as long as the interpreter).
inline PyTypeObject* lazy_type(PyTypeObject** slot, PyType_Spec* type_spec) {
  if (*slot == nullptr) *slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
  return *slot;
}

PyTypeObject* bufr_message_type();
PyTypeObject* decoded_value_type();
PyTypeObject* descriptor_type();
PyTypeObject* element_definition_type();
PyTypeObject* sequence_definition_type();
PyTypeObject* table_set_type();

// A new list of DecodedValue objects for `decoded`, whose strings move into
// one hidden object that the values share.
PyObject* to_list(DecodedValues&& decoded);

// A new TableSet object owning `tables`.
PyObject* new_table_set_object(TableSet&& tables);
// The TableSet owned by a TableSet object, or nullptr if `object` is not one.
const TableSet* table_set_record(PyObject* object);

// A new BufrMessage object owning `record`.
PyObject* new_bufr_message(BufrMessage&& record);
// The record of a BufrMessage object, or nullptr if `object` is not one.
const BufrMessage* bufr_message_record(PyObject* object);

// Module functions (METH_FASTCALL | METH_KEYWORDS).
PyObject* py_parse_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* py_parse_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* py_parse_all_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* py_parse_all_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_decode_values(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* py_decode_values_with_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* py_decode_values_with_definitions(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_expand_descriptors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// True in the main interpreter; otherwise false with ImportError set, naming
// `module_name`. Both modules of the library call it on import.
bool in_main_interpreter(const char* module_name);

// Casts a fast-call function for a PyMethodDef without tripping -Wcast-function-type.
template <typename F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

}  // namespace skerrow::py
