// Observation rows for skerrow.read_bufr: decoding, the coordinate walk and
// the row table run in the core without the interpreter lock; Python gets
// flat buffers to view with numpy, one object per text and none per number.
#include "lib/rows_binding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/gil.h"
#include "lib/py_ref.h"
#include "lib/spare_values.h"
#include "pipeline/columns.h"
#include "pipeline/rows.h"

namespace skerrow::py {
namespace {

constexpr const char* kRowsParameters[] = {"data",  "ranges",   "tables",
                                           "names", "filtered", "split_repeats"};
constexpr const char* kWalkParameters[] = {"plan", "passes"};
constexpr const char* kPlanCapsule = "skerrow._native.row_plan";

// A plan waiting for its filters to be judged.
struct PendingRows {
  RowPlan plan;
  // Per message: the number of its subsets.
  std::vector<std::size_t> subsets;
  std::size_t name_count = 0;
  std::vector<std::uint8_t> filtered;
  bool split_repeats = true;
};

void free_pending(PyObject* capsule) {
  delete static_cast<PendingRows*>(PyCapsule_GetPointer(capsule, kPlanCapsule));
}

template <typename T>
PyObject* bytes_of(const std::vector<T>& items) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(items.data()),
                                   static_cast<Py_ssize_t>(items.size() * sizeof(T)));
}

// Bytes objects holding copies of `sources`, made under the interpreter lock
// and filled without it: the rows of a run can be megabytes, and copying
// them is no work for the other threads to wait on. False on failure.
template <std::size_t N>
bool bytes_copies(const std::array<std::span<const std::byte>, N>& sources,
                  std::array<Ref, N>* out) {
  std::array<char*, N> targets{};
  for (std::size_t i = 0; i < N; ++i) {
    (*out)[i] =
        Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(sources[i].size())));
    if (!(*out)[i]) return false;
    targets[i] = PyBytes_AsString((*out)[i].get());
  }
  // Nothing else holds the new objects yet.
  without_gil([&] {
    for (std::size_t i = 0; i < N; ++i) {
      if (!sources[i].empty()) std::memcpy(targets[i], sources[i].data(), sources[i].size());
    }
  });
  return true;
}

// A row table with each cell's number beside it (NaN where the row holds
// none), made without the interpreter lock, so that Python joins parts
// without indexing entry by entry.
struct WalkedRows {
  RowTable table;
  std::vector<double> values;
};

WalkedRows with_values(RowTable table, const std::vector<double>& numbers) {
  WalkedRows out{std::move(table), {}};
  out.values.resize(out.table.cells.size());
  for (std::size_t c = 0; c < out.values.size(); ++c) {
    const std::int32_t entry = out.table.cells[c];
    out.values[c] = entry >= 0 ? numbers[static_cast<std::size_t>(entry)]
                               : std::numeric_limits<double>::quiet_NaN();
  }
  return out;
}

// (row count, cells, message rows, values): the cells as int32 in the
// machine's order, one run of row-count entries per name; message rows as
// int64, the rows of each message; values as float64, laid out as the cells.
PyObject* table_tuple(const WalkedRows& walked, const std::vector<std::size_t>& subsets) {
  const RowTable& table = walked.table;
  std::vector<std::int64_t> message_rows;
  std::size_t subset = 0;
  std::size_t before = 0;
  for (const std::size_t count : subsets) {
    subset += count;
    const std::size_t after = subset == 0 ? 0 : table.subset_row_ends[subset - 1];
    message_rows.push_back(static_cast<std::int64_t>(after - before));
    before = after;
  }
  std::array<Ref, 3> copies;
  if (!bytes_copies<3>(
          {std::as_bytes(std::span(table.cells)), std::as_bytes(std::span(message_rows)),
           std::as_bytes(std::span(walked.values))},
          &copies)) {
    return nullptr;
  }
  return Py_BuildValue("(nOOO)", static_cast<Py_ssize_t>(table.row_count), copies[0].get(),
                       copies[1].get(), copies[2].get());
}

// The first three arguments of rows() and flat_rows(): `data` (bytes),
// `ranges` (bytes: uint64 offset and length pairs in the machine's order,
// each inside the data) and `tables`.
struct MessageRuns {
  Octets data;
  std::vector<std::uint64_t> ranges;
  std::optional<TableSource> source;

  // Decodes the messages one after the other (with their structure, without
  // meanings) in the thread's spare room, and hands each to `use` with its
  // keys; `failed_at` follows the message being decoded.
  template <class Use>
  Result<void> decode_each(std::uint64_t& failed_at, Use&& use) const {
    DecodedValues& spare = spare_values();  // the room of the message before
    for (std::size_t r = 0; r < ranges.size(); r += 2) {
      failed_at = ranges[r];
      SKERROW_TRY(DecodedMessage message,
                  decode_message_with_tables(
                      data.subspan(ranges[r], ranges[r + 1]), *source,
                      DecodeOptions{.structure = true, .code_meanings = false, .recycle = &spare}));
      const ValueKeys keys = value_keys(message.values, *message.tables);
      use(message.values, keys);
      keep_spare_values(std::move(message.values));
    }
    return {};
  }
};

bool message_runs(const char* function, PyObject* const* bound, MessageRuns* out) {
  Octets range_octets;
  if (!require_bytes(function, "data", bound[0], &out->data) ||
      !require_bytes(function, "ranges", bound[1], &range_octets)) {
    return false;
  }
  if (range_octets.size() % (2 * sizeof(std::uint64_t)) != 0) {
    PyErr_SetString(PyExc_ValueError, "ranges needs an offset and a length per message");
    return false;
  }
  std::vector<std::uint64_t>& ranges = out->ranges;
  ranges.resize(range_octets.size() / sizeof(std::uint64_t));
  std::memcpy(ranges.data(), range_octets.data(), range_octets.size());
  for (std::size_t r = 0; r < ranges.size(); r += 2) {
    if (ranges[r] > out->data.size() || ranges[r + 1] > out->data.size() - ranges[r]) {
      PyErr_SetString(PyExc_ValueError, "the message range lies outside the data");
      return false;
    }
  }
  out->source = native_table_source(function, bound[2]);
  return out->source.has_value();
}

bool str_list(const char* function, const char* parameter, PyObject* list,
              std::vector<std::string>* out) {
  if (!PyList_Check(list)) {
    raise_wrong_type(function, parameter, "list", list);
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    std::string_view text;
    if (!require_str(function, parameter, PyList_GetItem(list, i), &text)) return false;
    out->emplace_back(text);
  }
  return true;
}

}  // namespace

// (numbers, entry names, texts, descriptors, units, walked) of the messages
// of `data` at `ranges` (bytes: uint64 offset and length pairs in the
// machine's order), decoded with the same `tables`, for the wanted `names`,
// in one call so that the lock is released once for them all. Per entry (a
// wanted value in walk order, all messages running on): `numbers` float64
// (NaN where missing or text; empty without `filtered`), `entry names`
// uint32 indices into `names` (empty without `filtered` and texts);
// `texts` lists (entry, str); `descriptors` gives each name's first
// descriptor or 0, `units` its unit or "". Without `filtered` (None),
// `walked` is the row table (see table_tuple); with it (one octet per name,
// non-zero where a filter holds), a plan for walk_rows once the filters are
// judged. A message that fails raises ValueError "message at offset N: ...".
PyObject* py_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "rows";
    PyObject* bound[6];
    if (!bind_args(kName, kRowsParameters, args, nargs, kwnames, bound)) return nullptr;
    MessageRuns runs;
    if (!message_runs(kName, bound, &runs)) return nullptr;
    auto pending = std::make_unique<PendingRows>();
    std::vector<std::string> names;
    if (!str_list(kName, "names", bound[3], &names)) return nullptr;
    pending->name_count = names.size();
    const bool qualifiers_wanted =
        std::any_of(names.begin(), names.end(),
                    [](const std::string& n) { return n.find("->") != std::string::npos; });
    const bool walk_now = bound[4] == Py_None;
    if (!walk_now) {
      Octets flags;
      if (!require_bytes(kName, "filtered", bound[4], &flags)) return nullptr;
      if (flags.size() != names.size()) {
        PyErr_SetString(PyExc_ValueError, "filtered needs one octet per name");
        return nullptr;
      }
      pending->filtered.assign(flags.begin(), flags.end());
    }
    const int split = PyObject_IsTrue(bound[5]);
    if (split < 0) return nullptr;
    pending->split_repeats = split != 0;

    WalkedRows table;
    std::uint64_t failed_at = 0;
    // `data` is an immutable bytes object the caller holds.
    auto done = without_gil([&]() -> Result<void> {
      const Result<void> decoded =
          runs.decode_each(failed_at, [&](const DecodedValues& values, const ValueKeys& keys) {
            // Names are only needed to find the qualifiers asked for.
            std::vector<std::uint32_t> refers;
            std::vector<std::string> item_name;
            if (qualifiers_wanted) {
              item_name = item_names(values, keys, &refers);
            } else {
              refers = qualified_items(values);
            }
            append_plan(pending->plan, plan_rows(values, keys, item_name, refers, names));
            pending->subsets.push_back(values.subset_starts.size());
          });
      if (!decoded) return decoded;
      if (walk_now) {
        RowWalkOptions options;
        options.split_repeats = pending->split_repeats;
        table = with_values(walk_rows(pending->plan, names.size(), options), pending->plan.numbers);
      }
      return {};
    });
    if (!done) return native_raise_at(failed_at, done.error());
    if (pending->plan.entries.size() > static_cast<std::size_t>(INT32_MAX)) {
      // Rows name their entries in int32.
      PyErr_SetString(PyExc_ValueError, "too many values for one call: pass fewer messages");
      return nullptr;
    }

    const RowPlan& plan = pending->plan;
    // Walked at once, the rows carry their numbers: the entries' numbers
    // are for judging filters, their names for those and for the texts.
    std::vector<std::uint32_t> entry_names;
    if (!walk_now || !plan.texts.empty()) {
      entry_names.resize(plan.entries.size());
      for (std::size_t e = 0; e < plan.entries.size(); ++e) entry_names[e] = plan.entries[e].name;
    }
    Ref numbers = walk_now ? Ref::steal(PyBytes_FromStringAndSize(nullptr, 0))
                           : Ref::steal(bytes_of(plan.numbers));
    Ref name_bytes = Ref::steal(bytes_of(entry_names));
    Ref texts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(plan.texts.size())));
    Ref descriptors = Ref::steal(PyList_New(static_cast<Py_ssize_t>(plan.descriptors.size())));
    Ref units = Ref::steal(PyList_New(static_cast<Py_ssize_t>(plan.units.size())));
    if (!numbers || !name_bytes || !texts || !descriptors || !units) return nullptr;
    for (std::size_t t = 0; t < plan.texts.size(); ++t) {
      const std::string& text = plan.texts[t];
      Ref str = Ref::steal(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
      if (!str) return nullptr;
      PyObject* item =
          Py_BuildValue("(IO)", static_cast<unsigned>(plan.text_entries[t]), str.get());
      if (item == nullptr) return nullptr;
      PyList_SetItem(texts.get(), static_cast<Py_ssize_t>(t), item);
    }
    for (std::size_t n = 0; n < plan.descriptors.size(); ++n) {
      PyObject* code = PyLong_FromUnsignedLong(plan.descriptors[n]);
      if (code == nullptr) return nullptr;
      PyList_SetItem(descriptors.get(), static_cast<Py_ssize_t>(n), code);
      const std::string& unit = plan.units[n];
      PyObject* text =
          PyUnicode_DecodeUTF8(unit.data(), static_cast<Py_ssize_t>(unit.size()), "replace");
      if (text == nullptr) return nullptr;
      PyList_SetItem(units.get(), static_cast<Py_ssize_t>(n), text);
    }
    Ref walked;
    if (walk_now) {
      walked = Ref::steal(table_tuple(table, pending->subsets));
    } else {
      walked = Ref::steal(PyCapsule_New(pending.get(), kPlanCapsule, free_pending));
      if (walked) pending.release();
    }
    if (!walked) return nullptr;
    return PyTuple_Pack(6, numbers.get(), name_bytes.get(), texts.get(), descriptors.get(),
                        units.get(), walked.get());
  });
}

// (row count, cells, message rows, values) of a plan from rows(), with `passes` one octet per
// entry, non-zero where the entry's value passes its name's filter.
PyObject* py_walk_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "walk_rows";
    PyObject* bound[2];
    if (!bind_args(kName, kWalkParameters, args, nargs, kwnames, bound)) return nullptr;
    auto* pending = static_cast<PendingRows*>(PyCapsule_GetPointer(bound[0], kPlanCapsule));
    if (pending == nullptr) return nullptr;
    Octets passes;
    if (!require_bytes(kName, "passes", bound[1], &passes)) return nullptr;
    if (passes.size() != pending->plan.entries.size()) {
      PyErr_SetString(PyExc_ValueError, "passes needs one octet per entry");
      return nullptr;
    }
    // `passes` is an immutable bytes object the caller holds, and the plan
    // is only read.
    const WalkedRows table = without_gil([&] {
      return with_values(walk_rows(pending->plan, pending->name_count,
                                   RowWalkOptions{.filtered = pending->filtered,
                                                  .passes = passes,
                                                  .split_repeats = pending->split_repeats}),
                         pending->plan.numbers);
    });
    return table_tuple(table, pending->subsets);
  });
}

namespace {

constexpr const char* kFlatParameters[] = {"data", "ranges", "tables", "qualifiers"};

PyObject* str_of(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* str_list_of(const std::vector<std::string>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* text = str_of(items[i]);
    if (text == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

}  // namespace

// (names, units, entry names, numbers, descriptors, texts, subset ends,
// message subsets) of the messages of `data` at `ranges` (as for rows),
// decoded with the same `tables`, as flat rows (FlatValues): `names` and
// `units` lists of str; per entry `entry names` uint32, `numbers` float64,
// `descriptors` uint32; `texts` lists (entry, str); `subset ends` uint64 per
// subset, `message subsets` uint64 per message. A message that fails raises
// ValueError "message at offset N: ...". With `qualifiers` true, values that
// qualify others come again under their ranked qualifier names.
PyObject* py_flat_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr const char* kName = "flat_rows";
    PyObject* bound[4];
    if (!bind_args(kName, kFlatParameters, args, nargs, kwnames, bound)) return nullptr;
    MessageRuns runs;
    if (!message_runs(kName, bound, &runs)) return nullptr;
    const int qualifiers = PyObject_IsTrue(bound[3]);
    if (qualifiers < 0) return nullptr;

    FlatValues flat;
    std::vector<std::uint64_t> message_subsets;
    std::uint64_t failed_at = 0;
    // `data` is an immutable bytes object the caller holds.
    auto done = without_gil([&]() -> Result<void> {
      return runs.decode_each(failed_at, [&](const DecodedValues& values, const ValueKeys& keys) {
        if (qualifiers != 0) {
          std::vector<std::uint32_t> refers;
          const std::vector<std::string> item_name = item_names(values, keys, &refers);
          flat.append(values, keys, &item_name, &refers);
        } else {
          flat.append(values, keys);
        }
        message_subsets.push_back(values.subset_starts.size());
      });
    });
    if (!done) return native_raise_at(failed_at, done.error());
    if (flat.entry_names.size() > static_cast<std::size_t>(UINT32_MAX)) {
      // Texts name their entries in uint32.
      PyErr_SetString(PyExc_ValueError, "too many values for one call: pass fewer messages");
      return nullptr;
    }
    Ref names = Ref::steal(str_list_of(flat.names));
    Ref units = Ref::steal(str_list_of(flat.units));
    if (!names || !units) return nullptr;
    std::array<Ref, 5> copies;
    if (!bytes_copies<5>(
            {std::as_bytes(std::span(flat.entry_names)), std::as_bytes(std::span(flat.numbers)),
             std::as_bytes(std::span(flat.descriptors)), std::as_bytes(std::span(flat.subset_ends)),
             std::as_bytes(std::span(message_subsets))},
            &copies)) {
      return nullptr;
    }
    const auto& [entry_names, numbers, descriptors, subset_ends, subsets] = copies;
    Ref texts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(flat.texts.size())));
    if (!texts) return nullptr;
    for (std::size_t t = 0; t < flat.texts.size(); ++t) {
      Ref str = Ref::steal(str_of(flat.texts[t]));
      if (!str) return nullptr;
      PyObject* item =
          Py_BuildValue("(IO)", static_cast<unsigned>(flat.text_entries[t]), str.get());
      if (item == nullptr) return nullptr;
      PyList_SetItem(texts.get(), static_cast<Py_ssize_t>(t), item);
    }
    return PyTuple_Pack(8, names.get(), units.get(), entry_names.get(), numbers.get(),
                        descriptors.get(), texts.get(), subset_ends.get(), subsets.get());
  });
}

}  // namespace skerrow::py
