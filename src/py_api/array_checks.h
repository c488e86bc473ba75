// NumPy array arguments: conversion (type, element type, dimensions,
// writeability, memory held by other arguments or calls) and the shape,
// length and layout checks of the batched methods.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "py_api/errors.h"
#include "py_api/python.h"

namespace tt::py {

enum class Access { Read, Write };

/// Element types the binding accepts.
enum class ElementType { U8, Bool, I16, U16, I32, U32, I64, F32 };

inline constexpr int MAX_ARRAY_DIMS = 4;

/// A converted array argument: a borrowed view that stays valid while the
/// call's arguments are alive.
struct ArrayArg {
  const char* name = "";
  PyObject* object = nullptr;
  Access access = Access::Read;
  char* data = nullptr;
  int ndim = 0;
  int64_t shape[MAX_ARRAY_DIMS] = {};
  int64_t strides[MAX_ARRAY_DIMS] = {};
  int64_t itemsize = 0;

  /// Element count of a 1-D array.
  size_t length() const { return static_cast<size_t>(shape[0]); }
  template <class T>
  T* as() const {
    return reinterpret_cast<T*>(data);
  }
};

/// The array memory one call holds. Regions are registered in a process-wide
/// table while the call runs so that the same memory is never written by one
/// argument while another argument, or another call, uses it. Each held array,
/// and the array that owns its memory, also gets a weak reference for the
/// call: NumPy refuses to resize an array that has one, even with
/// refcheck=False, so another thread cannot free the memory while the call
/// works on it without the interpreter lock. Released on destruction;
/// construct and destroy only with the interpreter lock held.
class ArrayHolds {
 public:
  ArrayHolds() = default;
  ArrayHolds(const ArrayHolds&) = delete;
  ArrayHolds& operator=(const ArrayHolds&) = delete;
  ~ArrayHolds();

  /// Registers `arg`'s memory. ValueError when an output array is read-only
  /// or overlaps another argument of this call in a conflicting way,
  /// RuntimeError when another running call holds it in a conflicting way.
  bool hold(const ArrayArg& arg);

 private:
  bool pin(PyObject* array);

  std::vector<size_t> slots_;
  std::vector<PyObject*> pins_;  // weak references, owned
};

/// Converts `obj` to an array argument of element type `type` with `ndim`
/// dimensions and holds it in `holds`. A wrong object type, element type or
/// dimension count is a TypeError "argument '<name>': ...".
bool convert_array(PyObject* obj, const char* name, ElementType type, int ndim, Access access, ArrayHolds& holds,
                   ArrayArg& out);

/// "(8, 4, 84, 84)".
std::string format_shape_tuple(const std::vector<int64_t>& shape);
/// "[8, 4, 84, 80]".
std::string format_shape_list(const std::vector<int64_t>& shape);

/// The array's extents must equal `expected`:
/// "<label> shape must be (..), got [..]".
MaybeError check_shape(const ArrayArg& arg, const char* label, std::initializer_list<uint64_t> expected);
/// A 1-D array's length must be `expected`: "<name> length must be N, got M".
MaybeError check_length(const ArrayArg& arg, size_t expected);
/// Row-major without gaps (extent-1 dimensions and empty arrays are free):
/// "<label> must be C-contiguous".
MaybeError check_contiguous(const ArrayArg& arg, const char* label);
/// Same, labelled with the argument's name.
inline MaybeError check_contiguous(const ArrayArg& arg) { return check_contiguous(arg, arg.name); }

}  // namespace tt::py
