// _RetroVecEnv methods that read and write caller arrays. Each one binds its
// arguments, takes its hold, converts the arrays (type, element type,
// dimensions, writeability, overlap), runs every check in a fixed order and
// only then releases the interpreter lock for the environment operation.
#include <string>

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
  out.x_pos = arrays[0].as<uint16_t>();
  out.coins = arrays[1].as<uint8_t>();
  out.level_hi = arrays[2].as<int16_t>();
  out.level_lo = arrays[3].as<int16_t>();
  out.lives = arrays[4].as<int16_t>();
  out.score = arrays[5].as<uint32_t>();
  out.scrolling = arrays[6].as<int16_t>();
  out.time = arrays[7].as<uint16_t>();
  out.xscroll_hi = arrays[8].as<uint8_t>();
  out.xscroll_lo = arrays[9].as<uint8_t>();
  return out;
}

constexpr ArraySpec INFO_SPECS[] = {
    {"x_pos", ElementType::U16, 1, Access::Write},      {"coins", ElementType::U8, 1, Access::Write},
    {"level_hi", ElementType::I16, 1, Access::Write},   {"level_lo", ElementType::I16, 1, Access::Write},
    {"lives", ElementType::I16, 1, Access::Write},      {"score", ElementType::U32, 1, Access::Write},
    {"scrolling", ElementType::I16, 1, Access::Write},  {"time", ElementType::U16, 1, Access::Write},
    {"xscroll_hi", ElementType::U8, 1, Access::Write},  {"xscroll_lo", ElementType::U8, 1, Access::Write},
};

constexpr ArraySpec STEP_SPECS[] = {
    {"actions", ElementType::U8, 1, Access::Read},      {"obs", ElementType::U8, 4, Access::Write},
    {"rewards", ElementType::F32, 1, Access::Write},    {"terminated", ElementType::Bool, 1, Access::Write},
    {"truncated", ElementType::Bool, 1, Access::Write}, {"x_pos", ElementType::U16, 1, Access::Write},
    {"coins", ElementType::U8, 1, Access::Write},       {"level_hi", ElementType::I16, 1, Access::Write},
    {"level_lo", ElementType::I16, 1, Access::Write},   {"lives", ElementType::I16, 1, Access::Write},
    {"score", ElementType::U32, 1, Access::Write},      {"scrolling", ElementType::I16, 1, Access::Write},
    {"time", ElementType::U16, 1, Access::Write},       {"xscroll_hi", ElementType::U8, 1, Access::Write},
    {"xscroll_lo", ElementType::U8, 1, Access::Write},
};

constexpr ArraySpec OBS_SPEC[] = {{"obs", ElementType::U8, 4, Access::Write}};
constexpr ArraySpec RAM_SPEC[] = {{"output", ElementType::U8, 2, Access::Write}};
constexpr ArraySpec EXTRA_INFO_SPEC[] = {{"output", ElementType::I64, 2, Access::Write}};
constexpr ArraySpec FRAMES_SPEC[] = {{"frames", ElementType::U8, 4, Access::Write}};
constexpr ArraySpec RESET_MASKED_SPECS[] = {
    {"obs", ElementType::U8, 4, Access::Write},
    {"reset_mask", ElementType::Bool, 1, Access::Read},
    {"state_indices", ElementType::I32, 1, Access::Read},
};
const char* const RESET_MASKED_NAMES[] = {"obs", "reset_mask", "state_indices", "seeds"};

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
  return single_array_call(self, args, kwargs, "extra_info_into", EXTRA_INFO_SPEC, HoldKind::Shared,
                           [](ZuboVecEnv& env, const ArrayArg& out) -> PyObject* {
                             if (auto e = first_error(
                                     [&] {
                                       return check_shape(out, "extra info output",
                                                          {env.num_envs(), env.extra_info_width()});
                                     },
                                     [&] { return check_contiguous(out, "extra info output"); })) {
                               return raise(*e);
                             }
                             const ZuboVecEnv& reader = env;
                             return finish(without_gil([&] { return reader.extra_info_into(out.as<int64_t>()); }));
                           });
}

PyObject* env_ram_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  return single_array_call(self, args, kwargs, "ram_into", RAM_SPEC, HoldKind::Shared,
                           [](ZuboVecEnv& env, const ArrayArg& out) -> PyObject* {
                             if (auto e = first_error(
                                     [&] { return check_shape(out, "RAM output", {env.num_envs(), 2048}); },
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
  static const Signature sig{"reset_masked_into", RESET_MASKED_NAMES, 4, 4};
  PyObject* given[4];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayCall<3> call;
  if (!convert_arrays(RESET_MASKED_SPECS, given, call)) return nullptr;
  std::vector<std::optional<uint64_t>> seeds;
  if (!convert_seed_list(given[3], "seeds", seeds)) return nullptr;

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
      [&] { return env.reset_masked(obs.as<uint8_t>(), mask_copy.data(), indices_copy.data(), seeds); }));
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

PyObject* env_step_into(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const Names<15> names(STEP_SPECS);
  static const Signature sig{"step_into", names.names, 15, 15};
  PyObject* given[15];
  if (!bind_arguments(sig, args, kwargs, given)) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  Hold hold(object->holds, HoldKind::Exclusive);
  if (!hold.ok()) return nullptr;
  ArrayCall<15> call;
  if (!convert_arrays(STEP_SPECS, given, call)) return nullptr;

  ZuboVecEnv& env = *object->env;
  const ArrayArg* a = call.arrays;
  if (env.any_pending_reset()) return raise(runtime_error(PENDING_RESET_MESSAGE));
  if (auto e = first_error(
          [&] { return check_obs_shape(a[1], env); },
          [&] { return check_lengths(a, {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, env.num_envs()); },
          [&] { return check_contiguity(a, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}); })) {
    return raise(*e);
  }
  // Actions are read from a copy (see copy_elements).
  const std::vector<uint8_t> actions = copy_elements<uint8_t>(a[0]);
  StepBuffers b;
  b.actions = actions.data();
  b.obs = a[1].as<uint8_t>();
  b.rewards = a[2].as<float>();
  b.terminated = a[3].as<uint8_t>();
  b.truncated = a[4].as<uint8_t>();
  b.info = info_buffers(a + 5);
  return finish(without_gil([&] { return env.step(b); }));
}

}  // namespace tt::py
