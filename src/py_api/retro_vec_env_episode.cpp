// _RetroVecEnv's episode calls: bind_outputs names once the arrays every
// later step writes (the observation, rewards, flags, game values, extra
// info, progress signals and, for resets in the same step, the ended
// episodes' last values); step then takes only the actions. Also the start
// states of the engine's own resets, marking lanes as ended, and the step
// limit.
#include <cstring>
#include <string>

#include "py_api/arg_parse.h"
#include "py_api/array_call.h"
#include "py_api/array_checks.h"
#include "py_api/errors.h"
#include "py_api/gil.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

namespace {

template <class T>
constexpr ElementType element_type_of() {
  if constexpr (std::is_same_v<T, int16_t>) return ElementType::I16;
  if constexpr (std::is_same_v<T, uint16_t>) return ElementType::U16;
  if constexpr (std::is_same_v<T, uint32_t>) return ElementType::U32;
  return ElementType::U8;
}

#define TT_VALUE_SPEC(NAME, VALUE_TYPE, ARRAY_TYPE, ...) {#NAME, element_type_of<ARRAY_TYPE>(), 1, Access::Write},
constexpr ArraySpec INFO_SPECS[] = {TT_GAME_VALUES(TT_VALUE_SPEC)};
#undef TT_VALUE_SPEC
constexpr size_t INFO_COUNT = sizeof(INFO_SPECS) / sizeof(INFO_SPECS[0]);

// bind_outputs' parameters: four arrays, the ten game values, then the optional ones.
enum BindParam : size_t {
  OBS = 0,
  REWARDS,
  TERMINATED,
  TRUNCATED,
  INFO_FIRST,
  EXTRA = INFO_FIRST + INFO_COUNT,
  LEVEL_END,
  DYING,
  FINAL_OBS,
  FINAL_INFO,
  FINAL_EXTRA,
  FINAL_LEVEL_END,
  FINAL_DYING,
  BIND_COUNT,
};

struct BindNames {
  const char* names[BIND_COUNT];
  BindNames() {
    names[OBS] = "obs";
    names[REWARDS] = "rewards";
    names[TERMINATED] = "terminated";
    names[TRUNCATED] = "truncated";
    for (size_t i = 0; i < INFO_COUNT; ++i) names[INFO_FIRST + i] = INFO_SPECS[i].name;
    names[EXTRA] = "extra_info";
    names[LEVEL_END] = "level_end";
    names[DYING] = "dying";
    names[FINAL_OBS] = "final_obs";
    names[FINAL_INFO] = "final_info";
    names[FINAL_EXTRA] = "final_extra_info";
    names[FINAL_LEVEL_END] = "final_level_end";
    names[FINAL_DYING] = "final_dying";
  }
};

bool present(PyObject* obj) { return obj != nullptr && obj != Py_None; }

// One bound array: converted and checked now, held again by every step.
bool bind_one(PyObject* obj, const char* name, ElementType type, int ndim, ArrayHolds& holds,
              std::vector<ArrayArg>& out) {
  ArrayArg arg;
  if (!convert_array(obj, name, type, ndim, Access::Write, holds, arg)) return false;
  out.push_back(arg);
  return true;
}

MaybeError check_bound(const ArrayArg& arg, const ZuboVecEnv& env) {
  const size_t n = env.num_envs();
  const std::string name = arg.name;
  MaybeError e;
  if (arg.ndim == 4) {
    e = check_obs_shape(arg, env);
  } else if (arg.ndim == 2) {
    e = check_shape(arg, arg.name, {n, env.extra_info_width()});
  } else {
    e = check_length(arg, n);
  }
  return e ? e : check_contiguous(arg);
}

}  // namespace

void env_release_bound_outputs(RetroVecEnvObject* object) {
  for (PyObject* ref : object->bound_refs) Py_DECREF(ref);
  object->bound_refs.clear();
  object->bound_arrays.clear();
  object->bound = StepBuffers{};
  object->has_bound = false;
}

PyObject* env_bind_outputs(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const BindNames names;
  static const Signature sig{"bind_outputs", names.names, BIND_COUNT, EXTRA};
  PyObject* given[BIND_COUNT] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  const ZuboVecEnv& env = *object->env;

  // Every array is converted in one call's holds, so that no two share memory.
  ArrayHolds holds;
  std::vector<ArrayArg> arrays;
  std::vector<PyObject*> objects;
  auto add = [&](size_t param, ElementType type, int ndim) {
    objects.push_back(given[param]);
    return bind_one(given[param], names.names[param], type, ndim, holds, arrays);
  };
  if (!add(OBS, ElementType::U8, 4) || !add(REWARDS, ElementType::F32, 1) || !add(TERMINATED, ElementType::Bool, 1) ||
      !add(TRUNCATED, ElementType::Bool, 1)) {
    return nullptr;
  }
  for (size_t i = 0; i < INFO_COUNT; ++i) {
    if (!add(INFO_FIRST + i, INFO_SPECS[i].type, 1)) return nullptr;
  }
  StepBuffers b;
  auto optional = [&](size_t param, ElementType type, int ndim, auto assign) {
    if (!present(given[param])) return true;
    if (!add(param, type, ndim)) return false;
    assign(arrays.back());
    return true;
  };
  PyObject* final_info_items[INFO_COUNT] = {};
  const bool has_final_info = present(given[FINAL_INFO]);
  if (has_final_info) {
    if (!PySequence_Check(given[FINAL_INFO]) ||
        PySequence_Size(given[FINAL_INFO]) != static_cast<Py_ssize_t>(INFO_COUNT)) {
      PyErr_Clear();
      return raise(value_error("final_info must be a sequence of the ten game value arrays"));
    }
  }
  bool ok = optional(EXTRA, ElementType::I64, 2, [&](const ArrayArg& a) { b.extra = a.as<int64_t>(); }) &&
            optional(LEVEL_END, ElementType::Bool, 1, [&](const ArrayArg& a) { b.level_end = a.as<uint8_t>(); }) &&
            optional(DYING, ElementType::Bool, 1, [&](const ArrayArg& a) { b.dying = a.as<uint8_t>(); }) &&
            optional(FINAL_OBS, ElementType::U8, 4, [&](const ArrayArg& a) { b.final.obs = a.as<uint8_t>(); });
  if (!ok) return nullptr;
  const size_t final_info_first = arrays.size();
  if (has_final_info) {
    for (size_t i = 0; i < INFO_COUNT; ++i) {
      final_info_items[i] = PySequence_GetItem(given[FINAL_INFO], static_cast<Py_ssize_t>(i));
      if (final_info_items[i] == nullptr) {
        for (size_t k = 0; k < i; ++k) Py_DECREF(final_info_items[k]);
        return nullptr;
      }
    }
    for (size_t i = 0; i < INFO_COUNT && ok; ++i) {
      objects.push_back(final_info_items[i]);
      ok = bind_one(final_info_items[i], INFO_SPECS[i].name, INFO_SPECS[i].type, 1, holds, arrays);
    }
    for (size_t i = 0; i < INFO_COUNT; ++i) Py_DECREF(final_info_items[i]);  // `objects` is re-referenced below
    if (!ok) return nullptr;
  }
  ok = optional(FINAL_EXTRA, ElementType::I64, 2, [&](const ArrayArg& a) { b.final.values.extra = a.as<int64_t>(); }) &&
       optional(FINAL_LEVEL_END, ElementType::Bool, 1,
                [&](const ArrayArg& a) { b.final.values.level_end = a.as<uint8_t>(); }) &&
       optional(FINAL_DYING, ElementType::Bool, 1, [&](const ArrayArg& a) { b.final.values.dying = a.as<uint8_t>(); });
  if (!ok) return nullptr;
  for (const ArrayArg& arg : arrays) {
    if (auto e = check_bound(arg, env)) return raise(*e);
  }

  b.obs = arrays[0].as<uint8_t>();
  b.rewards = arrays[1].as<float>();
  b.terminated = arrays[2].as<uint8_t>();
  b.truncated = arrays[3].as<uint8_t>();
  size_t i = 4;
#define TT_BIND_INFO(NAME, VALUE_TYPE, ARRAY_TYPE, ...) b.info.NAME = arrays[i++].as<ARRAY_TYPE>();
  TT_GAME_VALUES(TT_BIND_INFO)
#undef TT_BIND_INFO
  if (has_final_info) {
    size_t k = final_info_first;
#define TT_BIND_FINAL(NAME, VALUE_TYPE, ARRAY_TYPE, ...) b.final.values.info.NAME = arrays[k++].as<ARRAY_TYPE>();
    TT_GAME_VALUES(TT_BIND_FINAL)
#undef TT_BIND_FINAL
  }
  env_release_bound_outputs(object);
  for (PyObject* obj : objects) Py_INCREF(obj);
  object->bound_refs = std::move(objects);
  object->bound_arrays = std::move(arrays);
  object->bound = b;
  object->has_bound = true;
  Py_RETURN_NONE;
}

namespace {

const char* const STEP_NAMES[] = {"actions", "step_mask", "obs_copy"};

// Holds the bound arrays for one call; false with an exception set when one
// is in use by another call.
bool hold_bound(const RetroVecEnvObject* object, ArrayHolds& holds) {
  if (!object->has_bound) {
    PyErr_SetString(PyExc_RuntimeError, "no output arrays are bound; call bind_outputs() first");
    return false;
  }
  for (const ArrayArg& arg : object->bound_arrays) {
    if (!holds.hold(arg)) return false;
  }
  return true;
}

}  // namespace

PyObject* env_step(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"step", STEP_NAMES, 3, 1};
  PyObject* given[3] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayHolds holds;
  if (!hold_bound(object, holds)) return nullptr;
  ArrayArg actions, mask, copy;
  const bool has_mask = present(given[1]), has_copy = present(given[2]);
  if (!convert_array(given[0], "actions", ElementType::U8, 1, Access::Read, holds, actions) ||
      (has_mask && !convert_array(given[1], "step_mask", ElementType::Bool, 1, Access::Read, holds, mask)) ||
      (has_copy && !convert_array(given[2], "obs_copy", ElementType::U8, 4, Access::Write, holds, copy))) {
    return nullptr;
  }
  ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  if (env.any_pending_reset() && env.config().episode.autoreset == Autoreset::Off) {
    return raise(runtime_error(PENDING_RESET_MESSAGE));
  }
  if (auto e = first_error(
          [&] { return check_length(actions, n); }, [&] { return has_mask ? check_length(mask, n) : std::nullopt; },
          [&] { return has_copy ? check_obs_shape(copy, env) : std::nullopt; },
          [&] { return check_contiguous(actions); }, [&] { return has_mask ? check_contiguous(mask) : std::nullopt; },
          [&] { return has_copy ? check_contiguous(copy) : std::nullopt; })) {
    return raise(*e);
  }
  uint8_t* const inputs = object->step_inputs.data();
  std::memcpy(inputs, actions.as<const uint8_t>(), n);
  StepBuffers b = object->bound;
  b.actions = inputs;
  if (has_mask) {
    std::memcpy(inputs + n, mask.as<const uint8_t>(), n);
    b.step_mask = inputs + n;
  }
  if (has_copy) b.obs_copy = copy.as<uint8_t>();
  return finish(without_gil([&] { return env.step(b); }));
}

PyObject* env_values_into_bound(PyObject* self, PyObject*) {
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayHolds holds;
  if (!hold_bound(object, holds)) return nullptr;
  const StepBuffers& b = object->bound;
  object->env->values_into(ValueBuffers{b.info, b.extra, b.level_end, b.dying});
  Py_RETURN_NONE;
}

namespace {

const char* const START_NAMES[] = {"state_indices", "random"};
const char* const MARK_NAMES[] = {"mask"};
const char* const LIMIT_NAMES[] = {"steps"};

}  // namespace

PyObject* env_set_start_states(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"set_start_states", START_NAMES, 2, 2};
  PyObject* given[2] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayHolds holds;
  ArrayArg indices, random;
  if (!convert_array(given[0], "state_indices", ElementType::I32, 1, Access::Read, holds, indices) ||
      !convert_array(given[1], "random", ElementType::Bool, 1, Access::Read, holds, random)) {
    return nullptr;
  }
  ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  if (auto e = first_error([&] { return check_length(indices, n); }, [&] { return check_length(random, n); },
                           [&] { return check_contiguous(indices); }, [&] { return check_contiguous(random); })) {
    return raise(*e);
  }
  const std::vector<int32_t> index_copy = copy_elements<int32_t>(indices);
  const std::vector<uint8_t> random_copy = copy_elements<uint8_t>(random);
  return finish(env.set_start_states(index_copy.data(), random_copy.data()));
}

PyObject* env_mark_ended(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"mark_ended", MARK_NAMES, 1, 1};
  PyObject* given[1] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayHolds holds;
  ArrayArg mask;
  if (!convert_array(given[0], "mask", ElementType::Bool, 1, Access::Read, holds, mask)) return nullptr;
  ZuboVecEnv& env = *object->env;
  if (auto e =
          first_error([&] { return check_length(mask, env.num_envs()); }, [&] { return check_contiguous(mask); })) {
    return raise(*e);
  }
  const std::vector<uint8_t> copy = copy_elements<uint8_t>(mask);
  return finish(env.mark_ended(copy.data()));
}

PyObject* env_set_max_episode_steps(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"set_max_episode_steps", LIMIT_NAMES, 1, 1};
  PyObject* given[1] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  uint64_t steps = 0;
  if (given[0] != Py_None && !convert_u64(given[0], "steps", steps)) return nullptr;
  object->env->set_max_episode_steps(steps);
  Py_RETURN_NONE;
}

}  // namespace tt::py
