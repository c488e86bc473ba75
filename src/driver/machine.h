// A lane's console together with the supported game's per-lane fields.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/console.h"
#include "core/translated_code.h"

namespace tt {

// The ten game values every lane reports after each step.
struct GameInfo {
  uint16_t x_pos = 0;
  uint8_t coins = 0;
  int16_t level_hi = 0;
  int16_t level_lo = 0;
  int16_t lives = 0;
  int32_t score = 0;
  int16_t scrolling = 0;
  int16_t time = 0;
  uint8_t xscroll_hi = 0;
  uint8_t xscroll_lo = 0;
  bool operator==(const GameInfo&) const = default;
};

inline constexpr int ACCELERATOR_SLOTS = 13;

struct Machine : Console {
  explicit Machine(std::shared_ptr<const Cartridge> cart) : Console(std::move(cart)) {}

  GameInfo info;
  uint8_t terminated = 0;
  uint8_t terminate_on_flag = 0;
  std::array<uint8_t, ACCELERATOR_SLOTS> accelerator_enabled{};
  // The cartridge's code as translated blocks, shared by every lane of the
  // cartridge; without it the lane's frames are interpreted. Either way the
  // console ends each frame in the same state, so it may change between frames.
  std::shared_ptr<const TranslatedCode> translated;
};

}  // namespace tt
