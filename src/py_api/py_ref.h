// Owning reference to a Python object.
#pragma once

#include <utility>

#include "py_api/python.h"

namespace tt::py {

/// Holds one strong reference and drops it on destruction.
class PyRef {
 public:
  PyRef() = default;
  /// Takes over `owned` (a new reference, possibly null).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  /// Gives the reference away to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace tt::py
