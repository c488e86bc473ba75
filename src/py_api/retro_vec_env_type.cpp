// The _RetroVecEnv class: its slots, properties and methods in declaration order.
#include "driver/game_values.h"
#include "py_api/exception_guard.h"
#include "py_api/module_types.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

const char* const RETRO_VEC_ENV_DOC =
    "_RetroVecEnv(rom_path, num_envs, frame_skip=4, grayscale=True, frame_stack=4, terminate_on_flag=True, "
    "crop_top=0, crop_bottom=0, resize_width=84, resize_height=84, state_catalog_data=None, "
    "state_catalog_names=None, seed=0, frame_maxpool=False, noop_reset_max=0, sticky_action_prob=0.0, "
    "crop_left=0, crop_right=0, crop_mode=\"remove\", crop_fill=0, resize_algorithm=\"area\", num_threads=None, "
    "extra_info_ids=None, render_observations=True, obs_type=None, end_on_life_loss=False, episodic_life=False, "
    "end_on_level_end=False, progress_info=False, max_episode_steps=None, autoreset=\"off\")\n--\n\n";

namespace {

PyObject* g_type = nullptr;  // the class, once created

void env_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  env_finish_lanes_in_flight(as_env_object(self));  // workers may still write the arrays it holds
  env_release_bound_outputs(as_env_object(self));
  as_env_object(self)->~RetroVecEnvObject();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

#define TT_PROPERTY(name) {#name, guarded<env_get_##name>, nullptr, nullptr, nullptr}

PyGetSetDef g_properties[] = {
    TT_PROPERTY(num_envs),       TT_PROPERTY(num_threads),        TT_PROPERTY(frame_skip),
    TT_PROPERTY(grayscale),      TT_PROPERTY(frame_stack),        TT_PROPERTY(frame_maxpool),
    TT_PROPERTY(noop_reset_max), TT_PROPERTY(sticky_action_prob), TT_PROPERTY(crop_top),
    TT_PROPERTY(crop_bottom),    TT_PROPERTY(resize_width),       TT_PROPERTY(resize_height),
    TT_PROPERTY(state_catalog),  TT_PROPERTY(obs_type),           {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TT_PROPERTY

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction keywords() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>));
}

constexpr int KW = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"obs_shape", guarded<env_obs_shape>, METH_NOARGS, "obs_shape($self)\n--\n\n"},
    {"active_state_indices", guarded<env_active_state_indices>, METH_NOARGS, "active_state_indices($self)\n--\n\n"},
    {"rgb_frame_shape", guarded<env_rgb_frame_shape>, METH_NOARGS, "rgb_frame_shape($self)\n--\n\n"},
    {"extra_info_shape", guarded<env_extra_info_shape>, METH_NOARGS, "extra_info_shape($self)\n--\n\n"},
    {"extra_info_into", keywords<env_extra_info_into>(), KW, "extra_info_into($self, output)\n--\n\n"},
    {"ram_shape", guarded<env_ram_shape>, METH_NOARGS, "ram_shape($self)\n--\n\n"},
    {"ram_into", keywords<env_ram_into>(), KW, "ram_into($self, output)\n--\n\n"},
    {"rgb_frames_into", keywords<env_rgb_frames_into>(), KW, "rgb_frames_into($self, frames)\n--\n\n"},
    {"seed", keywords<env_seed>(), KW, "seed($self, seed)\n--\n\n"},
    {"enable_profiler", guarded<env_enable_profiler>, METH_NOARGS, "enable_profiler($self)\n--\n\n"},
    {"reset_profiler", guarded<env_reset_profiler>, METH_NOARGS, "reset_profiler($self)\n--\n\n"},
    {"disable_profiler", guarded<env_disable_profiler>, METH_NOARGS, "disable_profiler($self)\n--\n\n"},
    {"profiler_snapshot", keywords<env_profiler_snapshot>(), KW, "profiler_snapshot($self, top_n=64)\n--\n\n"},
    {"_debug_ram", keywords<env_debug_ram>(), KW, "_debug_ram($self, env_idx)\n--\n\n"},
    {"_debug_oam", keywords<env_debug_oam>(), KW, "_debug_oam($self, env_idx)\n--\n\n"},
    {"_debug_bg_pixel", keywords<env_debug_bg_pixel>(), KW, "_debug_bg_pixel($self, env_idx, x, y)\n--\n\n"},
    {"reset_into", keywords<env_reset_into>(), KW, "reset_into($self, obs)\n--\n\n"},
    {"reset_masked_into", keywords<env_reset_masked_into>(), KW,
     "reset_masked_into($self, obs, reset_mask, state_indices, seeds, go_on=False)\n--\n\n"},
    {"bind_outputs", keywords<env_bind_outputs>(), KW,
     "bind_outputs($self, obs, rewards, terminated, truncated" TT_GAME_VALUE_PARAMETERS
     ", extra_info=None, level_end=None, dying=None, final_obs=None, final_info=None, final_extra_info=None, "
     "final_level_end=None, final_dying=None)\n--\n\n"},
    {"step", keywords<env_step>(), KW, "step($self, actions, step_mask=None, obs_copy=None)\n--\n\n"},
    {"values_into_bound", guarded<env_values_into_bound>, METH_NOARGS, "values_into_bound($self)\n--\n\n"},
    {"set_start_states", keywords<env_set_start_states>(), KW,
     "set_start_states($self, state_indices, random)\n--\n\n"},
    {"mark_ended", keywords<env_mark_ended>(), KW, "mark_ended($self, mask)\n--\n\n"},
    {"set_max_episode_steps", keywords<env_set_max_episode_steps>(), KW, "set_max_episode_steps($self, steps)\n--\n\n"},
    {"capture_snapshots", keywords<env_capture_snapshots>(), KW, "capture_snapshots($self, obs, capture_mask)\n--\n\n"},
    {"decode_snapshots", keywords<env_decode_snapshots>(), KW, "decode_snapshots($self, payloads)\n--\n\n"},
    {"reset_mixed_into", keywords<env_reset_mixed_into>(), KW,
     "reset_mixed_into($self, obs, reset_mask, state_indices, seeds, snapshots)\n--\n\n"},
    {"info_into", keywords<env_info_into>(), KW, "info_into($self" TT_GAME_VALUE_PARAMETERS ")\n--\n\n"},
    {"step_into", keywords<env_step_into>(), KW,
     "step_into($self, actions, obs, rewards, terminated, truncated" TT_GAME_VALUE_PARAMETERS ")\n--\n\n"},
    {"step_masked_into", keywords<env_step_masked_into>(), KW,
     "step_masked_into($self, actions, obs, rewards, terminated, truncated" TT_GAME_VALUE_PARAMETERS
     ", step_mask=None, obs_copy=None)\n--\n\n"},
    {"step_send", keywords<env_step_send>(), KW,
     "step_send($self, env_ids, actions, obs, obs_ring=None, reset_mask=None, state_indices=None, "
     "seeds=None, go_on=False)\n--\n\n"},
    {"step_recv_into", keywords<env_step_recv_into>(), KW,
     "step_recv_into($self, env_ids, rewards, terminated, truncated" TT_GAME_VALUE_PARAMETERS
     ", extra_info=None, ram=None, level_end=None, dying=None)\n--\n\n"},
    {"step_in_flight", guarded<env_step_in_flight>, METH_NOARGS, "step_in_flight($self)\n--\n\n"},
    {"step_ready", guarded<env_step_ready>, METH_NOARGS, "step_ready($self)\n--\n\n"},
    {"step_cancel", guarded<env_step_cancel>, METH_NOARGS, "step_cancel($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(RETRO_VEC_ENV_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<env_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(env_dealloc)},
    {Py_tp_getset, g_properties},
    {Py_tp_methods, g_methods},
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

PyObject* create_retro_vec_env_type() {
  g_type = PyType_FromSpec(&g_spec);  // the module keeps it for the whole process
  return g_type;
}

RetroVecEnvObject* retro_vec_env_object(PyObject* object) {
  if (g_type == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(g_type))) return nullptr;
  return as_env_object(object);
}

}  // namespace tt::py
