// skerrow._native: the helpers of the pure-Python package, in the same shared
// library as _skerrow. Sharing the library shares the DecodedValue type (so
// the package returns real _skerrow.DecodedValue objects) and the process's
// table cache. The package loads it from _skerrow's file under its own name.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/rows_binding.h"
#include "lib/spare_values.h"
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

// What the functions on one message share: the octets of the message at
// (data, offset, length) and, for those with a `tables` parameter (the
// fourth), where its tables come from.
struct MessageCall {
  Octets data;
  Octets octets;
  std::uint64_t offset = 0;
  std::optional<TableSource> source;
};

// Binds the arguments of `name` to `parameters` in `bound` and reads the
// message they name; false with an exception set.
template <std::size_t N>
bool bind_message(const char* name, const char* const (&parameters)[N], PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyObject* (&bound)[N], MessageCall* call) {
  static_assert(N >= 3);
  if (!bind_args(name, parameters, args, nargs, kwnames, bound) ||
      !message_octets(name, bound, &call->data, &call->offset, &call->octets)) {
    return false;
  }
  if constexpr (N >= 4) {
    call->source = table_source(name, bound[3]);
    if (!call->source) return false;
  }
  return true;
}

// The header of the message at (offset, length), as a tuple.
PyObject* py_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "frame";
    PyObject* bound[3];
    MessageCall call;
    if (!bind_message(kName, kFrameParameters, args, nargs, kwnames, bound, &call)) return nullptr;
    auto framed = frame_message(call.octets);
    if (!framed) return raise_at(call.offset, framed.error());
    return header_tuple(*framed);
  });
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
    MessageCall call;
    if (!bind_message(kName, kDecodeParameters, args, nargs, kwnames, bound, &call)) return nullptr;
    // The core needs no interpreter: other threads run while it decodes. The
    // caller's references keep `data` and the TableSet alive meanwhile, and
    // both are immutable.
    auto decoded = without_gil([&] { return decode_message(call.octets, *call.source); });
    if (!decoded) return raise_at(call.offset, decoded.error());
    Ref starts = Ref::steal(ints_to_tuple(decoded->subset_starts));
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
    return ints_to_tuple((*bundle)->versions());
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
    MessageCall call;
    if (!bind_message(kName, kDecodeParameters, args, nargs, kwnames, bound, &call)) return nullptr;
    ValueKeys keys;
    std::vector<std::string> value_names;
    std::vector<std::uint32_t> refers;
    auto decoded = without_gil([&]() -> Result<DecodedMessage> {
      SKERROW_TRY(
          DecodedMessage message,
          decode_message_with_tables(call.octets, *call.source, DecodeOptions{.structure = true}));
      keys = value_keys(message.values, *message.tables);
      value_names = item_names(message.values, keys, &refers);
      return message;
    });
    if (!decoded) return raise_at(call.offset, decoded.error());
    std::vector<Ref> names;
    if (!names_to_str(keys.names, &names)) return nullptr;
    const std::vector<std::size_t>& starts_of = decoded->values.subset_starts;
    Ref starts = Ref::steal(ints_to_tuple(starts_of));
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

// The names of `keys` (None, or an iterable of str) into `wanted`; false
// with an exception set.
bool wanted_names(const char* name, PyObject* keys,
                  std::optional<std::unordered_set<std::string>>* wanted) {
  if (keys == Py_None) return true;
  wanted->emplace();
  Ref iterator = Ref::steal(PyObject_GetIter(keys));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    std::string_view text;
    if (!require_str(name, "keys", item.get(), &text)) return false;
    (*wanted)->emplace(text);
  }
  return PyErr_Occurred() == nullptr;
}

// KeyError naming `name`; returns null.
PyObject* raise_key_error(const std::string& name) {
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// A new str for a column name.
PyObject* column_name(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

constexpr const char* kNumbersCapsule = "skerrow.numbers";

// A list of (owner, address, runs) for the chunks of `block`, which the
// capsules `owner` now own: numpy arrays over a chunk keep its capsule
// alive, and the capsule frees the chunk after the last of them.
PyObject* chunk_list(NumberBlock& block) {
  std::vector<NumberBlock::Chunk> chunks = block.release();
  std::size_t taken = 0;  // chunks a capsule owns
  // Frees those no capsule took, however this ends.
  struct FreeRest {
    std::vector<NumberBlock::Chunk>& chunks;
    std::size_t& taken;
    ~FreeRest() {
      for (std::size_t i = taken; i < chunks.size(); ++i) {
        NumberPool::give(chunks[i].data, chunks[i].bytes);
      }
    }
  } free_rest{chunks, taken};
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
  if (!list) return nullptr;
  for (const NumberBlock::Chunk& chunk : chunks) {
    // The capsule's context is the block's size, for giving it back (a
    // block of size 0 is simply freed).
    Ref owner = Ref::steal(PyCapsule_New(chunk.data, kNumbersCapsule, [](PyObject* self) {
      NumberPool::give(PyCapsule_GetPointer(self, kNumbersCapsule),
                       reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(self)));
    }));
    if (!owner) return nullptr;
    ++taken;
    if (PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(chunk.bytes)) < 0) {
      return nullptr;
    }
    PyObject* entry =
        Py_BuildValue("(OKn)", owner.get(),
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(chunk.data)),
                      static_cast<Py_ssize_t>(chunk.runs));
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(taken - 1), entry);
  }
  return list.release();
}

// Room for the columns of message after message, kept per thread from call
// to call beside the decoded values' (spare_values.h).
ColumnList& spare_columns() {
  thread_local ColumnList spare;
  return spare;
}

// (chunks, subsets, order, names, others) of the message at (offset,
// length). The numbers lie in runs of `subsets` float64 values, in chunks
// of (owner, address, runs): the chunk's runs one after the other at
// `address`, kept alive by the capsule `owner`. `order` gives the run of
// each numeric column in column order (counting over all chunks), or is
// None when they are the runs in order. `names` names all
// columns in order; `others` lists (position in `names`, list of str or
// None) for the text columns and, with `meanings`, the code-table columns.
// `keys` is None or the names wanted: only their columns are decoded where
// the data allows it.
PyObject* py_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "columns";
    PyObject* bound[6];
    MessageCall call;
    if (!bind_message(kName, kColumnsParameters, args, nargs, kwnames, bound, &call)) {
      return nullptr;
    }
    std::optional<std::unordered_set<std::string>> wanted;
    if (!wanted_names(kName, bound[4], &wanted)) return nullptr;
    const int meanings = PyObject_IsTrue(bound[5]);
    if (meanings < 0) return nullptr;

    struct Work {
      DecodedMessage message;
      ColumnList columns;
      std::vector<std::string> unknown;
      std::vector<std::size_t> order;  // the run of each numeric column
      bool in_order = true;
      std::size_t subsets = 0;
      std::size_t rows = 0;
    } work;
    auto done = without_gil([&]() -> Result<void> {
      WantedKeys limited;
      DecodeOptions options{.structure = true,
                            .columns = true,
                            .numbers = true,
                            .meanings = meanings != 0,
                            .code_meanings = meanings != 0,
                            .recycle = &spare_values()};
      SKERROW_TRY(BufrMessage header, frame_message(call.octets));
      SKERROW_TRY(std::shared_ptr<const TableSet> tables, call.source->tables_for(header));
      if (wanted) {
        limited = wanted_keys(*wanted, *tables);
        options.keys = &limited;
      }
      SKERROW_TRY(DecodedValues values, decode_framed(call.octets, header, *tables, options));
      work.message = DecodedMessage{std::move(header), std::move(tables), std::move(values)};
      DecodedValues& decoded = work.message.values;
      const ValueKeys keys = value_keys(decoded, *work.message.tables);
      work.columns = build_columns(decoded, keys, *work.message.tables, wanted ? &*wanted : nullptr,
                                   &work.unknown, std::move(spare_columns()));
      const bool by_columns = decoded.layout == DecodedValues::Layout::kColumns;
      work.subsets = by_columns ? decoded.subset_count : decoded.subset_starts.size();
      if (work.subsets == 0) return {};
      if (decoded.numbers.runs() == 0) decoded.numbers.set_run_length(work.subsets);
      work.rows = decoded.numbers.runs();
      for (const Column& c : work.columns.columns) {
        if (c.text || (meanings && c.code_table)) continue;
        std::size_t row = number_row(c, decoded);
        if (row == kAbsent) {
          // Rows of uncompressed data, or a column without numbers: a run
          // of its own at the end of the block.
          row = decoded.numbers.add_run();
          fill_numbers(c, decoded, std::span<double>(decoded.numbers.run(row), work.subsets));
        }
        work.in_order = work.in_order && row == work.order.size();
        work.order.push_back(row);
      }
      work.rows = decoded.numbers.runs();
      work.in_order = work.in_order && work.order.size() == work.rows;
      return {};
    });
    if (!done) return raise_at(call.offset, done.error());
    if (!work.unknown.empty()) return raise_key_error(work.unknown.front());
    const DecodedValues& decoded = work.message.values;
    Ref chunks = Ref::steal(chunk_list(work.message.values.numbers));
    if (!chunks) return nullptr;
    Ref order;
    if (work.in_order) {
      order = Ref::borrow(Py_None);
    } else {
      order = Ref::steal(ints_to_tuple(work.order));
      if (!order) return nullptr;
    }
    const std::vector<Column>& columns = work.columns.columns;
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    Ref others = Ref::steal(PyList_New(0));
    if (!names || !others) return nullptr;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      const Column& c = columns[k];
      PyObject* name = column_name(c.name);
      if (name == nullptr) return nullptr;
      PyList_SetItem(names.get(), static_cast<Py_ssize_t>(k), name);
      if (!c.text && !(meanings && c.code_table)) continue;
      Ref payload = Ref::steal(PyList_New(static_cast<Py_ssize_t>(work.subsets)));
      if (!payload) return nullptr;
      for (std::size_t s = 0; s < work.subsets; ++s) {
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
    PyObject* result = Py_BuildValue("(OnOOO)", chunks.get(), static_cast<Py_ssize_t>(work.subsets),
                                     order.get(), names.get(), others.get());
    // A message of many columns takes a while to free: not under the lock.
    without_gil([&] {
      keep_spare_values(std::move(work.message.values));
      // Beyond this many columns the room goes back to the system.
      if (work.columns.columns.capacity() <= (std::size_t{1} << 16)) {
        spare_columns() = std::move(work.columns);
      }
      work = Work{};
    });
    return result;
  });
}

constexpr const char* kReadColumnsParameters[] = {"messages", "keys", "meanings"};

// A new float, or None for NaN.
PyObject* float_or_none(double number) {
  if (std::isnan(number)) Py_RETURN_NONE;
  return PyFloat_FromDouble(number);
}

// The columns of many messages merged, in the form of `columns`: one entry
// per subset of every message of `messages`, a list of (data, offset,
// length, tables) as `columns` takes them. Numbers and texts both under one
// name (messages that disagree) give a column of str, float and None.
PyObject* py_read_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "read_columns";
    PyObject* bound[3];
    if (!bind_args(kName, kReadColumnsParameters, args, nargs, kwnames, bound)) return nullptr;
    if (!PyList_Check(bound[0])) {
      raise_wrong_type(kName, "messages", "list", bound[0]);
      return nullptr;
    }
    std::vector<MessageCall> calls(static_cast<std::size_t>(PyList_Size(bound[0])));
    for (std::size_t k = 0; k < calls.size(); ++k) {
      PyObject* item = PyList_GetItem(bound[0], static_cast<Py_ssize_t>(k));
      PyObject* fields[4];
      if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
        raise_wrong_type(kName, "messages", "a list of (data, offset, length, tables)", item);
        return nullptr;
      }
      for (Py_ssize_t f = 0; f < 4; ++f) fields[f] = PyTuple_GetItem(item, f);
      MessageCall& call = calls[k];
      if (!message_octets(kName, fields, &call.data, &call.offset, &call.octets)) return nullptr;
      call.source = table_source(kName, fields[3]);
      if (!call.source) return nullptr;
    }
    std::optional<std::unordered_set<std::string>> wanted;
    if (!wanted_names(kName, bound[1], &wanted)) return nullptr;
    const int meanings = PyObject_IsTrue(bound[2]);
    if (meanings < 0) return nullptr;

    // The list keeps every message's data and TableSet alive meanwhile.
    std::optional<ColumnSet> set;
    std::unordered_map<std::string, std::size_t> missing;  // asked name -> messages without
    std::size_t failed_at = 0;
    std::vector<std::size_t> order;  // the run of each numeric column
    auto done = without_gil([&]() -> Result<void> {
      // The headers first: the number of subsets sizes every column once.
      std::vector<BufrMessage> headers;
      headers.reserve(calls.size());
      std::size_t total = 0;
      for (const MessageCall& call : calls) {
        failed_at = call.offset;
        SKERROW_TRY(BufrMessage header, frame_message(call.octets));
        total += header.number_of_subsets;
        headers.push_back(std::move(header));
      }
      set.emplace(total);
      for (std::size_t k = 0; k < calls.size(); ++k) {
        const MessageCall& call = calls[k];
        const BufrMessage& header = headers[k];
        failed_at = call.offset;
        DecodeOptions options{.structure = true,
                              .columns = true,
                              .numbers = true,
                              .meanings = meanings != 0,
                              .code_meanings = meanings != 0};
        SKERROW_TRY(std::shared_ptr<const TableSet> tables, call.source->tables_for(header));
        WantedKeys limited;
        if (wanted) {
          limited = wanted_keys(*wanted, *tables);
          options.keys = &limited;
        }
        SKERROW_TRY(DecodedValues values, decode_framed(call.octets, header, *tables, options));
        const ValueKeys keys = value_keys(values, *tables);
        std::unordered_set<std::string> canonical;
        if (wanted) {
          for (const std::string& name : *wanted) canonical.insert(canonical_name(name, *tables));
        }
        if (values.layout == DecodedValues::Layout::kRows) {
          set->add_rows(values, keys, wanted ? &canonical : nullptr, meanings != 0);
        } else {
          const ColumnList columns =
              build_columns(values, keys, *tables, wanted ? &*wanted : nullptr);
          set->add(values, columns.columns, meanings != 0);
        }
        if (wanted) {
          for (const std::string& name : *wanted) {
            if (!set->in_last_message(canonical_name(name, *tables))) ++missing[name];
          }
        }
      }
      for (const ColumnSet::SetColumn& c : set->columns()) {
        if (c.texts.empty()) order.push_back(c.run);
      }
      return {};
    });
    if (!done) return raise_at(failed_at, done.error());
    if (wanted) {
      for (const std::string& name : *wanted) {
        auto it = missing.find(name);
        if (it != missing.end() && it->second == calls.size()) return raise_key_error(name);
      }
      if (calls.empty() && !wanted->empty()) return raise_key_error(*wanted->begin());
    }
    const std::size_t n = set->subsets();
    Ref chunks = Ref::steal(chunk_list(set->numbers()));
    bool in_order = order.size() == set->numbers().runs();
    for (std::size_t k = 0; in_order && k < order.size(); ++k) in_order = order[k] == k;
    Ref order_tuple = in_order ? Ref::borrow(Py_None) : Ref::steal(ints_to_tuple(order));
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(set->columns().size())));
    Ref others = Ref::steal(PyList_New(0));
    if (!chunks || !order_tuple || !names || !others) return nullptr;
    for (std::size_t k = 0; k < set->columns().size(); ++k) {
      const ColumnSet::SetColumn& c = set->columns()[k];
      PyObject* name = column_name(c.name);
      if (name == nullptr) return nullptr;
      PyList_SetItem(names.get(), static_cast<Py_ssize_t>(k), name);
      if (c.texts.empty()) continue;
      Ref payload = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (!payload) return nullptr;
      for (std::size_t s = 0; s < n; ++s) {
        const std::uint32_t text = s < c.texts.size() ? c.texts[s] : 0;
        PyObject* entry = nullptr;
        if (text != 0) {
          entry = str_or_none(&set->texts()[text - 1]);
        } else {
          entry = float_or_none(c.numbers != nullptr ? c.numbers[s]
                                                     : std::numeric_limits<double>::quiet_NaN());
        }
        if (entry == nullptr) return nullptr;
        PyList_SetItem(payload.get(), static_cast<Py_ssize_t>(s), entry);
      }
      Ref entry = Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(k), payload.get()));
      if (!entry || PyList_Append(others.get(), entry.get()) < 0) return nullptr;
    }
    PyObject* result = Py_BuildValue("(OnOOO)", chunks.get(), static_cast<Py_ssize_t>(n),
                                     order_tuple.get(), names.get(), others.get());
    without_gil([&] { set.reset(); });  // tens of thousands of columns, maybe
    return result;
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
    {"read_columns", as_cfunction(py_read_columns), METH_FASTCALL | METH_KEYWORDS,
     "read_columns(messages, keys, meanings)\n--\n\n"},
    {"rows", as_cfunction(py_rows), METH_FASTCALL | METH_KEYWORDS,
     "rows(data, ranges, tables, names, filtered, split_repeats)\n--\n\n"},
    {"walk_rows", as_cfunction(py_walk_rows), METH_FASTCALL | METH_KEYWORDS,
     "walk_rows(plan, passes)\n--\n\n"},
    {"flat_rows", as_cfunction(py_flat_rows), METH_FASTCALL | METH_KEYWORDS,
     "flat_rows(data, ranges, tables, qualifiers)\n--\n\n"},
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
