// The _RetroVecEnv class.
#include "py_api/holds.h"
#include "py_api/module_types.h"

namespace tt::py {

namespace {

struct RetroVecEnvObject {
  PyObject_HEAD
  HoldCounter holds;
};

constexpr const char* CLASS_DOC =
    "_RetroVecEnv(rom_path, num_envs, frame_skip=4, grayscale=True, frame_stack=4, terminate_on_flag=True, "
    "crop_top=0, crop_bottom=0, resize_width=84, resize_height=84, state_catalog_data=None, "
    "state_catalog_names=None, seed=0, frame_maxpool=False, noop_reset_max=0, sticky_action_prob=0.0, "
    "crop_left=0, crop_right=0, crop_mode=\"remove\", crop_fill=0, resize_algorithm=\"area\", num_threads=None, "
    "extra_info_ids=None)\n--\n\n";

PyObject* env_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  // The environment core is bound in a following change.
  PyErr_SetString(PyExc_TypeError, "No constructor defined for _RetroVecEnv");
  return nullptr;
}

void env_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RetroVecEnvObject*>(self)->~RetroVecEnvObject();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(env_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(env_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tanuvex_turbo._tanuvex_turbo._RetroVecEnv",
    static_cast<int>(sizeof(RetroVecEnvObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyObject* create_retro_vec_env_type() { return PyType_FromSpec(&g_spec); }

}  // namespace tt::py
