// _RetroVecEnv(...): argument conversion, validation, worker pool, cartridge,
// state catalog and environment construction, in that order. The first
// failure raises; nothing built before it is kept.
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "driver/game_info.h"
#include "py_api/arg_parse.h"
#include "py_api/errors.h"
#include "py_api/gil.h"
#include "py_api/retro_vec_env.h"

namespace tt::py {

namespace {

enum Param {
  ROM_PATH,
  NUM_ENVS,
  FRAME_SKIP,
  GRAYSCALE,
  FRAME_STACK,
  TERMINATE_ON_FLAG,
  CROP_TOP,
  CROP_BOTTOM,
  RESIZE_WIDTH,
  RESIZE_HEIGHT,
  STATE_CATALOG_DATA,
  STATE_CATALOG_NAMES,
  SEED,
  FRAME_MAXPOOL,
  NOOP_RESET_MAX,
  STICKY_ACTION_PROB,
  CROP_LEFT,
  CROP_RIGHT,
  CROP_MODE,
  CROP_FILL,
  RESIZE_ALGORITHM,
  NUM_THREADS,
  EXTRA_INFO_IDS,
  RENDER_OBSERVATIONS,
  OBS_TYPE,
  END_ON_LIFE_LOSS,
  EPISODIC_LIFE,
  END_ON_LEVEL_END,
  PROGRESS_INFO,
  MAX_EPISODE_STEPS,
  AUTORESET,
  PARAM_COUNT,
};

const char* const PARAM_NAMES[PARAM_COUNT] = {
    "rom_path",
    "num_envs",
    "frame_skip",
    "grayscale",
    "frame_stack",
    "terminate_on_flag",
    "crop_top",
    "crop_bottom",
    "resize_width",
    "resize_height",
    "state_catalog_data",
    "state_catalog_names",
    "seed",
    "frame_maxpool",
    "noop_reset_max",
    "sticky_action_prob",
    "crop_left",
    "crop_right",
    "crop_mode",
    "crop_fill",
    "resize_algorithm",
    "num_threads",
    "extra_info_ids",
    "render_observations",
    "obs_type",
    "end_on_life_loss",
    "episodic_life",
    "end_on_level_end",
    "progress_info",
    "max_episode_steps",
    "autoreset",
};

const Signature SIGNATURE{"_RetroVecEnv", PARAM_NAMES, PARAM_COUNT, 2};

// Every constructor argument after conversion, defaults filled in.
struct Arguments {
  std::string rom_path;
  EnvConfig config;
  std::vector<std::vector<uint8_t>> state_catalog_data;
  std::vector<std::string> state_catalog_names;
  uint64_t seed = 0;
  std::string crop_mode = "remove";
  std::string resize_algorithm = "area";
  std::optional<int64_t> num_threads;
  std::vector<uint8_t> extra_info_ids;
  std::optional<std::string> obs_type;  // None: the picture, gray or colour per `grayscale`
  bool grayscale_given = false;
  std::string autoreset = "off";
};

bool convert_arguments(PyObject* const* given, Arguments& a) {
  auto present = [&](Param p) { return given[p] != nullptr; };
  auto name = [](Param p) { return PARAM_NAMES[p]; };
  EnvConfig& c = a.config;
  // Parameter order: a conversion error of an earlier parameter wins.
  if (!convert_path(given[ROM_PATH], name(ROM_PATH), a.rom_path)) return false;
  if (!convert_u64(given[NUM_ENVS], name(NUM_ENVS), c.num_envs)) return false;
  if (present(FRAME_SKIP) && !convert_u64(given[FRAME_SKIP], name(FRAME_SKIP), c.frame_skip)) return false;
  if (present(GRAYSCALE) && !convert_bool(given[GRAYSCALE], name(GRAYSCALE), c.grayscale)) return false;
  if (present(FRAME_STACK) && !convert_u64(given[FRAME_STACK], name(FRAME_STACK), c.frame_stack)) return false;
  if (present(TERMINATE_ON_FLAG) &&
      !convert_bool(given[TERMINATE_ON_FLAG], name(TERMINATE_ON_FLAG), c.terminate_on_flag))
    return false;
  if (present(CROP_TOP) && !convert_u64(given[CROP_TOP], name(CROP_TOP), c.crop_top)) return false;
  if (present(CROP_BOTTOM) && !convert_u64(given[CROP_BOTTOM], name(CROP_BOTTOM), c.crop_bottom)) return false;
  if (present(RESIZE_WIDTH) && !convert_u64(given[RESIZE_WIDTH], name(RESIZE_WIDTH), c.resize_width)) return false;
  if (present(RESIZE_HEIGHT) && !convert_u64(given[RESIZE_HEIGHT], name(RESIZE_HEIGHT), c.resize_height)) return false;
  if (present(STATE_CATALOG_DATA) &&
      !convert_optional_bytes_list(given[STATE_CATALOG_DATA], name(STATE_CATALOG_DATA), a.state_catalog_data))
    return false;
  if (present(STATE_CATALOG_NAMES) &&
      !convert_optional_str_list(given[STATE_CATALOG_NAMES], name(STATE_CATALOG_NAMES), a.state_catalog_names))
    return false;
  if (present(SEED) && !convert_u64(given[SEED], name(SEED), a.seed)) return false;
  if (present(FRAME_MAXPOOL) && !convert_bool(given[FRAME_MAXPOOL], name(FRAME_MAXPOOL), c.frame_maxpool)) return false;
  if (present(NOOP_RESET_MAX) && !convert_i64(given[NOOP_RESET_MAX], name(NOOP_RESET_MAX), c.noop_reset_max))
    return false;
  if (present(STICKY_ACTION_PROB) &&
      !convert_f64(given[STICKY_ACTION_PROB], name(STICKY_ACTION_PROB), c.sticky_action_prob))
    return false;
  if (present(CROP_LEFT) && !convert_u64(given[CROP_LEFT], name(CROP_LEFT), c.crop_left)) return false;
  if (present(CROP_RIGHT) && !convert_u64(given[CROP_RIGHT], name(CROP_RIGHT), c.crop_right)) return false;
  if (present(CROP_MODE) && !convert_str(given[CROP_MODE], name(CROP_MODE), a.crop_mode)) return false;
  if (present(CROP_FILL) && !convert_u8(given[CROP_FILL], name(CROP_FILL), c.crop_fill)) return false;
  if (present(RESIZE_ALGORITHM) && !convert_str(given[RESIZE_ALGORITHM], name(RESIZE_ALGORITHM), a.resize_algorithm))
    return false;
  if (present(NUM_THREADS) && !convert_optional_i64(given[NUM_THREADS], name(NUM_THREADS), a.num_threads)) return false;
  if (present(EXTRA_INFO_IDS) &&
      !convert_optional_u8_list(given[EXTRA_INFO_IDS], name(EXTRA_INFO_IDS), a.extra_info_ids))
    return false;
  if (present(RENDER_OBSERVATIONS) &&
      !convert_bool(given[RENDER_OBSERVATIONS], name(RENDER_OBSERVATIONS), c.render_observations))
    return false;
  if (present(OBS_TYPE) && given[OBS_TYPE] != Py_None) {
    a.obs_type.emplace();
    if (!convert_str(given[OBS_TYPE], name(OBS_TYPE), *a.obs_type)) return false;
  }
  EpisodeRules& rules = c.episode;
  if (present(END_ON_LIFE_LOSS) &&
      !convert_bool(given[END_ON_LIFE_LOSS], name(END_ON_LIFE_LOSS), rules.end_on_life_loss))
    return false;
  if (present(EPISODIC_LIFE) && !convert_bool(given[EPISODIC_LIFE], name(EPISODIC_LIFE), rules.episodic_life))
    return false;
  if (present(END_ON_LEVEL_END) &&
      !convert_bool(given[END_ON_LEVEL_END], name(END_ON_LEVEL_END), rules.end_on_level_end))
    return false;
  if (present(PROGRESS_INFO) && !convert_bool(given[PROGRESS_INFO], name(PROGRESS_INFO), rules.progress_info))
    return false;
  if (present(MAX_EPISODE_STEPS) && given[MAX_EPISODE_STEPS] != Py_None &&
      !convert_u64(given[MAX_EPISODE_STEPS], name(MAX_EPISODE_STEPS), rules.max_episode_steps))
    return false;
  if (present(AUTORESET) && !convert_str(given[AUTORESET], name(AUTORESET), a.autoreset)) return false;
  rules.progress_info = rules.progress_info || rules.end_on_level_end;
  a.grayscale_given = present(GRAYSCALE);
  return true;
}

MaybeError validate_extra_info_ids(const std::vector<uint8_t>& ids) {
  for (uint8_t id : ids) {
    if (id >= EXTRA_INFO_COUNT || EXTRA_INFO_CATALOGUE[id].id != id) {
      return value_error("extra_info_ids contains an unknown id");
    }
  }
  std::unordered_set<uint8_t> seen;
  for (uint8_t id : ids) {
    if (!seen.insert(id).second) return value_error("extra_info_ids must not contain duplicates");
  }
  return std::nullopt;
}

// The observation type into the configuration: "grayscale" and "rgb" name
// the picture and must not contradict a `grayscale` given with them.
MaybeError apply_obs_type(Arguments& a) {
  if (!a.obs_type) return std::nullopt;
  const auto choice = obs_type_from_name(*a.obs_type);
  if (!choice) return value_error("obs_type must be one of: grayscale, rgb, ram, tiles");
  if (choice->grayscale) {
    if (a.grayscale_given && a.config.grayscale != *choice->grayscale) {
      return value_error("obs_type '" + *a.obs_type +
                         "' contradicts grayscale=" + (a.config.grayscale ? "True" : "False"));
    }
    a.config.grayscale = *choice->grayscale;
  }
  a.config.obs_type = choice->type;
  return std::nullopt;
}

// The value rules, in order; fills the enumerations of the configuration.
MaybeError validate(Arguments& a) {
  // The observation type first settles the sizes the configuration rules check;
  // its own errors are reported after theirs.
  const MaybeError obs_type_error = apply_obs_type(a);
  if (auto error = validate_env_config(a.config)) return to_error(*error);
  if (a.num_threads.has_value() && *a.num_threads < 1) return value_error("num_threads must be > 0");
  const auto crop_mode = crop_mode_from_name(a.crop_mode);
  if (!crop_mode) return value_error("crop_mode must be 'remove' or 'mask'");
  a.config.crop_mode = *crop_mode;
  const auto algorithm = resize_algorithm_from_name(a.resize_algorithm);
  if (!algorithm) return value_error("resize_algorithm must be one of: nearest, bilinear, area");
  a.config.resize_algorithm = *algorithm;
  if (auto error = validate_extra_info_ids(a.extra_info_ids)) return error;
  const auto autoreset = autoreset_from_name(a.autoreset);
  if (!autoreset) return value_error("autoreset must be one of: off, next_step, same_step");
  a.config.episode.autoreset = *autoreset;
  return obs_type_error;
}

// Pool, cartridge, catalog and environment.
EnvResult<std::unique_ptr<ZuboVecEnv>> build_environment(Arguments& a) {
  auto pool = resolve_worker_pool(a.num_threads, a.config.num_envs);
  if (auto* error = std::get_if<EnvError>(&pool)) return *error;

  // Unlocked: reading a pipe may wait on a writer that is a thread of this process.
  CartridgeResult loaded = without_gil([&] { return load_cartridge(a.rom_path); });
  if (auto* error = std::get_if<CartridgeError>(&loaded)) return tt::runtime_error(error->message);
  auto cartridge = std::make_shared<const Cartridge>(std::move(std::get<Cartridge>(loaded)));

  std::vector<StateCatalogEntry> catalog;
  if (auto error = build_state_catalog(std::move(a.state_catalog_data), std::move(a.state_catalog_names), catalog)) {
    return *error;
  }
  return ZuboVecEnv::create(std::move(cartridge), a.config, std::move(catalog), a.seed, std::move(a.extra_info_ids),
                            std::move(std::get<PoolChoice>(pool)));
}

}  // namespace

PyObject* env_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* given[PARAM_COUNT];
  if (!bind_arguments(SIGNATURE, args, kwargs, given)) return nullptr;
  Arguments arguments;
  if (!convert_arguments(given, arguments)) return nullptr;
  if (auto error = validate(arguments)) return raise(*error);

  auto built = build_environment(arguments);
  if (auto* error = std::get_if<EnvError>(&built)) return raise(*error);

  auto& env = std::get<std::unique_ptr<ZuboVecEnv>>(built);
  std::vector<uint8_t> step_inputs;
  try {
    step_inputs.resize(2 * env->num_envs());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  RetroVecEnvObject* object = as_env_object(self);
  new (&object->holds) HoldCounter{};
  new (&object->env) std::unique_ptr<ZuboVecEnv>(std::move(env));
  new (&object->step_inputs) std::vector<uint8_t>(std::move(step_inputs));
  new (&object->bound) StepBuffers{};
  new (&object->bound_arrays) std::vector<ArrayArg>();
  new (&object->bound_refs) std::vector<PyObject*>();
  return self;
}

}  // namespace tt::py
