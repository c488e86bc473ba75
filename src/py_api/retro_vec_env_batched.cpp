// _RetroVecEnv methods that read and write caller arrays. Each one binds its
// arguments, takes its hold, converts the arrays (type, element type,
// dimensions, writeability, overlap), runs every check in a fixed order and
// only then releases the interpreter lock for the environment operation.
#include <cstring>
#include <string>
#include <type_traits>

#include "py_api/arg_parse.h"
#include "py_api/array_call.h"
#include "py_api/array_checks.h"
#include "py_api/errors.h"
#include "py_api/gil.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

namespace {

template <size_t N>
struct Names {
  const char* names[N];
  explicit Names(const ArraySpec (&specs)[N]) {
    for (size_t i = 0; i < N; ++i) names[i] = specs[i].name;
  }
};

MaybeError check_lengths(const ArrayArg* arrays, std::initializer_list<size_t> which, size_t n) {
  for (size_t i : which) {
    if (auto e = check_length(arrays[i], n)) return e;
  }
  return std::nullopt;
}

MaybeError check_contiguity(const ArrayArg* arrays, std::initializer_list<size_t> which) {
  for (size_t i : which) {
    if (auto e = check_contiguous(arrays[i])) return e;
  }
  return std::nullopt;
}

// The ten game info arrays, checked and in info_into order, from `arrays`.
InfoBuffers info_buffers(const ArrayArg* arrays) {
  InfoBuffers out;
  size_t i = 0;
#define TT_INFO_ARRAY(NAME, VALUE_TYPE, ARRAY_TYPE, ...) out.NAME = arrays[i++].as<ARRAY_TYPE>();
  TT_GAME_VALUES(TT_INFO_ARRAY)
#undef TT_INFO_ARRAY
  return out;
}

template <class T>
constexpr ElementType element_type_of() {
  if constexpr (std::is_same_v<T, uint8_t>) return ElementType::U8;
  if constexpr (std::is_same_v<T, int16_t>) return ElementType::I16;
  if constexpr (std::is_same_v<T, uint16_t>) return ElementType::U16;
  if constexpr (std::is_same_v<T, uint32_t>) return ElementType::U32;
  static_assert(std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> || std::is_same_v<T, uint16_t> ||
                    std::is_same_v<T, uint32_t>,
                "no array element type for this game value");
}

#define TT_INFO_SPEC(NAME, VALUE_TYPE, ARRAY_TYPE, ...) {#NAME, element_type_of<ARRAY_TYPE>(), 1, Access::Write},

constexpr ArraySpec INFO_SPECS[] = {TT_GAME_VALUES(TT_INFO_SPEC)};

constexpr ArraySpec STEP_SPECS[] = {
    {"actions", ElementType::U8, 1, Access::Read},      {"obs", ElementType::U8, 4, Access::Write},
    {"rewards", ElementType::F32, 1, Access::Write},    {"terminated", ElementType::Bool, 1, Access::Write},
    {"truncated", ElementType::Bool, 1, Access::Write}, TT_GAME_VALUES(TT_INFO_SPEC)};

#undef TT_INFO_SPEC

constexpr ArraySpec OBS_SPEC[] = {{"obs", ElementType::U8, 4, Access::Write}};
constexpr ArraySpec RAM_SPEC[] = {{"output", ElementType::U8, 2, Access::Write}};
constexpr ArraySpec EXTRA_INFO_SPEC[] = {{"output", ElementType::I64, 2, Access::Write}};
constexpr ArraySpec FRAMES_SPEC[] = {{"frames", ElementType::U8, 4, Access::Write}};
constexpr ArraySpec RESET_MASKED_SPECS[] = {
    {"obs", ElementType::U8, 4, Access::Write},
    {"reset_mask", ElementType::Bool, 1, Access::Read},
    {"state_indices", ElementType::I32, 1, Access::Read},
};
const char* const RESET_MASKED_NAMES[] = {"obs", "reset_mask", "state_indices", "seeds", "go_on"};

// Common start of the single-array methods: bind, hold, convert.
template <class F>
PyObject* single_array_call(PyObject* self, PyObject* args, PyObject* kwargs, const char* function,
                            const ArraySpec (&arrays)[1], HoldKind kind, F&& body) {
  const Signature sig{function, &arrays[0].name, 1, 1};
  PyObject* given[1];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, kind);
  if (!hold.ok()) return nullptr;
  ArrayCall<1> call;
  if (!convert_arrays(arrays, given, call)) return nullptr;
  return body(*object->env, call.arrays[0]);
}

}  // namespace

PyObject* env_extra_info_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  return single_array_call(
      self, args, kwargs, "extra_info_into", EXTRA_INFO_SPEC, HoldKind::Shared,
      [](ZuboVecEnv& env, const ArrayArg& out) -> PyObject* {
        if (auto e = first_error(
                [&] { return check_shape(out, "extra info output", {env.num_envs(), env.extra_info_width()}); },
                [&] { return check_contiguous(out, "extra info output"); })) {
          return raise(*e);
        }
        const ZuboVecEnv& reader = env;
        return finish(without_gil([&] { return reader.extra_info_into(out.as<int64_t>()); }));
      });
}

PyObject* env_ram_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  return single_array_call(
      self, args, kwargs, "ram_into", RAM_SPEC, HoldKind::Shared,
      [](ZuboVecEnv& env, const ArrayArg& out) -> PyObject* {
        if (auto e = first_error([&] { return check_shape(out, "RAM output", {env.num_envs(), 2048}); },
                                 [&] { return check_contiguous(out, "RAM output"); })) {
          return raise(*e);
        }
        const ZuboVecEnv& reader = env;
        without_gil([&] {
          reader.ram_into(out.as<uint8_t>());
          return 0;
        });
        Py_RETURN_NONE;
      });
}

PyObject* env_rgb_frames_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  return single_array_call(
      self, args, kwargs, "rgb_frames_into", FRAMES_SPEC, HoldKind::Exclusive,
      [](ZuboVecEnv& env, const ArrayArg& frames) -> PyObject* {
        if (auto e = first_error(
                [&] {
                  return check_shape(frames, "frames", {env.num_envs(), VISIBLE_FRAME_HEIGHT, VISIBLE_FRAME_WIDTH, 3});
                },
                [&] { return check_contiguous(frames, "frames"); })) {
          return raise(*e);
        }
        without_gil([&] {
          env.rgb_frames_into(frames.as<uint8_t>());
          return 0;
        });
        Py_RETURN_NONE;
      });
}

PyObject* env_reset_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  return single_array_call(self, args, kwargs, "reset_into", OBS_SPEC, HoldKind::Exclusive,
                           [](ZuboVecEnv& env, const ArrayArg& obs) -> PyObject* {
                             if (auto e = first_error([&] { return check_obs_shape(obs, env); },
                                                      [&] { return check_contiguous(obs, "obs"); })) {
                               return raise(*e);
                             }
                             return finish(without_gil([&] { return env.reset_all(obs.as<uint8_t>()); }));
                           });
}

PyObject* env_reset_masked_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Signature sig{"reset_masked_into", RESET_MASKED_NAMES, 5, 4};
  PyObject* given[5] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayCall<3> call;
  if (!convert_arrays(RESET_MASKED_SPECS, given, call)) return nullptr;
  std::vector<std::optional<uint64_t>> seeds;
  if (!convert_seed_list(given[3], "seeds", seeds)) return nullptr;
  bool go_on = false;
  if (given[4] != nullptr && given[4] != Py_None && !convert_bool(given[4], "go_on", go_on)) return nullptr;

  ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  const ArrayArg& obs = call.arrays[0];
  const ArrayArg& mask = call.arrays[1];
  const ArrayArg& indices = call.arrays[2];
  auto seeds_length = [&]() -> MaybeError {
    if (seeds.size() == n) return std::nullopt;
    return value_error("seeds length must be " + std::to_string(n) + ", got " + std::to_string(seeds.size()));
  };
  if (auto e = first_error([&] { return check_obs_shape(obs, env); }, [&] { return check_length(mask, n); },
                           [&] { return check_length(indices, n); }, seeds_length,
                           [&] { return check_contiguous(mask); }, [&] { return check_contiguous(indices); })) {
    return raise(*e);
  }
  // The request is checked and carried out on copies (see copy_elements).
  const std::vector<uint8_t> mask_copy = copy_elements<uint8_t>(mask);
  const std::vector<int32_t> indices_copy = copy_elements<int32_t>(indices);
  auto request = [&]() -> MaybeError {
    if (auto status = env.check_reset_request(mask_copy.data(), indices_copy.data())) return to_error(*status);
    return std::nullopt;
  };
  if (auto e = first_error(request, [&] { return check_contiguous(obs); })) return raise(*e);
  return finish(without_gil(
      [&] { return env.reset_masked(obs.as<uint8_t>(), mask_copy.data(), indices_copy.data(), seeds, go_on); }));
}

PyObject* env_info_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Names<10> names(INFO_SPECS);
  static const Signature sig{"info_into", names.names, 10, 10};
  PyObject* given[10];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  ArrayCall<10> call;
  if (!convert_arrays(INFO_SPECS, given, call)) return nullptr;

  const ZuboVecEnv& env = *object->env;
  const ArrayArg* a = call.arrays;
  if (auto e = first_error([&] { return check_lengths(a, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, env.num_envs()); },
                           [&] { return check_contiguity(a, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}); })) {
    return raise(*e);
  }
  const InfoBuffers out = info_buffers(a);
  without_gil([&] {
    env.info_into(out);
    return 0;
  });
  Py_RETURN_NONE;
}

namespace {

constexpr size_t STEP_ARGUMENTS = sizeof(STEP_SPECS) / sizeof(STEP_SPECS[0]);

// step_into's parameters followed by step_masked_into's two optional ones.
struct MaskedStepNames {
  const char* names[STEP_ARGUMENTS + 2];
  MaskedStepNames() {
    for (size_t i = 0; i < STEP_ARGUMENTS; ++i) names[i] = STEP_SPECS[i].name;
    names[STEP_ARGUMENTS] = "step_mask";
    names[STEP_ARGUMENTS + 1] = "obs_copy";
  }
};

// Converts an optional array argument: absent or None leaves `present` false.
bool convert_optional_array(PyObject* obj, const char* name, ElementType type, int ndim, Access access,
                            ArrayHolds& holds, ArrayArg& out, bool& present) {
  present = obj != nullptr && obj != Py_None;
  return !present || convert_array(obj, name, type, ndim, access, holds, out);
}

// The body of step_into and step_masked_into. With `masked`, given[15] is the
// optional step mask (bool, N) and given[16] the optional observation copy
// (uint8, obs's shape); their checks follow the matching checks of the
// fifteen step arguments: the copy's shape after obs's, the mask's length
// after the others, the mask's and the copy's contiguity last.
PyObject* step_call(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig, bool masked) {
  PyObject* given[STEP_ARGUMENTS + 2] = {};
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayCall<STEP_ARGUMENTS> call;
  if (!convert_arrays(STEP_SPECS, given, call)) return nullptr;
  ArrayArg mask, copy;
  bool has_mask = false, has_copy = false;
  if (masked && (!convert_optional_array(given[STEP_ARGUMENTS], "step_mask", ElementType::Bool, 1, Access::Read,
                                         call.holds, mask, has_mask) ||
                 !convert_optional_array(given[STEP_ARGUMENTS + 1], "obs_copy", ElementType::U8, 4, Access::Write,
                                         call.holds, copy, has_copy))) {
    return nullptr;
  }

  ZuboVecEnv& env = *object->env;
  const size_t n = env.num_envs();
  const ArrayArg* a = call.arrays;
  if (env.any_pending_reset() && env.config().episode.autoreset == Autoreset::Off) {
    return raise(runtime_error(PENDING_RESET_MESSAGE));
  }
  auto copy_shape = [&]() -> MaybeError {
    if (!has_copy) return std::nullopt;
    const auto s = env.obs_shape();
    return check_shape(copy, "obs_copy", {s[0], s[1], s[2], s[3]});
  };
  if (auto e = first_error([&] { return check_obs_shape(a[1], env); }, copy_shape,
                           [&] { return check_lengths(a, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, n); },
                           [&] { return has_mask ? check_length(mask, n) : std::nullopt; },
                           [&] { return check_contiguity(a, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}); },
                           [&] { return has_mask ? check_contiguous(mask) : std::nullopt; },
                           [&] { return has_copy ? check_contiguous(copy) : std::nullopt; })) {
    return raise(*e);
  }
  // Actions and the step mask are read from copies (see copy_elements), kept
  // in the object so that a step allocates nothing.
  uint8_t* const inputs = object->step_inputs.data();
  std::memcpy(inputs, a[0].as<const uint8_t>(), n);
  StepBuffers b;
  b.actions = inputs;
  b.obs = a[1].as<uint8_t>();
  b.rewards = a[2].as<float>();
  b.terminated = a[3].as<uint8_t>();
  b.truncated = a[4].as<uint8_t>();
  b.info = info_buffers(a + 5);
  if (has_mask) {
    std::memcpy(inputs + n, mask.as<const uint8_t>(), n);
    b.step_mask = inputs + n;
  }
  if (has_copy) b.obs_copy = copy.as<uint8_t>();
  return finish(without_gil([&] { return env.step(b); }));
}

}  // namespace

PyObject* env_step_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Names<STEP_ARGUMENTS> names(STEP_SPECS);
  static const Signature sig{"step_into", names.names, STEP_ARGUMENTS, STEP_ARGUMENTS};
  return step_call(self, args, kwargs, sig, false);
}

PyObject* env_step_masked_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const MaskedStepNames names;
  static const Signature sig{"step_masked_into", names.names, STEP_ARGUMENTS + 2, STEP_ARGUMENTS};
  return step_call(self, args, kwargs, sig, true);
}

}  // namespace tt::py
