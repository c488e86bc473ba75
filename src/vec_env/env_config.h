// Environment configuration and the sizes derived from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/console.h"
#include "vec_env/env_error.h"

namespace tt {

enum class CropMode : uint8_t { Remove = 0, Mask = 1 };
enum class ResizeAlgorithm : uint8_t { Area = 0, Nearest = 1, Bilinear = 2 };
/// What an observation slot holds: the picture (gray or colour, per
/// `grayscale`), the lane's work RAM, or its tile view (core/tile_view.h).
enum class ObsType : uint8_t { Picture = 0, Ram = 1, Tiles = 2 };

/// Largest `frame_skip` and `noop_reset_max`: one minute of play at 60 frames a
/// second. A step or reset runs with the interpreter lock released and cannot
/// be interrupted, so every count of frames one call runs has a bound.
inline constexpr uint64_t MAX_FRAME_SKIP = 3600;
inline constexpr int64_t MAX_NOOP_RESET_FRAMES = 3600;

/// What a step does with a lane whose episode has ended: refuse to step
/// until it was reset (Off), reset it on its next step and report that
/// step as the first of the new episode (NextStep), or reset it in the
/// step that ended it, reporting the ended episode's last values apart
/// (SameStep).
enum class Autoreset : uint8_t { Off = 0, NextStep = 1, SameStep = 2 };

/// The episode rules beside the game's own (game over, the flag). With every
/// rule off an episode ends only where the console says so.
struct EpisodeRules {
  // A lost life ends the episode; the next one reloads the start state.
  bool end_on_life_loss = false;
  // A lost life ends the episode; the next one goes on in the same game.
  bool episodic_life = false;
  // Reaching the goal of a level ends the episode (needs progress signals).
  bool end_on_level_end = false;
  // Report the level-end and dying signals after every step and reset.
  bool progress_info = false;
  // Truncate an episode after this many steps (0: no limit).
  uint64_t max_episode_steps = 0;
  Autoreset autoreset = Autoreset::Off;
};

/// The configuration record, fixed at construction.
struct EnvConfig {
  uint64_t num_envs = 1;
  uint64_t frame_skip = 4;
  bool grayscale = true;
  uint64_t frame_stack = 4;
  bool terminate_on_flag = true;
  uint64_t crop_top = 0;
  uint64_t crop_bottom = 0;
  uint64_t crop_left = 0;
  uint64_t crop_right = 0;
  uint64_t resize_width = 84;
  uint64_t resize_height = 84;
  bool frame_maxpool = false;
  int64_t noop_reset_max = 0;
  double sticky_action_prob = 0.0;
  CropMode crop_mode = CropMode::Remove;
  uint8_t crop_fill = 0;
  ResizeAlgorithm resize_algorithm = ResizeAlgorithm::Area;
  // False: nothing is drawn for observations; every observation byte is 0.
  bool render_observations = true;
  // Ram and Tiles ignore the picture's settings (grayscale, crops, resize,
  // max-pooling): their slot is the console's bytes, the same shape for all.
  ObsType obs_type = ObsType::Picture;
  EpisodeRules episode;
  // Filled from the worker pool resolution (see worker_pool.h).
  uint64_t worker_threads = 1;
  uint64_t parallel_threshold = 2;
};

/// Sizes every part of the environment works with, in pixels or bytes.
struct ObsGeometry {
  // Source region: screen rectangle rendered for an observation.
  unsigned src_x0 = 8;
  unsigned src_y0 = 8;
  size_t src_width = 240;   // Ws
  size_t src_height = 224;  // Hs
  size_t channels = 1;      // k: 1 gray, 3 RGB
  size_t width = 84;        // W
  size_t height = 84;       // H
  size_t frame_stack = 4;
  size_t slot_size = 0;          // k * H * W
  size_t lane_obs_size = 0;      // frame_stack * slot_size
  size_t intermediate_size = 0;  // I
};

/// Bytes of a slot of the work RAM observation: the 2 KiB, as one row.
inline constexpr size_t RAM_OBS_WIDTH = 2048;

/// Bytes of one display frame (240 x 224, three planes).
inline constexpr size_t DISPLAY_FRAME_BYTES = size_t(3) * VISIBLE_FRAME_WIDTH * VISIBLE_FRAME_HEIGHT;

/// Derives the geometry; the configuration must already be valid.
ObsGeometry derive_geometry(const EnvConfig& config);

/// Checks the value rules of a configuration (lane count, frame skip, stack,
/// crops, resize, no-op bound, sticky probability), first failure wins, then
/// that every size derived from it (resize table cells, lane observation,
/// observation array, lanes) can be computed and held by one array.
EnvStatus validate_env_config(const EnvConfig& config);

/// "remove" / "mask" (exact, case-sensitive), else nothing.
std::optional<CropMode> crop_mode_from_name(std::string_view name);
/// "area" / "nearest" / "bilinear" (exact, case-sensitive), else nothing.
std::optional<ResizeAlgorithm> resize_algorithm_from_name(std::string_view name);

/// "off" / "next_step" / "same_step" (exact), else nothing.
std::optional<Autoreset> autoreset_from_name(std::string_view name);

/// An observation type by name: the kind, and for the picture whether it is gray.
struct ObsTypeChoice {
  ObsType type;
  std::optional<bool> grayscale;  // "grayscale" / "rgb"; nothing for the others
};
/// "grayscale" / "rgb" / "ram" / "tiles" (exact, case-sensitive), else nothing.
std::optional<ObsTypeChoice> obs_type_from_name(std::string_view name);
/// The name of a configuration's observation type ("grayscale", "rgb", "ram", "tiles").
const char* obs_type_name(const EnvConfig& config);
/// Whether the steps max-pool the last two frames: `frame_maxpool` of a picture.
inline bool pools_frames(const EnvConfig& config) {
  return config.frame_maxpool && config.obs_type == ObsType::Picture;
}

}  // namespace tt
