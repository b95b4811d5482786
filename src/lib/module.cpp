// Module initialisation: the classes, then the functions, each name appended
// to __all__ before it is set, in a fixed order.
#include <Python.h>

#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/types.h"

namespace skerrow::py {
namespace {

PyObject* g_module = nullptr;

struct ClassEntry {
  const char* name;
  PyTypeObject* (*type)();
};

// Registration order is part of the module's contract (it fixes __all__).
const ClassEntry kClasses[] = {
    {"BufrMessage", bufr_message_type},
    {"DecodedValue", decoded_value_type},
    {"Descriptor", descriptor_type},
    {"ElementDefinition", element_definition_type},
    {"SequenceDefinition", sequence_definition_type},
    {"TableSet", table_set_type},
};

PyMethodDef kFunctions[] = {
    {"parse_bytes", as_cfunction(py_parse_bytes), METH_FASTCALL | METH_KEYWORDS,
     "parse_bytes(data)\n--\n\n"},
    {"parse_file", as_cfunction(py_parse_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_file(path)\n--\n\n"},
    {"parse_all_bytes", as_cfunction(py_parse_all_bytes), METH_FASTCALL | METH_KEYWORDS,
     "parse_all_bytes(data)\n--\n\n"},
    {"parse_all_file", as_cfunction(py_parse_all_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_all_file(path)\n--\n\n"},
    {"expand_descriptors", as_cfunction(py_expand_descriptors), METH_FASTCALL | METH_KEYWORDS,
     "expand_descriptors(table_dir, descriptors)\n--\n\n"},
    {"decode_values", as_cfunction(py_decode_values), METH_FASTCALL | METH_KEYWORDS,
     "decode_values(data, table_dir)\n--\n\n"},
    {"decode_values_with_tables", as_cfunction(py_decode_values_with_tables),
     METH_FASTCALL | METH_KEYWORDS, "decode_values_with_tables(data, tables)\n--\n\n"},
    {"decode_values_with_definitions", as_cfunction(py_decode_values_with_definitions),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_values_with_definitions(data, definitions_root)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_skerrow",  // m_name
    "",          // m_doc
    0,           // m_size: 0 keeps the module cacheable across re-imports
    nullptr,     // m_methods: added by hand below, after the classes
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// Appends `name` to __all__ (creating it on the first call), then sets the
// attribute. Steals nothing: `value` is borrowed.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* create_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) return nullptr;
    if (!add_public(module.get(), entry.name, reinterpret_cast<PyObject*>(type))) return nullptr;
  }
  Ref module_name = Ref::steal(PyUnicode_FromString("_skerrow"));
  if (!module_name) return nullptr;
  for (PyMethodDef* def = kFunctions; def->ml_name != nullptr; ++def) {
    Ref function = Ref::steal(PyCFunction_NewEx(def, module.get(), module_name.get()));
    if (!function || !add_public(module.get(), def->ml_name, function.get())) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace skerrow::py

namespace skerrow::py {

bool in_main_interpreter(const char* module_name) {
  // The main interpreter is the first one created; its id is 0. The types
  // and the table cache are globals of the process, so only it may use them,
  // whichever interpreter imports first.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
  PyErr_Format(PyExc_ImportError, "%s cannot be loaded in a sub-interpreter", module_name);
  return false;
}

}  // namespace skerrow::py

PyMODINIT_FUNC PyInit__skerrow() {
  using namespace skerrow::py;
  if (!in_main_interpreter("_skerrow")) return nullptr;
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyObject* module = guard([] { return create_module(); });
  if (module == nullptr) return nullptr;
  g_module = Py_NewRef(module);
  return module;
}
