// Loads NumPy's C API table from the `_ARRAY_API` capsule of its multiarray
// module (`numpy._core.multiarray` on NumPy 2, `numpy.core.multiarray` on 1.x).
#define TT_NUMPY_API_OWNER
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"  // NumPy's own import helper is not used
#include "py_api/numpy_api.h"
#pragma GCC diagnostic pop

#include "py_api/py_ref.h"

namespace tt::py {

namespace {

bool g_loaded = false;

PyObject* import_multiarray() {
  PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
  if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    module = PyImport_ImportModule("numpy.core.multiarray");
  }
  return module;
}

bool load_api_table() {
  PyRef module(import_multiarray());
  if (!module) return false;
  PyRef capsule(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
    return false;
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return false;
  PyArray_API = table;

  // The ABI version must match exactly; the feature version must be at
  // least the one this module was compiled for.
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    PyArray_API = nullptr;
    PyErr_Format(PyExc_ImportError, "module compiled against NumPy ABI version 0x%x but this NumPy is 0x%x",
                 static_cast<int>(NPY_VERSION), static_cast<int>(PyArray_GetNDArrayCVersion()));
    return false;
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    PyErr_Format(PyExc_ImportError, "module compiled against NumPy C API version 0x%x but this NumPy has 0x%x",
                 static_cast<int>(NPY_FEATURE_VERSION), PyArray_RUNTIME_VERSION);
    PyArray_API = nullptr;
    return false;
  }
  return true;
}

}  // namespace

bool ensure_numpy() {
  if (g_loaded) return true;
  // Callers hold the interpreter lock, so no other thread can interleave here.
  g_loaded = load_api_table();
  return g_loaded;
}

}  // namespace tt::py
