// The module function extra_info_descriptors(): the extra info catalogue as
// a list of (id, name, count, dtype, enum name or None) tuples.
#include "driver/game_info.h"
#include "py_api/exception_guard.h"
#include "py_api/module_types.h"
#include "py_api/py_ref.h"

namespace tt::py {

namespace {

PyObject* descriptor_tuple(const ExtraInfoEntry& entry) {
  PyObject* enum_name = nullptr;
  if (entry.enum_name != nullptr) {
    enum_name = PyUnicode_FromString(entry.enum_name);
  } else {
    Py_INCREF(Py_None);
    enum_name = Py_None;
  }
  if (enum_name == nullptr) return nullptr;
  return Py_BuildValue("(isisN)", static_cast<int>(entry.id), entry.name, static_cast<int>(entry.count),
                       extra_info_dtype_name(entry.dtype), enum_name);
}

PyObject* extra_info_descriptors(PyObject* /*module*/, PyObject* /*unused*/) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(EXTRA_INFO_CATALOGUE.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < EXTRA_INFO_CATALOGUE.size(); ++i) {
    PyObject* item = descriptor_tuple(EXTRA_INFO_CATALOGUE[i]);
    if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyMethodDef g_function_def = {
    "extra_info_descriptors",
    guarded<extra_info_descriptors>,
    METH_NOARGS,
    "extra_info_descriptors()\n--\n\n",
};

}  // namespace

PyObject* create_extra_info_descriptors_function(PyObject* module) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(&g_function_def, module, module_name.get());
}

}  // namespace tt::py
