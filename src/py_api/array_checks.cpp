#include "py_api/array_checks.h"

#include <algorithm>

#include "py_api/arg_parse.h"
#include "py_api/numpy_api.h"
#include "py_api/py_ref.h"

namespace tt::py {

namespace {

struct ElementInfo {
  int type_num;
  const char* name;
};

ElementInfo element_info(ElementType type) {
  switch (type) {
    case ElementType::U8: return {NPY_UINT8, "uint8"};
    case ElementType::Bool: return {NPY_BOOL, "bool"};
    case ElementType::I16: return {NPY_INT16, "int16"};
    case ElementType::U16: return {NPY_UINT16, "uint16"};
    case ElementType::I32: return {NPY_INT32, "int32"};
    case ElementType::U32: return {NPY_UINT32, "uint32"};
    case ElementType::I64: return {NPY_INT64, "int64"};
    case ElementType::F32: return {NPY_FLOAT32, "float32"};
  }
  return {NPY_UINT8, "uint8"};
}

// Memory held by calls in progress; guarded by the interpreter lock.
struct HeldRegion {
  uintptr_t begin = 0;
  uintptr_t end = 0;  // exclusive; begin == end marks a free slot
  Access access = Access::Read;
  const ArrayHolds* owner = nullptr;
  const char* name = "";
};

std::vector<HeldRegion>& held_regions() {
  static std::vector<HeldRegion> regions;
  return regions;
}

// Byte range [begin, end) an array's elements occupy; empty for zero extents.
std::pair<uintptr_t, uintptr_t> byte_span(const ArrayArg& arg) {
  intptr_t low = 0;
  intptr_t high = 0;
  for (int d = 0; d < arg.ndim; ++d) {
    if (arg.shape[d] == 0) return {0, 0};
    const intptr_t reach = static_cast<intptr_t>((arg.shape[d] - 1) * arg.strides[d]);
    if (reach < 0) {
      low += reach;
    } else {
      high += reach;
    }
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(arg.data);
  return {base + low, base + high + static_cast<uintptr_t>(arg.itemsize)};
}

std::string describe_dtype(PyObject* array) {
  PyRef dtype(PyObject_GetAttrString(array, "dtype"));
  PyRef text(dtype ? PyObject_Str(dtype.get()) : nullptr);
  if (!text) {
    PyErr_Clear();
    return "unknown";
  }
  PyRef utf8(PyUnicode_AsUTF8String(text.get()));
  if (!utf8) {
    PyErr_Clear();
    return "unknown";
  }
  return PyBytes_AsString(utf8.get());
}

std::string join_shape(const std::vector<int64_t>& shape) {
  std::string out;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out;
}

std::vector<int64_t> shape_of(const ArrayArg& arg) { return {arg.shape, arg.shape + arg.ndim}; }

}  // namespace

ArrayHolds::~ArrayHolds() {
  for (PyObject* ref : pins_) Py_DECREF(ref);
  auto& regions = held_regions();
  for (size_t slot : slots_) regions[slot] = HeldRegion{};
  while (!regions.empty() && regions.back().begin == regions.back().end) regions.pop_back();
}

bool ArrayHolds::hold(const ArrayArg& arg) {
  if (arg.access == Access::Write && !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(arg.object))) {
    PyErr_Format(PyExc_ValueError, "%s must be writeable", arg.name);
    return false;
  }
  const auto [begin, end] = byte_span(arg);
  if (begin == end) return true;  // empty arrays touch no memory

  auto& regions = held_regions();
  for (const HeldRegion& other : regions) {
    if (other.begin == other.end || other.end <= begin || end <= other.begin) continue;
    if (other.access == Access::Read && arg.access == Access::Read) continue;
    if (other.owner == this) {
      PyErr_Format(PyExc_ValueError, "%s must not share memory with %s", arg.name, other.name);
    } else {
      PyErr_Format(PyExc_RuntimeError, "%s is in use by another call", arg.name);
    }
    return false;
  }
  if (!pin(arg.object)) return false;
  size_t slot = 0;
  while (slot < regions.size() && regions[slot].begin != regions[slot].end) ++slot;
  if (slot == regions.size()) regions.emplace_back();
  regions[slot] = HeldRegion{begin, end, arg.access, this, arg.name};
  slots_.push_back(slot);
  return true;
}

bool ArrayHolds::pin(PyObject* array) {
  // The array itself, then the last array of its base chain: a view's memory
  // belongs to that one, and resizing it would free the view's elements.
  PyObject* owner = array;
  for (PyObject* base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(array)); base != nullptr && PyArray_Check(base);
       base = PyArray_BASE(reinterpret_cast<PyArrayObject*>(base))) {
    owner = base;
  }
  for (PyObject* target : {array, owner}) {
    PyObject* ref = PyWeakref_NewRef(target, nullptr);
    if (ref == nullptr) return false;
    pins_.push_back(ref);
    if (owner == array) break;
  }
  return true;
}

bool convert_array(PyObject* obj, const char* name, ElementType type, int ndim, Access access, ArrayHolds& holds,
                   ArrayArg& out) {
  if (!ensure_numpy()) return false;
  const ElementInfo info = element_info(type);
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a %dD numpy array of %s, got '%s' object", ndim, info.name,
                 type_name(obj).c_str());
    add_argument_prefix(name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* wanted = PyArray_DescrFromType(info.type_num);
  if (wanted == nullptr) return false;
  const bool same_type = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  if (!same_type || PyArray_NDIM(array) != ndim) {
    PyErr_Format(PyExc_TypeError, "expected a %dD numpy array of %s, got a %dD array of %s", ndim, info.name,
                 PyArray_NDIM(array), describe_dtype(obj).c_str());
    add_argument_prefix(name);
    return false;
  }

  out = ArrayArg{};
  out.name = name;
  out.object = obj;
  out.access = access;
  out.data = static_cast<char*>(PyArray_DATA(array));
  out.ndim = ndim;
  out.itemsize = PyArray_ITEMSIZE(array);
  for (int d = 0; d < ndim; ++d) {
    out.shape[d] = PyArray_DIMS(array)[d];
    out.strides[d] = PyArray_STRIDES(array)[d];
  }
  return holds.hold(out);
}

std::string format_shape_tuple(const std::vector<int64_t>& shape) {
  std::string out(1, '(');
  out += join_shape(shape);
  out += ')';
  return out;
}

std::string format_shape_list(const std::vector<int64_t>& shape) {
  std::string out(1, '[');
  out += join_shape(shape);
  out += ']';
  return out;
}

MaybeError check_shape(const ArrayArg& arg, const char* label, std::initializer_list<uint64_t> expected) {
  std::vector<int64_t> want;
  for (uint64_t e : expected) want.push_back(static_cast<int64_t>(e));
  const std::vector<int64_t> have = shape_of(arg);
  if (have == want) return std::nullopt;
  return value_error(std::string(label) + " shape must be " + format_shape_tuple(want) + ", got " +
                     format_shape_list(have));
}

MaybeError check_length(const ArrayArg& arg, size_t expected) {
  if (arg.length() == expected) return std::nullopt;
  return value_error(std::string(arg.name) + " length must be " + std::to_string(expected) + ", got " +
                     std::to_string(arg.length()));
}

MaybeError check_contiguous(const ArrayArg& arg, const char* label) {
  for (int d = 0; d < arg.ndim; ++d) {
    if (arg.shape[d] == 0) return std::nullopt;
  }
  int64_t expected = arg.itemsize;
  for (int d = arg.ndim - 1; d >= 0; --d) {
    if (arg.shape[d] != 1 && arg.strides[d] != expected) {
      return value_error(std::string(label) + " must be C-contiguous");
    }
    expected *= arg.shape[d];
  }
  return std::nullopt;
}

}  // namespace tt::py
