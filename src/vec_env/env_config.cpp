#include "vec_env/env_config.h"

#include <cstddef>
#include <limits>
#include <string>

#include "core/console.h"
#include "core/tile_view.h"
#include "driver/machine.h"
#include "vec_env/area_resize.h"

namespace tt {

namespace {

// a + b in decimal, exact where the sum does not fit in 64 bits too.
std::string sum_to_string(uint64_t a, uint64_t b) {
  const std::string x = std::to_string(a), y = std::to_string(b);
  std::string s;
  int carry = 0;
  for (size_t i = 0; i < x.size() || i < y.size() || carry != 0; ++i) {
    int digit = carry;
    if (i < x.size()) digit += x[x.size() - 1 - i] - '0';
    if (i < y.size()) digit += y[y.size() - 1 - i] - '0';
    s.insert(s.begin(), static_cast<char>('0' + digit % 10));
    carry = digit / 10;
  }
  return s;
}

// Whether a + b < limit, without computing a sum that may not fit.
bool sum_below(uint64_t a, uint64_t b, uint64_t limit) { return a < limit && b < limit - a; }

// a * b, or nothing when the product does not fit in 64 bits.
std::optional<uint64_t> times(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::nullopt;
  return a * b;
}

// Largest byte count one array (a NumPy array or a vector) can have.
constexpr uint64_t MAX_ARRAY_BYTES = static_cast<uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

// Whether `count` elements of `element_bytes` each fit in one array.
bool fits(std::optional<uint64_t> count, uint64_t element_bytes) {
  return count.has_value() && *count <= MAX_ARRAY_BYTES / element_bytes;
}

// The sizes derived from a configuration whose value rules passed: every one
// must be computable and small enough for an array to hold, so that nothing
// is allocated (or wraps to a small size) for a configuration that cannot work.
EnvStatus check_derived_sizes(const EnvConfig& c) {
  std::optional<uint64_t> lane_obs;
  if (c.obs_type == ObsType::Picture) {
    const auto cells = times(c.resize_width, c.resize_height);
    if (!fits(cells, sizeof(AreaCell))) return value_error("resize_width * resize_height is too large");
    const auto planes = times(c.frame_stack, c.grayscale ? 1 : 3);
    lane_obs = planes ? times(*cells, *planes) : std::nullopt;
  } else {
    lane_obs = times(c.frame_stack, c.obs_type == ObsType::Ram ? RAM_OBS_WIDTH : TILE_VIEW_BYTES);
  }
  if (!fits(lane_obs, 1)) {
    return value_error("lane observation size (frame_stack * channels * resize_height * resize_width) is too large");
  }
  if (!fits(times(c.num_envs, *lane_obs), 1)) {
    return value_error("observation array size (num_envs * lane observation size) is too large");
  }
  if (!fits(c.num_envs, sizeof(Machine))) return value_error("num_envs is too large");
  return std::nullopt;
}

}  // namespace

ObsGeometry derive_geometry(const EnvConfig& c) {
  ObsGeometry g;
  if (c.crop_mode == CropMode::Mask) {
    g.src_x0 = 8;
    g.src_y0 = 8;
    g.src_width = VISIBLE_FRAME_WIDTH;
    g.src_height = VISIBLE_FRAME_HEIGHT;
  } else {
    g.src_x0 = static_cast<unsigned>(8 + c.crop_left);
    g.src_y0 = static_cast<unsigned>(8 + c.crop_top);
    g.src_width = VISIBLE_FRAME_WIDTH - c.crop_left - c.crop_right;
    g.src_height = VISIBLE_FRAME_HEIGHT - c.crop_top - c.crop_bottom;
  }
  g.channels = c.grayscale ? 1 : 3;
  g.width = c.resize_width;
  g.height = c.resize_height;
  if (c.obs_type != ObsType::Picture) {
    // One plane per slot; nothing is drawn, so no intermediate region.
    g.channels = 1;
    g.width = c.obs_type == ObsType::Ram ? RAM_OBS_WIDTH : TILE_GRID_COLUMNS;
    g.height = c.obs_type == ObsType::Ram ? 1 : TILE_VIEW_ROWS;
  }
  g.frame_stack = c.frame_stack;
  g.slot_size = g.channels * g.width * g.height;
  g.lane_obs_size = g.frame_stack * g.slot_size;
  const size_t region = g.src_width * g.src_height;
  if (c.obs_type != ObsType::Picture) {
    g.intermediate_size = 0;
  } else if (c.frame_maxpool) {
    g.intermediate_size = 6 * region;
  } else if (g.width == g.src_width && g.height == g.src_height) {
    g.intermediate_size = 0;
  } else {
    g.intermediate_size = g.channels * region;
  }
  return g;
}

EnvStatus validate_env_config(const EnvConfig& c) {
  if (c.num_envs == 0) return value_error("num_envs must be > 0");
  if (c.frame_skip == 0) return value_error("frame_skip must be > 0");
  if (c.frame_skip > MAX_FRAME_SKIP) {
    return value_error("frame_skip must be at most " + std::to_string(MAX_FRAME_SKIP) + ", got " +
                       std::to_string(c.frame_skip));
  }
  if (c.frame_stack == 0) return value_error("frame_stack must be > 0");
  if (!sum_below(c.crop_top, c.crop_bottom, VISIBLE_FRAME_HEIGHT)) {
    return value_error("crop_top + crop_bottom must be less than " + std::to_string(VISIBLE_FRAME_HEIGHT) + ", got " +
                       sum_to_string(c.crop_top, c.crop_bottom));
  }
  if (!sum_below(c.crop_left, c.crop_right, VISIBLE_FRAME_WIDTH)) {
    return value_error("crop_left + crop_right must be less than " + std::to_string(VISIBLE_FRAME_WIDTH) + ", got " +
                       sum_to_string(c.crop_left, c.crop_right));
  }
  if (c.resize_width == 0 || c.resize_height == 0) return value_error("resize_width and resize_height must be > 0");
  if (c.noop_reset_max < 0) return value_error("noop_reset_max must be non-negative");
  if (c.noop_reset_max > MAX_NOOP_RESET_FRAMES) {
    return value_error("noop_reset_max must be at most " + std::to_string(MAX_NOOP_RESET_FRAMES) + ", got " +
                       std::to_string(c.noop_reset_max));
  }
  // Written as "not inside" so that NaN, which compares false, is refused too.
  if (!(c.sticky_action_prob >= 0.0 && c.sticky_action_prob <= 1.0)) {
    return value_error("sticky_action_prob must be between 0.0 and 1.0");
  }
  if (c.episode.end_on_life_loss && c.episode.episodic_life) {
    return value_error("end_on_life_loss and episodic_life exclude each other: choose one");
  }
  return check_derived_sizes(c);
}

std::optional<Autoreset> autoreset_from_name(std::string_view name) {
  if (name == "off") return Autoreset::Off;
  if (name == "next_step") return Autoreset::NextStep;
  if (name == "same_step") return Autoreset::SameStep;
  return std::nullopt;
}

std::optional<CropMode> crop_mode_from_name(std::string_view name) {
  if (name == "remove") return CropMode::Remove;
  if (name == "mask") return CropMode::Mask;
  return std::nullopt;
}

std::optional<ResizeAlgorithm> resize_algorithm_from_name(std::string_view name) {
  if (name == "area") return ResizeAlgorithm::Area;
  if (name == "nearest") return ResizeAlgorithm::Nearest;
  if (name == "bilinear") return ResizeAlgorithm::Bilinear;
  return std::nullopt;
}

std::optional<ObsTypeChoice> obs_type_from_name(std::string_view name) {
  if (name == "grayscale") return ObsTypeChoice{ObsType::Picture, true};
  if (name == "rgb") return ObsTypeChoice{ObsType::Picture, false};
  if (name == "ram") return ObsTypeChoice{ObsType::Ram, std::nullopt};
  if (name == "tiles") return ObsTypeChoice{ObsType::Tiles, std::nullopt};
  return std::nullopt;
}

const char* obs_type_name(const EnvConfig& config) {
  switch (config.obs_type) {
    case ObsType::Ram: return "ram";
    case ObsType::Tiles: return "tiles";
    case ObsType::Picture: break;
  }
  return config.grayscale ? "grayscale" : "rgb";
}

}  // namespace tt
