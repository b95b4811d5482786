// The one place where core failures become Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "message/decode_error.h"

namespace skerrow::py {

// Raises ValueError(error.message()); returns nullptr for `return` chaining.
PyObject* raise_decode_error(const DecodeError& error);
// Raises a plain OSError whose single argument is `text` (errno stays None).
PyObject* raise_os_error(const std::string& text);

// Runs one entry point. Allocation failures in the core's containers become
// MemoryError; anything else that escapes becomes SystemError, so no C++
// exception ever crosses into the interpreter.
template <typename F>
PyObject* guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in _skerrow");
    return nullptr;
  }
}

// The same for slots that return an int status.
template <typename F>
int guard_int(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in _skerrow");
    return -1;
  }
}

}  // namespace skerrow::py
