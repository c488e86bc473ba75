// The _RetroVecEnv Python object and the functions its class is made of.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "py_api/array_checks.h"
#include "py_api/holds.h"
#include "py_api/python.h"
#include "vec_env/vec_env.h"

namespace tt::py {

struct RetroVecEnvObject {
  PyObject_HEAD HoldCounter holds;
  std::unique_ptr<ZuboVecEnv> env;
  /// The step's caller inputs (actions, then the step mask), copied here under
  /// the interpreter lock: the environment never reads caller memory once the
  /// lock is released. Sized at construction; steps hold the object exclusively.
  std::vector<uint8_t> step_inputs;
  /// While lanes are in flight (step_send): the observation array and the
  /// optional observation ring they were sent with, referenced and held for
  /// writing until the last of them is received or cancelled.
  std::unique_ptr<ArrayHolds> async_holds;
  PyObject* async_obs = nullptr;
  PyObject* async_ring = nullptr;
  /// The arrays of bind_outputs: referenced, converted and checked once, held
  /// again by every call that writes them.
  bool has_bound = false;
  StepBuffers bound;
  std::vector<ArrayArg> bound_arrays;
  std::vector<PyObject*> bound_refs;
};

inline RetroVecEnvObject* as_env_object(PyObject* self) { return reinterpret_cast<RetroVecEnvObject*>(self); }
/// `object` as a _RetroVecEnv, or nullptr (no exception set) when it is not one.
RetroVecEnvObject* retro_vec_env_object(PyObject* object);

/// Text signature of the class (the constructor's).
extern const char* const RETRO_VEC_ENV_DOC;

// Constructor (retro_vec_env_new.cpp).
PyObject* env_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Properties (retro_vec_env_queries.cpp); all take a shared hold.
PyObject* env_get_num_envs(PyObject* self, void*);
PyObject* env_get_num_threads(PyObject* self, void*);
PyObject* env_get_frame_skip(PyObject* self, void*);
PyObject* env_get_grayscale(PyObject* self, void*);
PyObject* env_get_frame_stack(PyObject* self, void*);
PyObject* env_get_frame_maxpool(PyObject* self, void*);
PyObject* env_get_noop_reset_max(PyObject* self, void*);
PyObject* env_get_sticky_action_prob(PyObject* self, void*);
PyObject* env_get_crop_top(PyObject* self, void*);
PyObject* env_get_crop_bottom(PyObject* self, void*);
PyObject* env_get_resize_width(PyObject* self, void*);
PyObject* env_get_resize_height(PyObject* self, void*);
PyObject* env_get_obs_type(PyObject* self, void*);
PyObject* env_get_state_catalog(PyObject* self, void*);

// Shape queries, seeding and diagnostics (retro_vec_env_queries.cpp).
PyObject* env_obs_shape(PyObject* self, PyObject*);
PyObject* env_active_state_indices(PyObject* self, PyObject*);
PyObject* env_rgb_frame_shape(PyObject* self, PyObject*);
PyObject* env_extra_info_shape(PyObject* self, PyObject*);
PyObject* env_ram_shape(PyObject* self, PyObject*);
PyObject* env_seed(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_debug_ram(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_debug_oam(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_debug_bg_pixel(PyObject* self, PyObject* args, PyObject* kwargs);

// Batched methods writing into caller arrays (retro_vec_env_batched.cpp).
PyObject* env_extra_info_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_ram_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_rgb_frames_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_reset_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_reset_masked_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_info_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_step_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_step_masked_into(PyObject* self, PyObject* args, PyObject* kwargs);

// Episode calls over bound output arrays (retro_vec_env_episode.cpp).
PyObject* env_bind_outputs(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_step(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_values_into_bound(PyObject* self, PyObject*);
PyObject* env_set_start_states(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_mark_ended(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_set_max_episode_steps(PyObject* self, PyObject* args, PyObject* kwargs);
/// Gives back the bound arrays (interpreter lock held).
void env_release_bound_outputs(RetroVecEnvObject* object);

// Asynchronous steps (retro_vec_env_async.cpp); the send, receive and poll
// calls take an Async hold.
PyObject* env_step_send(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_step_recv_into(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_step_in_flight(PyObject* self, PyObject*);
PyObject* env_step_ready(PyObject* self, PyObject*);
PyObject* env_step_cancel(PyObject* self, PyObject*);
/// Lets every lane in flight finish and gives back the arrays they used
/// (before the object is freed; interpreter lock held).
void env_finish_lanes_in_flight(RetroVecEnvObject* object);

// Snapshot methods (retro_vec_env_snapshots.cpp).
PyObject* env_capture_snapshots(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_decode_snapshots(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* env_reset_mixed_into(PyObject* self, PyObject* args, PyObject* kwargs);

// Profiler methods (retro_vec_env_profiler.cpp).
PyObject* env_enable_profiler(PyObject* self, PyObject*);
PyObject* env_reset_profiler(PyObject* self, PyObject*);
PyObject* env_disable_profiler(PyObject* self, PyObject*);
PyObject* env_profiler_snapshot(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tt::py
