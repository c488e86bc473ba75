// Initialisation of the _tanuvex_turbo extension module.
#include "core/console.h"
#include "driver/game_values.h"
#include "py_api/module_types.h"
#include "py_api/py_ref.h"
#if TT_XLA
#include "xla/xla_module.h"
#endif

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

// The ten game values as a tuple of (name, NumPy dtype name) pairs, in
// step_into / info_into order.
PyObject* game_value_fields() {
#define TT_FIELD_PAIR(NAME, VALUE_TYPE, ARRAY_TYPE, DTYPE, ...) Py_BuildValue("(ss)", #NAME, #DTYPE),
  PyObject* pairs[] = {TT_GAME_VALUES(TT_FIELD_PAIR)};
#undef TT_FIELD_PAIR
  constexpr Py_ssize_t count = sizeof(pairs) / sizeof(pairs[0]);
  PyRef tuple(PyTuple_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!pairs[i] || !tuple) {
      for (Py_ssize_t j = i; j < count; ++j) Py_XDECREF(pairs[j]);
      return nullptr;
    }
    PyTuple_SetItem(tuple.get(), i, pairs[i]);  // steals the reference
  }
  return tuple.release();
}

PyObject* build_module() {
  PyRef module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* m = module.get();
  if (!add_attribute(m, "ZuboLiveSnapshot", create_live_snapshot_type())) return nullptr;
  if (!add_attribute(m, "_RetroVecEnv", create_retro_vec_env_type())) return nullptr;
  if (!add_attribute(m, "extra_info_descriptors", create_extra_info_descriptors_function(m))) return nullptr;
  if (!add_attribute(m, "NES_WIDTH", PyLong_FromLong(NES_WIDTH))) return nullptr;
  if (!add_attribute(m, "NES_HEIGHT", PyLong_FromLong(NES_HEIGHT))) return nullptr;
  if (!add_attribute(m, "VISIBLE_FRAME_WIDTH", PyLong_FromLong(VISIBLE_FRAME_WIDTH))) return nullptr;
  if (!add_attribute(m, "VISIBLE_FRAME_HEIGHT", PyLong_FromLong(VISIBLE_FRAME_HEIGHT))) return nullptr;
#if TT_XLA
  if (!tt::xla::add_module_functions(m)) return nullptr;
#endif
  // For the Python package's own field list; not part of __all__.
  PyRef info_fields(game_value_fields());
  if (!info_fields || PyObject_SetAttrString(m, "_INFO_FIELDS", info_fields.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace tt::py

PyMODINIT_FUNC PyInit__tanuvex_turbo(void) {
  using namespace tt::py;
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError, "the _tanuvex_turbo module can only be initialised once per process");
    return nullptr;
  }
  g_initialised = true;
  g_module = build_module();
  if (g_module == nullptr) return nullptr;
  Py_INCREF(g_module);
  return g_module;
}
