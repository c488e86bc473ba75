// _RetroVecEnv properties, shape queries, seeding and the diagnostic methods.
// All of them keep the interpreter lock.
#include <string>

#include "core/renderer.h"
#include "py_api/arg_parse.h"
#include "py_api/errors.h"
#include "py_api/py_ref.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

namespace {

constexpr uint8_t MASK_SHOW_BACKGROUND = 0x08;

// Runs `fn(env)` under a shared hold; `fn` reads only configuration (or
// per-lane values that only the calling thread writes), so lanes may be in flight.
template <class F>
PyObject* with_shared(PyObject* self, F&& fn) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Config);
  if (!hold.ok()) return nullptr;
  return fn(static_cast<const ZuboVecEnv&>(*object->env));
}

PyObject* config_u64(PyObject* self, uint64_t EnvConfig::* field) {
  return with_shared(self, [&](const ZuboVecEnv& env) { return PyLong_FromUnsignedLongLong(env.config().*field); });
}

PyObject* config_bool(PyObject* self, bool EnvConfig::* field) {
  return with_shared(self, [&](const ZuboVecEnv& env) { return PyBool_FromLong(env.config().*field ? 1 : 0); });
}

template <class T>
PyObject* int_list(const T* values, size_t count) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = PyLong_FromLongLong(static_cast<long long>(values[i]));
    if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyObject* shape_tuple(std::initializer_list<uint64_t> extents) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(extents.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (uint64_t e : extents) {
    PyObject* item = PyLong_FromUnsignedLongLong(e);
    if (item == nullptr || PyTuple_SetItem(tuple.get(), i++, item) < 0) return nullptr;
  }
  return tuple.release();
}

// Binds and converts the lane index (plus extra u64 arguments) of a
// diagnostic method, takes a shared hold and checks the index.
template <size_t N, class F>
PyObject* with_lane(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig, F&& fn) {
  PyObject* given[N];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  uint64_t values[N];
  for (size_t i = 0; i < N; ++i) {
    if (!convert_u64(given[i], sig.names[i], values[i])) return nullptr;
  }
  const ZuboVecEnv& env = *object->env;
  if (values[0] >= env.num_envs()) return raise(value_error("env_idx out of range: " + std::to_string(values[0])));
  return fn(env.machine(static_cast<size_t>(values[0])), values);
}

const char* const ENV_IDX_NAMES[] = {"env_idx"};
const char* const BG_PIXEL_NAMES[] = {"env_idx", "x", "y"};
const char* const SEED_NAMES[] = {"seed"};

}  // namespace

PyObject* env_get_num_envs(PyObject* self, void*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return PyLong_FromSize_t(env.num_envs()); });
}
PyObject* env_get_num_threads(PyObject* self, void*) { return config_u64(self, &EnvConfig::worker_threads); }
PyObject* env_get_frame_skip(PyObject* self, void*) { return config_u64(self, &EnvConfig::frame_skip); }
PyObject* env_get_grayscale(PyObject* self, void*) { return config_bool(self, &EnvConfig::grayscale); }
PyObject* env_get_frame_stack(PyObject* self, void*) { return config_u64(self, &EnvConfig::frame_stack); }
PyObject* env_get_frame_maxpool(PyObject* self, void*) { return config_bool(self, &EnvConfig::frame_maxpool); }
PyObject* env_get_noop_reset_max(PyObject* self, void*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return PyLong_FromLongLong(env.config().noop_reset_max); });
}
PyObject* env_get_sticky_action_prob(PyObject* self, void*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return PyFloat_FromDouble(env.config().sticky_action_prob); });
}
PyObject* env_get_crop_top(PyObject* self, void*) { return config_u64(self, &EnvConfig::crop_top); }
PyObject* env_get_crop_bottom(PyObject* self, void*) { return config_u64(self, &EnvConfig::crop_bottom); }
PyObject* env_get_resize_width(PyObject* self, void*) { return config_u64(self, &EnvConfig::resize_width); }
PyObject* env_get_resize_height(PyObject* self, void*) { return config_u64(self, &EnvConfig::resize_height); }

PyObject* env_get_obs_type(PyObject* self, void*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return PyUnicode_FromString(obs_type_name(env.config())); });
}

PyObject* env_get_state_catalog(PyObject* self, void*) {
  return with_shared(self, [](const ZuboVecEnv& env) -> PyObject* {
    const auto& catalog = env.state_catalog();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(catalog.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < catalog.size(); ++i) {
      const std::string& name = catalog[i].name;
      PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (item == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* env_obs_shape(PyObject* self, PyObject*) {
  return with_shared(self, [](const ZuboVecEnv& env) {
    const auto s = env.obs_shape();
    return shape_tuple({s[0], s[1], s[2], s[3]});
  });
}

PyObject* env_active_state_indices(PyObject* self, PyObject*) {
  return with_shared(self, [](const ZuboVecEnv& env) {
    const std::vector<int32_t> indices = env.active_state_indices();
    return int_list(indices.data(), indices.size());
  });
}

PyObject* env_rgb_frame_shape(PyObject* self, PyObject*) {
  return with_shared(self, [](const ZuboVecEnv& env) {
    return shape_tuple({env.num_envs(), VISIBLE_FRAME_HEIGHT, VISIBLE_FRAME_WIDTH, 3});
  });
}

PyObject* env_extra_info_shape(PyObject* self, PyObject*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return shape_tuple({env.num_envs(), env.extra_info_width()}); });
}

PyObject* env_ram_shape(PyObject* self, PyObject*) {
  return with_shared(self, [](const ZuboVecEnv& env) { return shape_tuple({env.num_envs(), 2048}); });
}

PyObject* env_seed(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"seed", SEED_NAMES, 1, 1};
  PyObject* given[1];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  uint64_t base = 0;
  if (!convert_u64(given[0], "seed", base)) return nullptr;
  object->env->seed(base);
  Py_RETURN_NONE;
}

PyObject* env_debug_ram(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"_debug_ram", ENV_IDX_NAMES, 1, 1};
  return with_lane<1>(self, args, kwargs, sig,
                      [](const Machine& m, const uint64_t*) { return int_list(m.ram.data(), m.ram.size()); });
}

PyObject* env_debug_oam(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"_debug_oam", ENV_IDX_NAMES, 1, 1};
  return with_lane<1>(self, args, kwargs, sig,
                      [](const Machine& m, const uint64_t*) { return int_list(m.ppu.oam.data(), m.ppu.oam.size()); });
}

PyObject* env_debug_bg_pixel(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"_debug_bg_pixel", BG_PIXEL_NAMES, 3, 3};
  return with_lane<3>(self, args, kwargs, sig, [](const Machine& m, const uint64_t* v) -> PyObject* {
    // Coordinates outside the picture would wrap around inside the lookup.
    if (v[1] >= static_cast<uint64_t>(NES_WIDTH)) return raise(value_error("x out of range: " + std::to_string(v[1])));
    if (v[2] >= static_cast<uint64_t>(NES_HEIGHT)) return raise(value_error("y out of range: " + std::to_string(v[2])));
    if (!(m.ppu.mask & MASK_SHOW_BACKGROUND)) return Py_BuildValue("(iO)", m.ppu.palette[0], Py_False);
    const BackgroundPixel pixel = background_pixel(m, static_cast<unsigned>(v[1]), static_cast<unsigned>(v[2]));
    const uint8_t colour = pixel.opaque ? m.ppu.palette[pixel.palette_entry] : m.ppu.palette[0];
    return Py_BuildValue("(iO)", colour, pixel.opaque ? Py_True : Py_False);
  });
}

}  // namespace tt::py
