// skerrow._native: the helpers of the pure-Python package, in the same shared
// library as _skerrow. Sharing the library shares the DecodedValue type (so
// the package returns real _skerrow.DecodedValue objects) and the process's
// table cache. The package loads it from _skerrow's file under its own name.
#include <Python.h>

#include <string>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/types.h"
#include "message/parse_message.h"
#include "message/scan.h"
#include "message/section1.h"
#include "pipeline/decode_message.h"

namespace skerrow::py {
namespace {

PyObject* g_native = nullptr;

// ValueError "message at offset N: <error text>".
PyObject* raise_at(std::uint64_t offset, const DecodeError& error) {
  const std::string text = "message at offset " + std::to_string(offset) + ": " + error.message();
  PyErr_SetString(PyExc_ValueError, text.c_str());
  return nullptr;
}

// The octets of one message of `data`, from the arguments (data, offset,
// length); false with an exception set when they do not lie inside it.
bool message_octets(const char* name, PyObject* const* bound, Octets* data, std::uint64_t* offset,
                    Octets* octets) {
  std::uint64_t length = 0;
  if (!require_bytes(name, "data", bound[0], data) ||
      !require_unsigned(name, "offset", bound[1], UINT64_MAX, offset) ||
      !require_unsigned(name, "length", bound[2], UINT64_MAX, &length)) {
    return false;
  }
  if (*offset > data->size() || length > data->size() - *offset) {
    PyErr_SetString(PyExc_ValueError, "the message range lies outside the data");
    return false;
  }
  *octets = data->subspan(*offset, length);
  return true;
}

constexpr const char* kNextParameters[] = {"data", "position"};
constexpr const char* kFrameParameters[] = {"data", "offset", "length"};
constexpr const char* kDecodeParameters[] = {"data", "offset", "length", "tables"};

// (offset, length) of the first message at or after `position`, or None.
PyObject* py_next_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "next_message";
    PyObject* bound[2];
    if (!bind_args(kName, kNextParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    std::uint64_t position = 0;
    if (!require_bytes(kName, "data", bound[0], &data) ||
        !require_unsigned(kName, "position", bound[1], UINT64_MAX, &position)) {
      return nullptr;
    }
    auto range = scan_next(data, position);
    if (!range) return raise_at(find_marker(data, position), range.error());
    if (!*range) Py_RETURN_NONE;
    return Py_BuildValue("(KK)", static_cast<unsigned long long>((*range)->offset),
                         static_cast<unsigned long long>((*range)->length));
  });
}

// A new int, or None for a field that the message's edition lacks.
PyObject* field_or_none(Section1Field field, std::uint64_t value) {
  if (!field.present()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(value);
}

// The header fields of a framed message, in the order of BufrMessage's
// attributes.
PyObject* header_tuple(const BufrMessage& m) {
  const Section1Layout& l = *section1_layout(m.edition);
  PyObject* items[] = {
      PyLong_FromUnsignedLongLong(m.total_length),
      PyLong_FromUnsignedLong(m.edition),
      PyLong_FromUnsignedLongLong(m.section1_length),
      PyLong_FromUnsignedLong(m.master_table_number),
      PyLong_FromUnsignedLong(m.originating_centre),
      field_or_none(l.originating_subcentre, m.originating_subcentre),
      PyLong_FromUnsignedLong(m.update_sequence_number),
      PyBool_FromLong(m.local_section_present),
      PyLong_FromUnsignedLong(m.data_category),
      field_or_none(l.international_data_subcategory, m.international_data_subcategory),
      PyLong_FromUnsignedLong(m.local_data_subcategory),
      PyLong_FromUnsignedLong(m.master_tables_version_number),
      PyLong_FromUnsignedLong(m.local_tables_version_number),
      PyLong_FromUnsignedLong(m.typical_year),
      PyLong_FromUnsignedLong(m.typical_month),
      PyLong_FromUnsignedLong(m.typical_day),
      PyLong_FromUnsignedLong(m.typical_hour),
      PyLong_FromUnsignedLong(m.typical_minute),
      field_or_none(l.typical_second, m.typical_second),
      PyLong_FromUnsignedLongLong(m.section2_length),
      PyLong_FromUnsignedLongLong(m.section3_length),
      PyLong_FromUnsignedLong(m.number_of_subsets),
      PyBool_FromLong(m.observed_data),
      PyBool_FromLong(m.compressed_data),
      codes_to_list(m.unexpanded_descriptors),
      PyLong_FromUnsignedLongLong(m.section4_length),
      PyLong_FromUnsignedLongLong(m.section4_data_offset),
      PyLong_FromUnsignedLongLong(m.section4_data_length),
  };
  constexpr Py_ssize_t n = sizeof items / sizeof items[0];
  Ref tuple = Ref::steal(PyTuple_New(n));
  bool failed = !tuple;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (items[i] == nullptr) failed = true;
    if (failed) {
      Py_XDECREF(items[i]);
    } else {
      PyTuple_SetItem(tuple.get(), i, items[i]);
    }
  }
  if (failed) return nullptr;
  return tuple.release();
}

// The header of the message at (offset, length), as a tuple.
PyObject* py_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "frame";
    PyObject* bound[3];
    if (!bind_args(kName, kFrameParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    Octets octets;
    std::uint64_t offset = 0;
    if (!message_octets(kName, bound, &data, &offset, &octets)) return nullptr;
    auto framed = frame_message(octets);
    if (!framed) return raise_at(offset, framed.error());
    return header_tuple(*framed);
  });
}

// (values, subset starts) of the message at (offset, length). `tables` is
// either a TableSet or an ecCodes definitions root (a str), from which the
// tables that fit the message are taken through the process's cache.
PyObject* py_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "decode";
    PyObject* bound[4];
    if (!bind_args(kName, kDecodeParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    Octets octets;
    std::uint64_t offset = 0;
    if (!message_octets(kName, bound, &data, &offset, &octets)) return nullptr;
    const TableSet* given = table_set_record(bound[3]);
    std::string_view root;
    if (given == nullptr && !PyUnicode_Check(bound[3])) {
      raise_wrong_type(kName, "tables", "TableSet or str", bound[3]);
      return nullptr;
    }
    if (given == nullptr && !require_str(kName, "tables", bound[3], &root)) return nullptr;
    const TableSource source = given != nullptr
                                   ? TableSource::given(*given)
                                   : TableSource::cached_definitions(std::string(root));
    auto decoded = decode_message(octets, source);
    if (!decoded) return raise_at(offset, decoded.error());
    Ref starts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(decoded->subset_starts.size())));
    if (!starts) return nullptr;
    for (std::size_t i = 0; i < decoded->subset_starts.size(); ++i) {
      PyObject* start = PyLong_FromSize_t(decoded->subset_starts[i]);
      if (start == nullptr) return nullptr;
      PyTuple_SetItem(starts.get(), static_cast<Py_ssize_t>(i), start);
    }
    Ref values = Ref::steal(to_list(std::move(decoded).value()));
    if (!values) return nullptr;
    return PyTuple_Pack(2, values.get(), starts.get());
  });
}

PyMethodDef kNativeFunctions[] = {
    {"next_message", as_cfunction(py_next_message), METH_FASTCALL | METH_KEYWORDS,
     "next_message(data, position)\n--\n\n"},
    {"frame", as_cfunction(py_frame), METH_FASTCALL | METH_KEYWORDS,
     "frame(data, offset, length)\n--\n\n"},
    {"decode", as_cfunction(py_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode(data, offset, length, tables)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "skerrow._native",
    "Helpers of the skerrow package; not a public interface.",
    0,
    kNativeFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace skerrow::py

// Exported beside PyInit__skerrow: the package loads this library a second
// time under the name skerrow._native, which makes the interpreter call this.
PyMODINIT_FUNC PyInit__native() {
  using namespace skerrow::py;
  if (!in_main_interpreter("skerrow._native")) return nullptr;
  if (g_native != nullptr) return Py_NewRef(g_native);
  PyObject* module = guard([] { return PyModule_Create(&native_def); });
  if (module == nullptr) return nullptr;
  g_native = Py_NewRef(module);
  return module;
}
