// The table classes: TableSet, ElementDefinition, SequenceDefinition and
// Descriptor, and the module function expand_descriptors.
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/literal.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/types.h"
#include "tables/descriptor.h"
#include "tables/eccodes_loader.h"
#include "tables/expansion.h"
#include "tables/table_selection.h"
#include "tables/wmo_csv_loader.h"

namespace skerrow::py {
namespace {

using DescriptorObject = RecordObject<Fxy>;
using ElementObject = RecordObject<ElementDefinition>;
using SequenceObject = RecordObject<SequenceDefinition>;
using TableSetObject = RecordObject<TableSet>;

PyObject* str_from(std::string_view text) {
  // Table texts are checked UTF-8 when loaded; "replace" keeps a hand-built
  // set from failing here all the same.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* str_from_std(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------- Descriptor

PyTypeObject* g_descriptor_type = nullptr;

PyObject* new_descriptor(Fxy fxy) { return new_record_object(descriptor_type(), std::move(fxy)); }

PyObject* descriptor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* const kKeywords[] = {"f", "x", "y", nullptr};
    PyObject* parts[3] = {nullptr, nullptr, nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Descriptor", const_cast<char**>(kKeywords),
                                     &parts[0], &parts[1], &parts[2])) {
      return nullptr;
    }
    std::uint64_t values[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
      if (!require_unsigned("Descriptor", kKeywords[i], parts[i], 255, &values[i])) return nullptr;
    }
    return new_descriptor(Fxy{static_cast<std::uint8_t>(values[0]),
                              static_cast<std::uint8_t>(values[1]),
                              static_cast<std::uint8_t>(values[2])});
  });
}

constexpr const char* kCodeParameter[] = {"code"};

PyObject* descriptor_from_fxy(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_args("from_fxy", kCodeParameter, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t code = 0;
    if (!require_unsigned("from_fxy", "code", bound[0], 0xFFFFFFFFu, &code)) return nullptr;
    return new_descriptor(split_code(static_cast<std::uint32_t>(code)));
  });
}

std::uint32_t fxy_code(const Fxy& d) { return make_code(d.f, d.x, d.y); }

PyObject* descriptor_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return str_from_std("Descriptor(" + format_descriptor(fxy_code(record_of<Fxy>(self))) + ")");
  });
}

PyObject* descriptor_get_f(PyObject* self, void*) {
  return PyLong_FromLong(record_of<Fxy>(self).f);
}
PyObject* descriptor_get_x(PyObject* self, void*) {
  return PyLong_FromLong(record_of<Fxy>(self).x);
}
PyObject* descriptor_get_y(PyObject* self, void*) {
  return PyLong_FromLong(record_of<Fxy>(self).y);
}
PyObject* descriptor_get_fxy(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(fxy_code(record_of<Fxy>(self)));
}

PyGetSetDef descriptor_getset[] = {
    {"f", descriptor_get_f, nullptr, nullptr, nullptr},
    {"x", descriptor_get_x, nullptr, nullptr, nullptr},
    {"y", descriptor_get_y, nullptr, nullptr, nullptr},
    {"fxy", descriptor_get_fxy, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef descriptor_methods[] = {
    {"from_fxy", as_cfunction(descriptor_from_fxy), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_fxy(code)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Fxy>)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_doc, const_cast<char*>("Descriptor(f, x, y)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec descriptor_spec{"_skerrow.Descriptor", sizeof(DescriptorObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, descriptor_slots};

// --------------------------------------------------------- ElementDefinition

PyTypeObject* g_element_type = nullptr;

template <auto Member>
PyObject* element_get_text(PyObject* self, void*) {
  return str_from(record_of<ElementDefinition>(self).*Member);
}
template <auto Member>
PyObject* element_get_signed(PyObject* self, void*) {
  return PyLong_FromLongLong(record_of<ElementDefinition>(self).*Member);
}
template <auto Member>
PyObject* element_get_unsigned(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of<ElementDefinition>(self).*Member);
}

PyObject* element_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const ElementDefinition& e = record_of<ElementDefinition>(self);
    std::string text = "ElementDefinition(" + format_descriptor(e.code) + ", name=";
    if (!append_literal(text, e.name, false)) return nullptr;
    text += ')';
    return str_from_std(text);
  });
}

using E = ElementDefinition;
PyGetSetDef element_getset[] = {
    {"code", element_get_unsigned<&E::code>, nullptr, nullptr, nullptr},
    {"abbreviation", element_get_text<&E::abbreviation>, nullptr, nullptr, nullptr},
    {"element_type", element_get_text<&E::element_type>, nullptr, nullptr, nullptr},
    {"name", element_get_text<&E::name>, nullptr, nullptr, nullptr},
    {"unit", element_get_text<&E::unit>, nullptr, nullptr, nullptr},
    {"scale", element_get_signed<&E::scale>, nullptr, nullptr, nullptr},
    {"reference", element_get_signed<&E::reference>, nullptr, nullptr, nullptr},
    {"width", element_get_unsigned<&E::width>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<ElementDefinition>)},
    {Py_tp_repr, reinterpret_cast<void*>(element_repr)},
    {Py_tp_getset, element_getset},
    {0, nullptr},
};

PyType_Spec element_spec{
    "_skerrow.ElementDefinition", sizeof(ElementObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    element_slots};

// -------------------------------------------------------- SequenceDefinition

PyTypeObject* g_sequence_type = nullptr;

PyObject* sequence_get_code(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(record_of<SequenceDefinition>(self).code);
}

PyObject* sequence_get_members(PyObject* self, void*) {
  return guard(
      [&]() -> PyObject* { return codes_to_list(record_of<SequenceDefinition>(self).members); });
}

PyObject* sequence_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const SequenceDefinition& s = record_of<SequenceDefinition>(self);
    std::string text = "SequenceDefinition(" + format_descriptor(s.code) + ", members=[";
    for (std::size_t i = 0; i < s.members.size(); ++i) {
      if (i > 0) text += ", ";
      text += std::to_string(s.members[i]);
    }
    text += "])";
    return str_from_std(text);
  });
}

PyGetSetDef sequence_getset[] = {
    {"code", sequence_get_code, nullptr, nullptr, nullptr},
    {"members", sequence_get_members, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sequence_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<SequenceDefinition>)},
    {Py_tp_repr, reinterpret_cast<void*>(sequence_repr)},
    {Py_tp_getset, sequence_getset},
    {0, nullptr},
};

PyType_Spec sequence_spec{
    "_skerrow.SequenceDefinition", sizeof(SequenceObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sequence_slots};

// ------------------------------------------------------------------ TableSet

PyTypeObject* g_table_set_type = nullptr;

PyObject* new_table_set(TableSet&& tables) {
  return new_record_object(table_set_type(), std::move(tables));
}

// Wraps a loader's result: the new TableSet, or ValueError.
PyObject* table_set_or_error(Result<TableSet>&& loaded) {
  if (!loaded) return raise_decode_error(loaded.error());
  return new_table_set(std::move(loaded).value());
}

PyObject* table_set_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
      PyErr_SetString(PyExc_TypeError, "TableSet() takes no arguments");
      return nullptr;
    }
    return new_table_set(TableSet{});
  });
}

constexpr const char* kDefinitionsParameters[] = {"path", "message"};
constexpr const char* kMeaningParameters[] = {"code", "raw"};
constexpr const char* kDescriptorsParameter[] = {"descriptors"};
constexpr const char* kExpandParameters[] = {"table_dir", "descriptors"};

PyObject* table_set_from_eccodes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string path;
    if (!bind_path_argument("from_eccodes", args, nargs, kwnames, &path)) return nullptr;
    return table_set_or_error(load_eccodes(path));
  });
}

PyObject* table_set_from_bufr4_45(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string path;
    if (!bind_path_argument("from_bufr4_45", args, nargs, kwnames, &path)) return nullptr;
    return table_set_or_error(load_wmo_csv_directory(path));
  });
}

PyObject* table_set_from_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_args("from_definitions", kDefinitionsParameters, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view path;
    if (!require_str("from_definitions", "path", bound[0], &path)) return nullptr;
    const BufrMessage* message = bufr_message_record(bound[1]);
    if (message == nullptr) {
      raise_wrong_type("from_definitions", "message", "BufrMessage", bound[1]);
      return nullptr;
    }
    return table_set_or_error(load_tables_for_message(std::string(path), *message));
  });
}

// Binds the single `code` argument of a lookup.
bool code_argument(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::uint32_t* code) {
  PyObject* bound[1];
  if (!bind_args(function_name, kCodeParameter, args, nargs, kwnames, bound)) return false;
  std::uint64_t value = 0;
  if (!require_unsigned(function_name, "code", bound[0], 0xFFFFFFFFu, &value)) return false;
  *code = static_cast<std::uint32_t>(value);
  return true;
}

PyObject* table_set_get_element(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!code_argument("get_element", args, nargs, kwnames, &code)) return nullptr;
    const ElementDefinition* element = record_of<TableSet>(self).element(code);
    if (element == nullptr) Py_RETURN_NONE;
    return new_record_object(element_definition_type(), ElementDefinition(*element));
  });
}

PyObject* table_set_get_sequence(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::uint32_t code = 0;
    if (!code_argument("get_sequence", args, nargs, kwnames, &code)) return nullptr;
    const SequenceDefinition* sequence = record_of<TableSet>(self).sequence(code);
    if (sequence == nullptr) Py_RETURN_NONE;
    return new_record_object(sequence_definition_type(), SequenceDefinition(*sequence));
  });
}

PyObject* table_set_get_meaning(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_args("get_meaning", kMeaningParameters, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::uint64_t code = 0;
    std::uint64_t raw = 0;
    if (!require_unsigned("get_meaning", "code", bound[0], 0xFFFFFFFFu, &code) ||
        !require_unsigned("get_meaning", "raw", bound[1], UINT64_MAX, &raw)) {
      return nullptr;
    }
    const std::string* meaning =
        record_of<TableSet>(self).meaning(static_cast<std::uint32_t>(code), raw);
    if (meaning == nullptr) Py_RETURN_NONE;
    return str_from(*meaning);
  });
}

PyObject* expand_to_list(const TableSet& tables, const std::vector<std::uint32_t>& codes) {
  auto expanded = expand(tables, codes);
  if (!expanded) return raise_decode_error(expanded.error());
  return codes_to_list(expanded.value());
}

PyObject* table_set_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_args("expand", kDescriptorsParameter, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::uint32_t> codes;
    if (!require_codes("expand", "descriptors", bound[0], &codes)) return nullptr;
    return expand_to_list(record_of<TableSet>(self), codes);
  });
}

PyObject* table_set_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const TableSet& t = record_of<TableSet>(self);
    return str_from_std("TableSet(elements=" + std::to_string(t.element_count()) +
                        ", sequences=" + std::to_string(t.sequence_count()) + ")");
  });
}

PyObject* table_set_get_element_count(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of<TableSet>(self).element_count());
}
PyObject* table_set_get_sequence_count(PyObject* self, void*) {
  return PyLong_FromSize_t(record_of<TableSet>(self).sequence_count());
}

PyGetSetDef table_set_getset[] = {
    {"element_count", table_set_get_element_count, nullptr, nullptr, nullptr},
    {"sequence_count", table_set_get_sequence_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kStaticFast = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef table_set_methods[] = {
    {"from_eccodes", as_cfunction(table_set_from_eccodes), kStaticFast,
     "from_eccodes(path)\n--\n\n"},
    {"from_bufr4_45", as_cfunction(table_set_from_bufr4_45), kStaticFast,
     "from_bufr4_45(path)\n--\n\n"},
    {"from_definitions", as_cfunction(table_set_from_definitions), kStaticFast,
     "from_definitions(path, message)\n--\n\n"},
    {"get_element", as_cfunction(table_set_get_element), kFast, "get_element($self, code)\n--\n\n"},
    {"get_sequence", as_cfunction(table_set_get_sequence), kFast,
     "get_sequence($self, code)\n--\n\n"},
    {"get_meaning", as_cfunction(table_set_get_meaning), kFast,
     "get_meaning($self, code, raw)\n--\n\n"},
    {"expand", as_cfunction(table_set_expand), kFast, "expand($self, descriptors)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_set_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(table_set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<TableSet>)},
    {Py_tp_repr, reinterpret_cast<void*>(table_set_repr)},
    {Py_tp_getset, table_set_getset},
    {Py_tp_methods, table_set_methods},
    {Py_tp_doc, const_cast<char*>("TableSet()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec table_set_spec{"_skerrow.TableSet", sizeof(TableSetObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, table_set_slots};

}  // namespace

PyTypeObject* descriptor_type() { return lazy_type(&g_descriptor_type, &descriptor_spec); }
PyTypeObject* element_definition_type() { return lazy_type(&g_element_type, &element_spec); }
PyTypeObject* sequence_definition_type() { return lazy_type(&g_sequence_type, &sequence_spec); }
PyTypeObject* table_set_type() { return lazy_type(&g_table_set_type, &table_set_spec); }

PyObject* new_table_set_object(TableSet&& tables) { return new_table_set(std::move(tables)); }

const TableSet* table_set_record(PyObject* object) {
  if (g_table_set_type == nullptr || !PyObject_TypeCheck(object, g_table_set_type)) {
    return nullptr;
  }
  return &record_of<TableSet>(object);
}

PyObject* py_expand_descriptors(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_args("expand_descriptors", kExpandParameters, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    std::string_view table_dir;
    if (!require_str("expand_descriptors", "table_dir", bound[0], &table_dir)) return nullptr;
    std::vector<std::uint32_t> codes;
    if (!require_codes("expand_descriptors", "descriptors", bound[1], &codes)) return nullptr;
    auto tables = load_eccodes(std::string(table_dir));
    if (!tables) return raise_decode_error(tables.error());
    return expand_to_list(tables.value(), codes);
  });
}

}  // namespace skerrow::py
