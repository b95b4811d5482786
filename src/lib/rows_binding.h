// skerrow._native's functions for observation rows (rows_binding.cpp), and
// the helpers of native_module.cpp they share with the other functions there.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "message/decode_error.h"
#include "message/parse_message.h"
#include "pipeline/decode_message.h"

namespace skerrow::py {

PyObject* py_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_walk_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_flat_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// From native_module.cpp: the table source a `tables` argument names;
// ValueError "message at offset N: ...".
std::optional<TableSource> native_table_source(const char* name, PyObject* tables);
PyObject* native_raise_at(std::uint64_t offset, const DecodeError& error);

}  // namespace skerrow::py
