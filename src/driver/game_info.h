// Where the supported game keeps its variables in work RAM, and the catalogue
// of optional per-lane "extra info" values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/machine.h"

namespace tt {

/// The game's mode byte: 0 title screen (and its self-playing demo), 1 a game
/// being played, 2 the ending, 3 game over.
inline constexpr unsigned GAME_MODE_ADDR = 0x0770;
inline constexpr uint8_t GAME_MODE_PLAYING = 1;

/// Player tasks and game modes the progress signals read (found by
/// experiment on real play).
inline constexpr unsigned PLAYER_TASK_ADDR = 0x000E;
inline constexpr unsigned DEATH_FALL_ADDR = 0x0712;  // set when the game decided the player fell to his death
inline constexpr uint8_t GAME_MODE_WORLD_END = 2;    // the last level of a world was reached
inline constexpr uint8_t TASK_GOAL_POLE = 0x04;
inline constexpr uint8_t TASK_LEVEL_END_WALK = 0x05;
inline constexpr uint8_t TASK_PIT_DEATH = 0x06;
inline constexpr uint8_t TASK_HIT_DEATH = 0x0B;

/// The player has reached the goal of the level (the last level of a world included).
inline bool level_end_signal(const uint8_t* ram) {
  const uint8_t mode = ram[GAME_MODE_ADDR], task = ram[PLAYER_TASK_ADDR];
  return mode == GAME_MODE_WORLD_END ||
         (mode == GAME_MODE_PLAYING && (task == TASK_GOAL_POLE || task == TASK_LEVEL_END_WALK));
}

/// The game runs its death sequence for the player.
inline bool dying_signal(const uint8_t* ram) {
  const uint8_t task = ram[PLAYER_TASK_ADDR];
  const bool in_death = task == TASK_PIT_DEATH || task == TASK_HIT_DEATH || ram[DEATH_FALL_ADDR] != 0;
  return ram[GAME_MODE_ADDR] == GAME_MODE_PLAYING && in_death;
}

/// Decodes the ten game values from a 2 KiB RAM image.
GameInfo decode_game_info(const uint8_t* ram);

/// Refreshes machine.info from its RAM.
inline void refresh_game_info(Machine& m) { m.info = decode_game_info(m.ram.data()); }

enum class ExtraInfoDtype : uint8_t { Bool = 0, Int8 = 1, Int16 = 2, Int32 = 3 };

struct ExtraInfoEntry {
  uint8_t id;
  const char* name;
  uint8_t count;
  ExtraInfoDtype dtype;
  const char* enum_name;  // nullptr when the values are plain numbers or flags
};

inline constexpr size_t EXTRA_INFO_COUNT = 27;
extern const std::array<ExtraInfoEntry, EXTRA_INFO_COUNT> EXTRA_INFO_CATALOGUE;

const char* extra_info_dtype_name(ExtraInfoDtype dtype);

/// Sum of the value counts of `ids`, or -1 when an id is unknown.
long extra_info_width(const uint8_t* ids, size_t n);

/// Writes the requested values for one lane into `row` (length `row_len`).
/// Writes nothing when an id is unknown or the widths disagree.
void write_extra_info(const uint8_t* ram, const uint8_t* ids, size_t n_ids, int64_t* row, size_t row_len);

}  // namespace tt
