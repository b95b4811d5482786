// DecodedValue: one decoded item, and the three decoding functions.
//
// A message can hold millions of values, so an object is kept small: the
// record's numbers as C fields, and texts (names, meanings, character data)
// as indices into a string table shared by all values of one call. Python
// strings are built only when an attribute is read, once per distinct
// string and call, so every value with the same name returns the same
// (interned) str object.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/literal.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/types.h"
#include "message/decode_error.h"
#include "pipeline/decode_message.h"

namespace skerrow::py {
namespace {

// The strings of one decoding call, shared by its values. It is a Python
// object of a small hidden type, so the values hold it by Ref like any other
// reference and it goes with the last of them.
struct ValueStrings {
  std::vector<std::string> strings;
  std::vector<Ref> objects;  // str per string, made on first use

  explicit ValueStrings(std::vector<std::string>&& s)
      : strings(std::move(s)), objects(strings.size()) {}

  // A new reference to the str of string `index`, or nullptr with an error.
  // Names are interned: the same few recur in every message.
  PyObject* string(std::uint32_t index, bool intern = false) {
    Ref& slot = objects[index];
    if (!slot) {
      const std::string& s = strings[index];
      PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
      if (text == nullptr) return nullptr;
      if (intern) PyUnicode_InternInPlace(&text);
      slot = Ref::steal(text);
    }
    return Py_NewRef(slot.get());
  }
};

// Holds only str objects, which hold nothing: no cycle can pass through it,
// so it needs no GC support.
PyType_Slot value_strings_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<ValueStrings>)},
    {0, nullptr},
};

PyType_Spec value_strings_spec{
    "_skerrow._ValueStrings", sizeof(RecordObject<ValueStrings>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    value_strings_slots};

PyTypeObject* g_strings_type = nullptr;

// 56 bytes on 64-bit builds: the object header, one pointer and the record.
struct DecodedValueObject {
  PyObject_HEAD Ref strings;
  DecodedValue record;
};

static_assert(sizeof(void*) != 8 || sizeof(DecodedValueObject) <= 56);

PyTypeObject* g_type = nullptr;

DecodedValueObject* self_of(PyObject* self) { return reinterpret_cast<DecodedValueObject*>(self); }
const DecodedValue& record_of(PyObject* self) { return self_of(self)->record; }
ValueStrings& strings_of(PyObject* self) {
  return py::record_of<ValueStrings>(self_of(self)->strings.get());
}

void decoded_value_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  self_of(self)->strings.~Ref();
  reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
  Py_DECREF(tp);  // instances of a heap type hold a reference to it
}

PyObject* get_descriptor(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(record_of(self).descriptor);
}

PyObject* get_name(PyObject* self, void*) {
  return guard([&] { return strings_of(self).string(record_of(self).name, true); });
}

PyObject* get_raw(PyObject* self, void*) {
  const DecodedValue& v = record_of(self);
  if (!v.has_raw()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(v.raw);
}

PyObject* get_raw_value(PyObject* self, void*) {
  const DecodedValue& v = record_of(self);
  if (!v.has_value()) Py_RETURN_NONE;
  return PyFloat_FromDouble(v.raw_value);
}

PyObject* get_raw_text(PyObject* self, void*) {
  const DecodedValue& v = record_of(self);
  if (!v.has_text()) Py_RETURN_NONE;
  return guard([&] { return strings_of(self).string(v.text); });
}

PyObject* get_raw_meaning(PyObject* self, void*) {
  const DecodedValue& v = record_of(self);
  if (!v.has_meaning()) Py_RETURN_NONE;
  return guard([&] { return strings_of(self).string(v.text); });
}

// The most useful form: the text, else the meaning, else the number.
PyObject* get_data(PyObject* self, void*) {
  const DecodedValue& v = record_of(self);
  if (v.has_text() || v.has_meaning()) {
    return guard([&] { return strings_of(self).string(v.text); });
  }
  if (v.has_value()) return PyFloat_FromDouble(v.raw_value);
  Py_RETURN_NONE;
}

// --- repr -------------------------------------------------------------------

// The shortest text that reads back as the same double: exponent form at or
// above 1e16 and below 1e-4 (not zero), plain decimals with at least one
// digit after the point otherwise.
void append_float(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buffer[64];
  const double magnitude = std::fabs(v);
  if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::scientific);
    (void)ec;
    // "1.5e-05" -> "1.5e-5", "1e+16" -> "1e16".
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    out.append(text.substr(0, e + 1));
    std::size_t k = e + 1;
    if (text[k] == '-') {
      out += '-';
      ++k;
    } else if (text[k] == '+') {
      ++k;
    }
    while (k + 1 < text.size() && text[k] == '0') ++k;
    out.append(text.substr(k));
    return;
  }
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed);
  (void)ec;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  out.append(text);
  if (text.find('.') == std::string_view::npos) out += ".0";
}

PyObject* decoded_value_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const DecodedValue& v = record_of(self);
    const ValueStrings& context = strings_of(self);
    std::string out = "DecodedValue(" + format_descriptor(v.descriptor) + ", ";
    if (v.has_text() || v.has_meaning()) {
      if (!append_literal(out, context.strings[v.text], true)) return nullptr;
    } else if (v.has_value()) {
      out += "Some(";
      append_float(out, v.raw_value);
      out += ')';
    } else {
      out += "None";
    }
    out += ')';
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "replace");
  });
}

PyGetSetDef decoded_value_getset[] = {
    {"descriptor", get_descriptor, nullptr, nullptr, nullptr},
    {"name", get_name, nullptr, nullptr, nullptr},
    {"raw", get_raw, nullptr, nullptr, nullptr},
    {"raw_value", get_raw_value, nullptr, nullptr, nullptr},
    {"raw_text", get_raw_text, nullptr, nullptr, nullptr},
    {"raw_meaning", get_raw_meaning, nullptr, nullptr, nullptr},
    {"data", get_data, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoded_value_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_value_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoded_value_repr)},
    {Py_tp_getset, decoded_value_getset},
    {0, nullptr},
};

PyType_Spec decoded_value_spec{
    "_skerrow.DecodedValue", sizeof(DecodedValueObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decoded_value_slots};

// --- decoding functions -------------------------------------------------------

}  // namespace

// The list of DecodedValue objects for `decoded`; its strings move into one
// ValueStrings object shared by the values.
PyObject* to_list(DecodedValues&& decoded) {
  PyTypeObject* tp = decoded_value_type();
  if (tp == nullptr) return nullptr;
  const std::size_t n = decoded.values.size();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  if (n == 0) return list.release();
  Ref strings = Ref::steal(new_record_object(lazy_type(&g_strings_type, &value_strings_spec),
                                             ValueStrings(std::move(decoded.strings))));
  if (!strings) return nullptr;
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  const DecodedValue* values = decoded.values.data();
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* object = alloc(tp, 0);
    if (object == nullptr) return nullptr;
    new (&self_of(object)->strings) Ref(Ref::borrow(strings.get()));
    self_of(object)->record = values[i];
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

namespace {

// The values of the first message of `data`, as a list.
PyObject* decode_first(Octets data, const TableSource& source) {
  auto decoded = decode_first_message(data, source);
  if (!decoded) return raise_decode_error(decoded.error());
  return to_list(std::move(decoded).value());
}

constexpr const char* kDecodeValuesParameters[] = {"data", "table_dir"};
constexpr const char* kWithTablesParameters[] = {"data", "tables"};
constexpr const char* kWithDefinitionsParameters[] = {"data", "definitions_root"};

}  // namespace

PyTypeObject* decoded_value_type() { return lazy_type(&g_type, &decoded_value_spec); }

PyObject* py_decode_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_args("decode_values", kDecodeValuesParameters, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Octets data;
    if (!require_bytes("decode_values", "data", bound[0], &data)) return nullptr;
    std::string_view table_dir;
    if (!require_str("decode_values", "table_dir", bound[1], &table_dir)) return nullptr;
    return decode_first(data, TableSource::directory(std::string(table_dir)));
  });
}

PyObject* py_decode_values_with_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "decode_values_with_tables";
    PyObject* bound[2];
    if (!bind_args(kName, kWithTablesParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    if (!require_bytes(kName, "data", bound[0], &data)) return nullptr;
    const TableSet* tables = table_set_record(bound[1]);
    if (tables == nullptr) {
      raise_wrong_type(kName, "tables", "TableSet", bound[1]);
      return nullptr;
    }
    return decode_first(data, TableSource::given(*tables));
  });
}

PyObject* py_decode_values_with_definitions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "decode_values_with_definitions";
    PyObject* bound[2];
    if (!bind_args(kName, kWithDefinitionsParameters, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Octets data;
    if (!require_bytes(kName, "data", bound[0], &data)) return nullptr;
    std::string_view root;
    if (!require_str(kName, "definitions_root", bound[1], &root)) return nullptr;
    return decode_first(data, TableSource::checked_definitions(std::string(root)));
  });
}

}  // namespace skerrow::py
