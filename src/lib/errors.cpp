#include "lib/errors.h"

#include "lib/py_ref.h"

namespace skerrow::py {
namespace {

PyObject* raise_with_text(PyObject* type, const std::string& text) {
  Ref message = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  // PyErr_SetObject with a str gives exactly args == (text,).
  PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace

PyObject* raise_decode_error(const DecodeError& error) {
  return raise_with_text(PyExc_ValueError, error.message());
}

PyObject* raise_os_error(const std::string& text) { return raise_with_text(PyExc_OSError, text); }

}  // namespace skerrow::py
