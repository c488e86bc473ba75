// The console's 64-colour palette and its gray levels.
#pragma once

#include <array>
#include <cstdint>

namespace tt {

struct Rgb {
  uint8_t r, g, b;
};

// clang-format off
inline constexpr std::array<Rgb, 64> NES_PALETTE_RGB = {{
    {112, 116, 112}, {32, 24, 136}, {0, 0, 168}, {64, 0, 152},
    {136, 0, 112}, {168, 0, 16}, {160, 0, 0}, {120, 8, 0},
    {64, 44, 0}, {0, 68, 0}, {0, 80, 0}, {0, 60, 16},
    {24, 60, 88}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0},
    {184, 188, 184}, {0, 112, 232}, {32, 56, 232}, {128, 0, 240},
    {184, 0, 184}, {224, 0, 88}, {216, 40, 0}, {200, 76, 8},
    {136, 112, 0}, {0, 148, 0}, {0, 168, 0}, {0, 144, 56},
    {0, 128, 136}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0},
    {248, 252, 248}, {56, 188, 248}, {88, 148, 248}, {64, 136, 248},
    {240, 120, 248}, {248, 116, 176}, {248, 116, 96}, {248, 152, 56},
    {240, 188, 56}, {128, 208, 16}, {72, 220, 72}, {88, 248, 152},
    {0, 232, 216}, {120, 120, 120}, {0, 0, 0}, {0, 0, 0},
    {248, 252, 248}, {168, 228, 248}, {192, 212, 248}, {208, 200, 248},
    {248, 196, 248}, {248, 196, 216}, {248, 188, 176}, {248, 216, 168},
    {248, 228, 160}, {224, 252, 160}, {168, 240, 184}, {176, 252, 200},
    {152, 252, 240}, {192, 196, 192}, {0, 0, 0}, {0, 0, 0},
}};
// clang-format on

inline constexpr uint8_t gray_of(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((77u * r + 150u * g + 29u * b + 128u) >> 8);
}

inline constexpr std::array<uint8_t, 64> make_gray_palette() {
  std::array<uint8_t, 64> out{};
  for (int i = 0; i < 64; ++i) out[i] = gray_of(NES_PALETTE_RGB[i].r, NES_PALETTE_RGB[i].g, NES_PALETTE_RGB[i].b);
  return out;
}

inline constexpr std::array<uint8_t, 64> NES_PALETTE_GRAY = make_gray_palette();

static_assert(NES_PALETTE_GRAY[0x00] == 114 && NES_PALETTE_GRAY[0x04] == 54);

// Tables over pairs of colour indices, entry a * 64 + b: one channel of the
// channel-wise maximum of colours a and b, and the gray of that maximum (the
// gray of the pooled colour, not the larger of the two grays).
using ColourPairTable = std::array<uint8_t, 64 * 64>;

template <class Channel>
inline constexpr ColourPairTable make_pair_table(Channel channel) {
  ColourPairTable out{};
  for (int a = 0; a < 64; ++a)
    for (int b = 0; b < 64; ++b) {
      const uint8_t x = channel(NES_PALETTE_RGB[a]), y = channel(NES_PALETTE_RGB[b]);
      out[a * 64 + b] = x > y ? x : y;
    }
  return out;
}

inline constexpr ColourPairTable PAIR_MAX_R = make_pair_table([](Rgb c) { return c.r; });
inline constexpr ColourPairTable PAIR_MAX_G = make_pair_table([](Rgb c) { return c.g; });
inline constexpr ColourPairTable PAIR_MAX_B = make_pair_table([](Rgb c) { return c.b; });

inline constexpr ColourPairTable make_pair_gray_table() {
  ColourPairTable out{};
  for (int i = 0; i < 64 * 64; ++i) out[i] = gray_of(PAIR_MAX_R[i], PAIR_MAX_G[i], PAIR_MAX_B[i]);
  return out;
}

inline constexpr ColourPairTable PAIR_MAX_GRAY = make_pair_gray_table();

}  // namespace tt
