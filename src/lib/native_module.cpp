// skerrow._native: the helpers of the pure-Python package, in the same shared
// library as _skerrow. Sharing the library shares the DecodedValue type (so
// the package returns real _skerrow.DecodedValue objects) and the process's
// table cache. The package loads it from _skerrow's file under its own name.
#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/rows_binding.h"
#include "lib/types.h"
#include "message/parse_message.h"
#include "message/scan.h"
#include "message/section1.h"
#include "pipeline/columns.h"
#include "pipeline/decode_message.h"
#include "tables/bundle.h"

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
constexpr const char* kBundleParameters[] = {"bundle"};
constexpr const char* kBundledTablesParameters[] = {"bundle", "version"};

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

// Where `tables` says a decoding takes its tables from: a TableSet; an ecCodes
// definitions root (a str), through the process's cache; or a tuple (table
// bundle path, list of definitions roots for local tables). Nothing, with
// TypeError set, for anything else.
std::optional<TableSource> table_source(const char* name, PyObject* tables) {
  if (const TableSet* given = table_set_record(tables)) return TableSource::given(*given);
  std::string_view text;
  if (PyUnicode_Check(tables)) {
    if (!require_str(name, "tables", tables, &text)) return std::nullopt;
    return TableSource::cached_definitions(std::string(text));
  }
  if (PyTuple_Check(tables) && PyTuple_Size(tables) == 2) {
    PyObject* roots = PyTuple_GetItem(tables, 1);
    if (PyUnicode_Check(PyTuple_GetItem(tables, 0)) && PyList_Check(roots)) {
      if (!require_str(name, "tables", PyTuple_GetItem(tables, 0), &text)) return std::nullopt;
      std::vector<std::string> local_roots;
      for (Py_ssize_t i = 0; i < PyList_Size(roots); ++i) {
        std::string_view root;
        PyObject* item = PyList_GetItem(roots, i);
        if (!PyUnicode_Check(item)) {
          raise_wrong_type(name, "tables", "a list of str", item);
          return std::nullopt;
        }
        if (!require_str(name, "tables", item, &root)) return std::nullopt;
        local_roots.emplace_back(root);
      }
      return TableSource::bundled(std::string(text), std::move(local_roots));
    }
  }
  raise_wrong_type(name, "tables", "TableSet, str or (str, list)", tables);
  return std::nullopt;
}

PyObject* sizes_tuple(const std::vector<std::size_t>& sizes) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizes.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    PyObject* item = PyLong_FromSize_t(sizes[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// New str objects for `names`, made once each.
bool names_to_str(const std::vector<std::string>& names, std::vector<Ref>* out) {
  out->reserve(names.size());
  for (const std::string& name : names) {
    PyObject* text =
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (text == nullptr) return false;
    PyUnicode_InternInPlace(&text);
    out->push_back(Ref::steal(text));
  }
  return true;
}

// A list holding, for each index, the str of names[index].
PyObject* indexed_list(const std::vector<std::uint32_t>& indices, const std::vector<Ref>& names) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[indices[i]].get()));
  }
  return list.release();
}

// (values, subset starts) of the message at (offset, length), with the
// tables `tables` names (see table_source).
PyObject* py_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "decode";
    PyObject* bound[4];
    if (!bind_args(kName, kDecodeParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    Octets octets;
    std::uint64_t offset = 0;
    if (!message_octets(kName, bound, &data, &offset, &octets)) return nullptr;
    std::optional<TableSource> source = table_source(kName, bound[3]);
    if (!source) return nullptr;
    // The core needs no interpreter: other threads run while it decodes. The
    // caller's references keep `data` and the TableSet alive meanwhile, and
    // both are immutable.
    auto decoded = without_gil([&] { return decode_message(octets, *source); });
    if (!decoded) return raise_at(offset, decoded.error());
    Ref starts = Ref::steal(sizes_tuple(decoded->subset_starts));
    if (!starts) return nullptr;
    Ref values = Ref::steal(to_list(std::move(decoded).value()));
    if (!values) return nullptr;
    return PyTuple_Pack(2, values.get(), starts.get());
  });
}

// The master table versions a table bundle holds, ascending.
PyObject* py_bundled_versions(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "bundled_versions";
    PyObject* bound[1];
    std::string_view path;
    if (!bind_args(kName, kBundleParameters, args, nargs, kwnames, bound) ||
        !require_str(kName, "bundle", bound[0], &path)) {
      return nullptr;
    }
    auto bundle = shared_bundle(std::string(path));
    if (!bundle) return raise_decode_error(bundle.error());
    const std::vector<int>& versions = (*bundle)->versions();
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(versions.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < versions.size(); ++i) {
      PyObject* version = PyLong_FromLong(versions[i]);
      if (version == nullptr) return nullptr;
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), version);
    }
    return tuple.release();
  });
}

// A new TableSet holding one bundled version's WMO tables (a copy of the
// process's shared ones).
PyObject* py_bundled_tables(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "bundled_tables";
    PyObject* bound[2];
    std::string_view path;
    std::uint64_t version = 0;
    if (!bind_args(kName, kBundledTablesParameters, args, nargs, kwnames, bound) ||
        !require_str(kName, "bundle", bound[0], &path) ||
        !require_unsigned(kName, "version", bound[1], 255, &version)) {
      return nullptr;
    }
    auto tables = shared_bundled_tables(std::string(path), static_cast<int>(version));
    if (!tables) return raise_decode_error(tables.error());
    return new_table_set_object(TableSet(**tables));
  });
}

// (values, subset starts, keys, units, names, refers) of the message at
// (offset, length), per value: its key, its unit, its name within its subset
// ("#2#airTemperature", "airTemperature->percentConfidence"; "" for operator
// records) and the index of the value it qualifies, or -1.
PyObject* py_structure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "structure";
    PyObject* bound[4];
    if (!bind_args(kName, kDecodeParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    Octets octets;
    std::uint64_t offset = 0;
    if (!message_octets(kName, bound, &data, &offset, &octets)) return nullptr;
    std::optional<TableSource> source = table_source(kName, bound[3]);
    if (!source) return nullptr;
    ValueKeys keys;
    std::vector<std::string> value_names;
    std::vector<std::uint32_t> refers;
    auto decoded = without_gil([&]() -> Result<DecodedMessage> {
      SKERROW_TRY(DecodedMessage message,
                  decode_message_with_tables(octets, *source, DecodeOptions{.structure = true}));
      keys = value_keys(message.values, *message.tables);
      value_names = item_names(message.values, keys, &refers);
      return message;
    });
    if (!decoded) return raise_at(offset, decoded.error());
    std::vector<Ref> names;
    if (!names_to_str(keys.names, &names)) return nullptr;
    const std::vector<std::size_t>& starts_of = decoded->values.subset_starts;
    Ref starts = Ref::steal(sizes_tuple(starts_of));
    Ref key_list = Ref::steal(indexed_list(keys.key, names));
    Ref unit_list = Ref::steal(indexed_list(keys.unit, names));
    Ref name_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(value_names.size())));
    Ref refer_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(refers.size())));
    if (!starts || !key_list || !unit_list || !name_list || !refer_list) return nullptr;
    std::size_t subset = 0;
    for (std::size_t i = 0; i < value_names.size(); ++i) {
      while (subset + 1 < starts_of.size() && starts_of[subset + 1] <= i) ++subset;
      const std::string& n = value_names[i];
      PyObject* text = PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "replace");
      if (text == nullptr) return nullptr;
      PyList_SetItem(name_list.get(), static_cast<Py_ssize_t>(i), text);
      // Within the subset, so that Python can index the subset's own list.
      const long refer =
          refers[i] == kNone ? -1L : static_cast<long>(refers[i] - starts_of[subset]);
      PyObject* number = PyLong_FromLong(refer);
      if (number == nullptr) return nullptr;
      PyList_SetItem(refer_list.get(), static_cast<Py_ssize_t>(i), number);
    }
    Ref values = Ref::steal(to_list(std::move(decoded->values)));
    if (!values) return nullptr;
    return PyTuple_Pack(6, values.get(), starts.get(), key_list.get(), unit_list.get(),
                        name_list.get(), refer_list.get());
  });
}

constexpr const char* kColumnsParameters[] = {"data",   "offset", "length",
                                              "tables", "keys",   "meanings"};

// A new str of `text`, or None for a null pointer.
PyObject* str_or_none(const std::string* text) {
  if (text == nullptr) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
}

// (numbers, numeric, subsets, names, others) of the message at (offset,
// length). `numbers` is a bytes object of float64 values in the machine's
// order, one run of `subsets` values for each of the `numeric` numeric
// columns, in column order; `names` names all columns in order; `others`
// lists (position in `names`, list of str or None) for the text columns and,
// with `meanings`, the code-table columns, by position. `keys` is None or a
// list of the names wanted.
PyObject* py_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "columns";
    PyObject* bound[6];
    if (!bind_args(kName, kColumnsParameters, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    Octets octets;
    std::uint64_t offset = 0;
    if (!message_octets(kName, bound, &data, &offset, &octets)) return nullptr;
    std::optional<TableSource> source = table_source(kName, bound[3]);
    if (!source) return nullptr;
    std::optional<std::unordered_set<std::string>> wanted;
    if (bound[4] != Py_None) {
      wanted.emplace();
      Ref iterator = Ref::steal(PyObject_GetIter(bound[4]));
      if (!iterator) return nullptr;
      while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::string_view name;
        if (!require_str(kName, "keys", item.get(), &name)) return nullptr;
        wanted->emplace(name);
      }
      if (PyErr_Occurred() != nullptr) return nullptr;
    }
    const int meanings = PyObject_IsTrue(bound[5]);
    if (meanings < 0) return nullptr;

    struct Work {
      DecodedMessage message;
      ValueKeys keys;
      std::vector<Column> columns;
      std::vector<std::string> unknown;
      std::size_t numeric = 0;
    } work;
    auto done = without_gil([&]() -> Result<void> {
      SKERROW_TRY(work.message,
                  decode_message_with_tables(octets, *source,
                                             DecodeOptions{.structure = true, .columns = true, .numbers = true}));
      work.keys = value_keys(work.message.values, *work.message.tables);
      work.columns = build_columns(work.message.values, work.keys, *work.message.tables,
                                   wanted ? &*wanted : nullptr, &work.unknown);
      for (const Column& c : work.columns) {
        if (!c.text && !(meanings && c.code_table)) ++work.numeric;
      }
      return {};
    });
    if (!done) return raise_at(offset, done.error());
    if (!work.unknown.empty()) {
      // KeyError with the first name asked for that no subset has.
      const std::string& name = work.unknown.front();
      Ref key = Ref::steal(
          PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
      if (key) PyErr_SetObject(PyExc_KeyError, key.get());
      return nullptr;
    }
    const DecodedValues& decoded = work.message.values;
    const std::size_t subsets = decoded.layout == DecodedValues::Layout::kColumns
                                    ? decoded.subset_count
                                    : decoded.subset_starts.size();
    Ref numbers = Ref::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(work.numeric * subsets * 8)));
    if (!numbers) return nullptr;
    auto* block = reinterpret_cast<double*>(PyBytes_AsString(numbers.get()));
    without_gil([&] {
      std::size_t run = 0;
      for (const Column& c : work.columns) {
        if (c.text || (meanings && c.code_table)) continue;
        fill_numbers(c, decoded, std::span<double>(block + run * subsets, subsets));
        ++run;
      }
      return 0;
    });
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(work.columns.size())));
    Ref others = Ref::steal(PyList_New(0));
    if (!names || !others) return nullptr;
    for (std::size_t k = 0; k < work.columns.size(); ++k) {
      const Column& c = work.columns[k];
      PyObject* name =
          PyUnicode_DecodeUTF8(c.name.data(), static_cast<Py_ssize_t>(c.name.size()), "replace");
      if (name == nullptr) return nullptr;
      PyList_SetItem(names.get(), static_cast<Py_ssize_t>(k), name);
      if (!c.text && !(meanings && c.code_table)) continue;
      Ref payload = Ref::steal(PyList_New(static_cast<Py_ssize_t>(subsets)));
      if (!payload) return nullptr;
      for (std::size_t s = 0; s < subsets; ++s) {
        const std::size_t i = c.cell(s);
        const std::string* text = nullptr;
        if (i != kAbsent) {
          const DecodedValue& value = decoded.cell(i);
          text = c.text ? decoded.text(value) : decoded.meaning(value);
        }
        PyObject* item = str_or_none(text);
        if (item == nullptr) return nullptr;
        PyList_SetItem(payload.get(), static_cast<Py_ssize_t>(s), item);
      }
      Ref entry = Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(k), payload.get()));
      if (!entry || PyList_Append(others.get(), entry.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(OnnOO)", numbers.get(), static_cast<Py_ssize_t>(work.numeric),
                         static_cast<Py_ssize_t>(subsets), names.get(), others.get());
  });
}

PyMethodDef kNativeFunctions[] = {
    {"next_message", as_cfunction(py_next_message), METH_FASTCALL | METH_KEYWORDS,
     "next_message(data, position)\n--\n\n"},
    {"frame", as_cfunction(py_frame), METH_FASTCALL | METH_KEYWORDS,
     "frame(data, offset, length)\n--\n\n"},
    {"decode", as_cfunction(py_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode(data, offset, length, tables)\n--\n\n"},
    {"structure", as_cfunction(py_structure), METH_FASTCALL | METH_KEYWORDS,
     "structure(data, offset, length, tables)\n--\n\n"},
    {"columns", as_cfunction(py_columns), METH_FASTCALL | METH_KEYWORDS,
     "columns(data, offset, length, tables, keys, meanings)\n--\n\n"},
    {"rows", as_cfunction(py_rows), METH_FASTCALL | METH_KEYWORDS,
     "rows(data, ranges, tables, names, filtered, split_repeats)\n--\n\n"},
    {"walk_rows", as_cfunction(py_walk_rows), METH_FASTCALL | METH_KEYWORDS,
     "walk_rows(plan, passes)\n--\n\n"},
    {"bundled_versions", as_cfunction(py_bundled_versions), METH_FASTCALL | METH_KEYWORDS,
     "bundled_versions(bundle)\n--\n\n"},
    {"bundled_tables", as_cfunction(py_bundled_tables), METH_FASTCALL | METH_KEYWORDS,
     "bundled_tables(bundle, version)\n--\n\n"},
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

std::optional<TableSource> native_table_source(const char* name, PyObject* tables) {
  return table_source(name, tables);
}
PyObject* native_raise_at(std::uint64_t offset, const DecodeError& error) {
  return raise_at(offset, error);
}

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
