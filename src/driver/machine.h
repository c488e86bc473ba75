// A lane's console together with the supported game's per-lane fields.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/console.h"
#include "core/native_code.h"
#include "core/translated_code.h"
#include "driver/game_values.h"
#include "driver/playfield_cache.h"
#include "driver/screen_layout.h"

namespace tt {

// The ten game values every lane reports after each step.
struct GameInfo {
#define TT_GAME_INFO_FIELD(NAME, VALUE_TYPE, ...) VALUE_TYPE NAME = 0;
  TT_GAME_VALUES(TT_GAME_INFO_FIELD)
#undef TT_GAME_INFO_FIELD
  bool operator==(const GameInfo&) const = default;
};

inline constexpr int ACCELERATOR_SLOTS = 13;

struct Machine : Console {
  explicit Machine(std::shared_ptr<const Cartridge> cart) : Console(std::move(cart)) {
    unscrolled_top_rows = UNSCROLLED_TOP_ROWS;
  }

  GameInfo info;
  uint8_t terminated = 0;
  uint8_t terminate_on_flag = 0;
  std::array<uint8_t, ACCELERATOR_SLOTS> accelerator_enabled{};
  PlayfieldCache playfield;
  // The cartridge's code as translated blocks, shared by every lane of the
  // cartridge; without it the lane's frames are interpreted. Either way the
  // console ends each frame in the same state, so it may change between frames.
  std::shared_ptr<const TranslatedCode> translated;
  // The same as host code (the lanes' default where the host has it); it
  // takes precedence over `translated`.
  std::shared_ptr<const NativeCode> native;
};

}  // namespace tt
