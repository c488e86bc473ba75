// Initialisation of the _tanuvex_turbo extension module.
#include "py_api/module_types.h"
#include "py_api/py_ref.h"

namespace tt::py {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_tanuvex_turbo",
    "Batched emulation of the supported game as a vectorised reinforcement-learning environment.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set on the first call of the initialisation function; the module may only
// be built once per process.
bool g_initialised = false;
// The module object, kept for the whole process.
PyObject* g_module = nullptr;

// Adds `value` (a new reference, may be null after a failed creation) under
// `name` and appends the name to __all__, creating the list on first use.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

PyObject* build_module() {
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  if (!add_attribute(m, "ZuboLiveSnapshot", create_live_snapshot_type())) return nullptr;
  if (!add_attribute(m, "_RetroVecEnv", create_retro_vec_env_type())) return nullptr;
  if (!add_attribute(m, "extra_info_descriptors", create_extra_info_descriptors_function(m))) return nullptr;
  if (!add_attribute(m, "NES_WIDTH", PyLong_FromLong(256))) return nullptr;
  if (!add_attribute(m, "NES_HEIGHT", PyLong_FromLong(240))) return nullptr;
  if (!add_attribute(m, "VISIBLE_FRAME_WIDTH", PyLong_FromLong(240))) return nullptr;
  if (!add_attribute(m, "VISIBLE_FRAME_HEIGHT", PyLong_FromLong(224))) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace tt::py

PyMODINIT_FUNC PyInit__tanuvex_turbo(void) {
  using namespace tt::py;
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "the _tanuvex_turbo module can only be initialised once per process");
    return nullptr;
  }
  g_initialised = true;
  g_module = build_module();
  if (g_module == nullptr) return nullptr;
  Py_INCREF(g_module);
  return g_module;
}
