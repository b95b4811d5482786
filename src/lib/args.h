// Argument binding for METH_FASTCALL | METH_KEYWORDS functions. The limited
// API has no argument clinic helper for fast calls, so the binder is ours; its
// texts follow CPython's own.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skerrow::py {

// Puts the arguments of a call in parameter order into `out` (borrowed
// references, one per parameter; at most 64). All parameters are required.
// Returns false with TypeError set on a surplus, missing, duplicated or
// unknown argument; when a call has several, the first in that order is
// reported, as CPython does.
bool bind_args(const char* function_name, std::span<const char* const> parameters,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// A view of the octets of a bytes object (or subclass), without a copy.
bool require_bytes(const char* function_name, const char* parameter, PyObject* object,
                   std::span<const std::uint8_t>* out);
// The UTF-8 form of a str (or subclass); a lone surrogate raises
// UnicodeEncodeError. The view lives as long as the object.
bool require_str(const char* function_name, const char* parameter, PyObject* object,
                 std::string_view* out);
// Binds the single argument `path` of a function and gives its UTF-8 form.
bool bind_path_argument(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, std::string* path);
// An int in [0, max]: TypeError for a non-integer, OverflowError out of range.
bool require_unsigned(const char* function_name, const char* parameter, PyObject* object,
                      std::uint64_t max, std::uint64_t* out);
// A sequence of descriptor codes (not a str, not an iterator or set).
bool require_codes(const char* function_name, const char* parameter, PyObject* object,
                   std::vector<std::uint32_t>* out);

// Raises TypeError "<fn>() argument '<param>' must be <expected>, not <type>".
void raise_wrong_type(const char* function_name, const char* parameter, const char* expected,
                      PyObject* object);

}  // namespace skerrow::py
