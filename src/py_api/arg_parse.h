// Argument binding and conversion for the binding's methods. Every converter
// returns false with a Python exception set on failure. A TypeError raised
// while converting an argument is re-raised as
// "argument '<name>': <original message>"; other exceptions (OverflowError
// from integer conversions, for example) pass through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "py_api/py_ref.h"
#include "py_api/python.h"

namespace tt::py {

/// Parameter list of one callable.
struct Signature {
  const char* function;      // name used in binding errors, e.g. "step_into"
  const char* const* names;  // parameter names in positional order
  size_t count;              // number of parameters
  size_t required;           // the first `required` parameters have no default
};

/// Binds a call's positional tuple and keyword dictionary (may be null) to
/// the parameters of `sig`: out[i] receives a borrowed reference, or nullptr
/// when parameter i was not given. TypeError for missing required, surplus,
/// unknown or twice-given arguments.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

/// Turns a pending TypeError into "argument '<name>': <message>", keeping the
/// original as its cause. Does nothing for other exceptions.
void add_argument_prefix(const char* name);

/// The type name of `obj`, for messages.
std::string type_name(PyObject* obj);

/// Unsigned 64-bit integer: an int, or an object with __index__.
bool convert_u64(PyObject* obj, const char* name, uint64_t& out);
/// Signed 64-bit integer: an int, or an object with __index__.
bool convert_i64(PyObject* obj, const char* name, int64_t& out);
/// Integer 0..255; OverflowError "out of range integral type conversion attempted" otherwise.
bool convert_u8(PyObject* obj, const char* name, uint8_t& out);
/// A Python bool or a NumPy bool scalar; anything else (ints included) is a TypeError.
bool convert_bool(PyObject* obj, const char* name, bool& out);
/// The interpreter's float conversion (__float__, or __index__ for ints).
bool convert_f64(PyObject* obj, const char* name, double& out);
/// A str (or subclass), as UTF-8 text.
bool convert_str(PyObject* obj, const char* name, std::string& out);
/// A str (or subclass) naming a file, as the bytes os.fsencode() gives for
/// it; ValueError "argument '<name>': ..." for an embedded NUL or a name the
/// file system encoding cannot express.
bool convert_path(PyObject* obj, const char* name, std::string& out);

/// None, or a signed 64-bit integer.
bool convert_optional_i64(PyObject* obj, const char* name, std::optional<int64_t>& out);
/// None (empty result), or a sequence (not a str) of integers 0..255.
bool convert_optional_u8_list(PyObject* obj, const char* name, std::vector<uint8_t>& out);
/// None (empty result), or a sequence (not a str) of str.
bool convert_optional_str_list(PyObject* obj, const char* name, std::vector<std::string>& out);
/// None (empty result), or a sequence (not a str) whose items are byte
/// strings or sequences of integers 0..255.
bool convert_optional_bytes_list(PyObject* obj, const char* name, std::vector<std::vector<uint8_t>>& out);
/// A sequence (not a str) whose items are None (empty optional) or byte
/// strings or sequences of integers 0..255.
bool convert_optional_bytes_items(PyObject* obj, const char* name,
                                  std::vector<std::optional<std::vector<uint8_t>>>& out);
/// A sequence (not a str) whose items are None or instances of `type`
/// (`type_label` names it in the message): out receives a new reference per
/// item, empty for None.
bool convert_optional_instance_list(PyObject* obj, const char* name, PyTypeObject* type, const char* type_label,
                                    std::vector<PyRef>& out);
/// A sequence (not a str) whose items are None or unsigned 64-bit integers.
bool convert_seed_list(PyObject* obj, const char* name, std::vector<std::optional<uint64_t>>& out);

}  // namespace tt::py
