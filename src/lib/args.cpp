#include "lib/args.h"

#include <cstdint>
#include <string>

#include "lib/py_ref.h"

namespace skerrow::py {
namespace {

std::string type_name(PyObject* object) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

}  // namespace

void raise_wrong_type(const char* function_name, const char* parameter, const char* expected,
                      PyObject* object) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", function_name, parameter,
               expected, type_name(object).c_str());
}

bool bind_args(const char* function_name, std::span<const char* const> parameters,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto count = static_cast<Py_ssize_t>(parameters.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)",
                 function_name, count, count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  // Faults are reported in CPython's order, whatever the order of the
  // keywords: a missing argument, then one given by name and position (the
  // first by position), then an unknown keyword.
  std::uint64_t by_name_and_position = 0;  // bit i: parameter i, both ways
  PyObject* unknown = nullptr;             // the first keyword naming no parameter
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    if (key == nullptr) return false;
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, parameters[static_cast<std::size_t>(i)]) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      if (unknown == nullptr) unknown = key;
    } else if (index < nargs) {
      by_name_and_position |= std::uint64_t{1} << index;
    } else {
      out[index] = args[nargs + k];
    }
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function_name,
                   parameters[static_cast<std::size_t>(i)], i + 1);
      return false;
    }
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if ((by_name_and_position >> i) & 1) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                   function_name, parameters[static_cast<std::size_t>(i)], i + 1);
      return false;
    }
  }
  if (unknown != nullptr) {
    // CPython quotes the name: 'nope' is an invalid keyword argument ...
    Ref quoted = Ref::steal(PyObject_Repr(unknown));
    if (!quoted) return false;
    PyErr_Format(PyExc_TypeError, "%U is an invalid keyword argument for %s()", quoted.get(),
                 function_name);
    return false;
  }
  return true;
}

bool require_bytes(const char* function_name, const char* parameter, PyObject* object,
                   std::span<const std::uint8_t>* out) {
  if (!PyBytes_Check(object)) {
    raise_wrong_type(function_name, parameter, "bytes", object);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return false;
  *out = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
  return true;
}

bool require_str(const char* function_name, const char* parameter, PyObject* object,
                 std::string_view* out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(function_name, parameter, "str", object);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  *out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool bind_path_argument(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::string* path) {
  static constexpr const char* kPathParameter[] = {"path"};
  PyObject* bound[1];
  if (!bind_args(function_name, kPathParameter, args, nargs, kwnames, bound)) return false;
  std::string_view text;
  if (!require_str(function_name, "path", bound[0], &text)) return false;
  *path = std::string(text);
  return true;
}

bool require_unsigned(const char* function_name, const char* parameter, PyObject* object,
                      std::uint64_t max, std::uint64_t* out) {
  if (!PyLong_Check(object)) {
    raise_wrong_type(function_name, parameter, "int", object);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative numbers raise OverflowError too ("can't convert negative int to unsigned").
    return false;
  }
  if (value > max) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is out of range (0 to %llu)",
                 function_name, parameter, static_cast<unsigned long long>(max));
    return false;
  }
  *out = value;
  return true;
}

bool require_codes(const char* function_name, const char* parameter, PyObject* object,
                   std::vector<std::uint32_t>* out) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    // collections.abc.Sequence registrations count as sequences too.
    bool registered = false;
    if (!PyUnicode_Check(object)) {
      Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
      if (!abc) return false;
      Ref sequence_abc = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
      if (!sequence_abc) return false;
      const int is = PyObject_IsInstance(object, sequence_abc.get());
      if (is < 0) return false;
      registered = is == 1;
    }
    if (!registered) {
      raise_wrong_type(function_name, parameter, "a sequence of int", object);
      return false;
    }
  }
  const Py_ssize_t size = PySequence_Size(object);
  if (size < 0) return false;
  out->clear();
  out->reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(object, i));
    if (!item) return false;
    if (!PyIndex_Check(item.get())) {
      // PyNumber_Index's own text would not say which argument was wrong.
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' item %zd must be int, not %s",
                   function_name, parameter, i, type_name(item.get()).c_str());
      return false;
    }
    Ref number = Ref::steal(PyNumber_Index(item.get()));
    if (!number) return false;
    std::uint64_t code = 0;
    if (!require_unsigned(function_name, parameter, number.get(), 0xFFFFFFFFu, &code)) return false;
    out->push_back(static_cast<std::uint32_t>(code));
  }
  return true;
}

}  // namespace skerrow::py
