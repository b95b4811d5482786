// BufrMessage: the header of one parsed message, and the four parse functions.
#include <new>
#include <string>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/py_ref.h"
#include "lib/record_object.h"
#include "lib/types.h"
#include "message/parse_message.h"
#include "message/read_file.h"
#include "message/scan.h"

namespace skerrow::py {
namespace {

PyTypeObject* g_type = nullptr;

const BufrMessage& record_of(PyObject* self) { return py::record_of<BufrMessage>(self); }

template <auto Member>
PyObject* get_unsigned(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).*Member);
}

template <auto Member>
PyObject* get_bool(PyObject* self, void*) {
  return PyBool_FromLong(record_of(self).*Member ? 1 : 0);
}

PyObject* get_unexpanded_descriptors(PyObject* self, void*) {
  return guard([&] { return codes_to_list(record_of(self).unexpanded_descriptors); });
}

PyObject* bufr_message_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const std::string text = message_text(record_of(self));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

using M = BufrMessage;
PyGetSetDef bufr_message_getset[] = {
    {"total_length", get_unsigned<&M::total_length>, nullptr, nullptr, nullptr},
    {"edition", get_unsigned<&M::edition>, nullptr, nullptr, nullptr},
    {"section1_length", get_unsigned<&M::section1_length>, nullptr, nullptr, nullptr},
    {"master_table_number", get_unsigned<&M::master_table_number>, nullptr, nullptr, nullptr},
    {"originating_centre", get_unsigned<&M::originating_centre>, nullptr, nullptr, nullptr},
    {"originating_subcentre", get_unsigned<&M::originating_subcentre>, nullptr, nullptr, nullptr},
    {"update_sequence_number", get_unsigned<&M::update_sequence_number>, nullptr, nullptr, nullptr},
    {"local_section_present", get_bool<&M::local_section_present>, nullptr, nullptr, nullptr},
    {"data_category", get_unsigned<&M::data_category>, nullptr, nullptr, nullptr},
    {"international_data_subcategory", get_unsigned<&M::international_data_subcategory>, nullptr,
     nullptr, nullptr},
    {"local_data_subcategory", get_unsigned<&M::local_data_subcategory>, nullptr, nullptr, nullptr},
    {"master_tables_version_number", get_unsigned<&M::master_tables_version_number>, nullptr,
     nullptr, nullptr},
    {"local_tables_version_number", get_unsigned<&M::local_tables_version_number>, nullptr, nullptr,
     nullptr},
    {"typical_year", get_unsigned<&M::typical_year>, nullptr, nullptr, nullptr},
    {"typical_month", get_unsigned<&M::typical_month>, nullptr, nullptr, nullptr},
    {"typical_day", get_unsigned<&M::typical_day>, nullptr, nullptr, nullptr},
    {"typical_hour", get_unsigned<&M::typical_hour>, nullptr, nullptr, nullptr},
    {"typical_minute", get_unsigned<&M::typical_minute>, nullptr, nullptr, nullptr},
    {"typical_second", get_unsigned<&M::typical_second>, nullptr, nullptr, nullptr},
    {"section2_length", get_unsigned<&M::section2_length>, nullptr, nullptr, nullptr},
    {"section3_length", get_unsigned<&M::section3_length>, nullptr, nullptr, nullptr},
    {"number_of_subsets", get_unsigned<&M::number_of_subsets>, nullptr, nullptr, nullptr},
    {"observed_data", get_bool<&M::observed_data>, nullptr, nullptr, nullptr},
    {"compressed_data", get_bool<&M::compressed_data>, nullptr, nullptr, nullptr},
    {"unexpanded_descriptors", get_unexpanded_descriptors, nullptr, nullptr, nullptr},
    {"section4_length", get_unsigned<&M::section4_length>, nullptr, nullptr, nullptr},
    {"section4_data_offset", get_unsigned<&M::section4_data_offset>, nullptr, nullptr, nullptr},
    {"section4_data_length", get_unsigned<&M::section4_data_length>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bufr_message_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<BufrMessage>)},
    {Py_tp_repr, reinterpret_cast<void*>(bufr_message_repr)},
    {Py_tp_getset, bufr_message_getset},
    {0, nullptr},
};

PyType_Spec bufr_message_spec{
    "_skerrow.BufrMessage", sizeof(RecordObject<BufrMessage>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    bufr_message_slots};

constexpr const char* kDataParameter[] = {"data"};

// Reads the file named by the single `path` argument; false with OSError (or
// an argument error) set on failure.
bool read_path_argument(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::string* content) {
  std::string path;
  if (!bind_path_argument(function_name, args, nargs, kwnames, &path)) return false;
  auto read = read_whole_file(path);
  if (!read) {
    if (const auto* io = std::get_if<error::Io>(&read.error().variant())) {
      raise_os_error(io_failure_text(*io));
    } else {
      raise_decode_error(read.error());
    }
    return false;
  }
  *content = std::move(read).value();
  return true;
}

Octets as_octets(const std::string& content) {
  return Octets(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
}

PyObject* parse_one(Octets bytes) {
  auto parsed = parse_message(bytes);
  if (!parsed) return raise_decode_error(parsed.error());
  return new_bufr_message(std::move(parsed).value());
}

PyObject* parse_many(Octets bytes) {
  auto parsed = parse_all(bytes);
  if (!parsed) return raise_decode_error(parsed.error());
  auto& records = parsed.value();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = new_bufr_message(std::move(records[i]));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyTypeObject* bufr_message_type() { return lazy_type(&g_type, &bufr_message_spec); }

PyObject* new_bufr_message(BufrMessage&& record) {
  return new_record_object(bufr_message_type(), std::move(record));
}

const BufrMessage* bufr_message_record(PyObject* object) {
  if (g_type == nullptr || !PyObject_TypeCheck(object, g_type)) return nullptr;
  return &record_of(object);
}

PyObject* py_parse_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_args("parse_bytes", kDataParameter, args, nargs, kwnames, bound)) return nullptr;
    Octets data;
    if (!require_bytes("parse_bytes", "data", bound[0], &data)) return nullptr;
    return parse_one(data);
  });
}

PyObject* py_parse_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string content;
    if (!read_path_argument("parse_file", args, nargs, kwnames, &content)) return nullptr;
    return parse_one(as_octets(content));
  });
}

PyObject* py_parse_all_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_args("parse_all_bytes", kDataParameter, args, nargs, kwnames, bound)) {
      return nullptr;
    }
    Octets data;
    if (!require_bytes("parse_all_bytes", "data", bound[0], &data)) return nullptr;
    return parse_many(data);
  });
}

PyObject* py_parse_all_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string content;
    if (!read_path_argument("parse_all_file", args, nargs, kwnames, &content)) return nullptr;
    return parse_many(as_octets(content));
  });
}

}  // namespace skerrow::py
