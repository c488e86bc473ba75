#include "driver/game_info.h"

namespace tt {

namespace {

constexpr uint16_t ENEMY_ACTIVE = 0x000F;

}  // namespace

GameInfo decode_game_info(const uint8_t* ram) {
  using namespace game_ram;
  GameInfo g;
#define TT_DECODE(NAME, VALUE_TYPE, ARRAY_TYPE, DTYPE, ...) g.NAME = static_cast<VALUE_TYPE>(__VA_ARGS__);
  TT_GAME_VALUES(TT_DECODE)
#undef TT_DECODE
  return g;
}

using D = ExtraInfoDtype;

const std::array<ExtraInfoEntry, EXTRA_INFO_COUNT> EXTRA_INFO_CATALOGUE = {{
    {0, "area_id", 1, D::Int16, nullptr},
    {1, "area_type", 1, D::Int8, "AreaType"},
    {2, "y_pos", 1, D::Int32, nullptr},
    {3, "y_screen_pos", 1, D::Int16, nullptr},
    {4, "player_motion", 1, D::Int8, "PlayerMotion"},
    {5, "player_power", 1, D::Int8, "PlayerPower"},
    {6, "is_large", 1, D::Bool, nullptr},
    {7, "x_velocity", 1, D::Int16, nullptr},
    {8, "y_velocity", 1, D::Int16, nullptr},
    {9, "facing", 1, D::Int8, "Direction"},
    {10, "is_crouching", 1, D::Bool, nullptr},
    {11, "is_swimming", 1, D::Bool, nullptr},
    {12, "injury_timer", 1, D::Int16, nullptr},
    {13, "star_timer", 1, D::Int16, nullptr},
    {14, "game_mode", 1, D::Int8, "GameMode"},
    {15, "player_task", 1, D::Int8, "PlayerTask"},
    {16, "enemy_active", 6, D::Bool, nullptr},
    {17, "enemy_type_id", 6, D::Int16, nullptr},
    {18, "enemy_x_pos", 6, D::Int32, nullptr},
    {19, "enemy_y_pos", 6, D::Int32, nullptr},
    {20, "enemy_x_velocity", 6, D::Int16, nullptr},
    {21, "enemy_y_velocity", 6, D::Int16, nullptr},
    {22, "enemy_facing", 6, D::Int8, "Direction"},
    {23, "area_pointer", 1, D::Int16, nullptr},
    {24, "loop_command_active", 1, D::Bool, nullptr},
    {25, "loop_correct_count", 1, D::Int16, nullptr},
    {26, "loop_pass_count", 1, D::Int16, nullptr},
}};

const char* extra_info_dtype_name(ExtraInfoDtype dtype) {
  switch (dtype) {
    case D::Bool: return "bool";
    case D::Int8: return "int8";
    case D::Int16: return "int16";
    case D::Int32: return "int32";
  }
  return "int32";
}

long extra_info_width(const uint8_t* ids, size_t n) {
  long total = 0;
  for (size_t i = 0; i < n; ++i) {
    if (ids[i] >= EXTRA_INFO_COUNT) return -1;
    total += EXTRA_INFO_CATALOGUE[ids[i]].count;
  }
  return total;
}

namespace {

inline int64_t below_or_minus_one(uint8_t v, uint8_t limit) { return v < limit ? v : -1; }
inline int64_t direction(uint8_t v) { return v == 1 ? 1 : (v == 2 ? -1 : 0); }

// Writes the values of one catalogue entry at `out`.
void write_entry(const uint8_t* ram, uint8_t id, int64_t* out) {
  switch (id) {
    case 0: out[0] = ram[0x0760]; break;
    case 1: out[0] = below_or_minus_one(ram[0x074E], 4); break;
    case 2: out[0] = ram[0x00B5] * 256 + ram[0x00CE]; break;
    case 3: out[0] = ram[0x03B8]; break;
    case 4: out[0] = below_or_minus_one(ram[0x001D], 4); break;
    case 5: out[0] = below_or_minus_one(ram[0x0756], 3); break;
    case 6: out[0] = ram[0x0754] == 0 ? 1 : 0; break;
    case 7: out[0] = static_cast<int8_t>(ram[0x0057]); break;
    case 8: out[0] = static_cast<int8_t>(ram[0x009F]); break;
    case 9: out[0] = direction(ram[0x0033]); break;
    case 10: out[0] = ram[0x0714] != 0; break;
    case 11: out[0] = ram[0x0704] != 0; break;
    case 12: out[0] = ram[0x079E]; break;
    case 13: out[0] = ram[0x079F]; break;
    case 14: out[0] = below_or_minus_one(ram[GAME_MODE_ADDR], 4); break;
    case 15: out[0] = below_or_minus_one(ram[0x000E], 13); break;
    case 23: out[0] = ram[0x0750]; break;
    case 24: out[0] = ram[0x0745] != 0; break;
    case 25: out[0] = ram[0x06D9]; break;
    case 26: out[0] = ram[0x06DA]; break;
    default:
      for (unsigned k = 0; k < 6; ++k) {
        const bool active = ram[ENEMY_ACTIVE + k] != 0;
        int64_t v = 0;
        switch (id) {
          case 16: v = active; break;
          case 17: v = active ? ram[0x0016 + k] : -1; break;
          case 18: v = active ? ram[0x006E + k] * 256 + ram[0x0087 + k] : -1; break;
          case 19: v = active ? ram[0x00B6 + k] * 256 + ram[0x00CF + k] : -1; break;
          case 20: v = active ? static_cast<int8_t>(ram[0x0058 + k]) : 0; break;
          case 21: v = active ? static_cast<int8_t>(ram[0x00A0 + k]) : 0; break;
          case 22: v = active ? direction(ram[0x0046 + k]) : 0; break;
          default: break;
        }
        out[k] = v;
      }
      break;
  }
}

}  // namespace

void write_extra_info(const uint8_t* ram, const uint8_t* ids, size_t n_ids, int64_t* row, size_t row_len) {
  const long width = extra_info_width(ids, n_ids);
  if (width < 0 || static_cast<size_t>(width) != row_len) return;
  size_t pos = 0;
  for (size_t i = 0; i < n_ids; ++i) {
    write_entry(ram, ids[i], row + pos);
    pos += EXTRA_INFO_CATALOGUE[ids[i]].count;
  }
}

}  // namespace tt
