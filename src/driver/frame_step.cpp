#include "driver/frame_step.h"

namespace tt {

void run_machine_frame(Machine& m, uint8_t buttons) {
  AcceleratorHooks hooks{m.accelerator_enabled.data()};
  NoProfile profile;
  run_frame_with(m, buttons, hooks, profile, m.translated.get(), m.native.get());
}

namespace {
/// `was_playing`: the game mode said a game was being played before the frame.
/// Only a frame played from start to end earns reward or reaches the flag: the
/// title screen's demo scrolls and walks by itself, and pays nothing.
float finish_step(Machine& m, uint8_t old_xscroll_lo, uint16_t old_x_pos, bool was_playing) {
  refresh_game_info(m);
  m.ppu.has_scroll_override = 0;
  m.ppu.scroll_override_x_px = 0;
  const bool played = was_playing && m.ram[GAME_MODE_ADDR] == GAME_MODE_PLAYING;
  const bool reached_flag = played && m.terminate_on_flag && old_x_pos < FLAG_X_POS && m.info.x_pos >= FLAG_X_POS;
  if (static_cast<uint8_t>(m.info.lives) == 0xFF || reached_flag) m.terminated = 1;
  const int diff = static_cast<int>(m.info.xscroll_lo) - static_cast<int>(old_xscroll_lo);
  return played && diff > 0 ? static_cast<float>(diff) : 0.0f;
}

/// `Profile` is the frame loop's counter policy (core/profiler.h); a profiled
/// step also times the frame into the lane's record.
template <class Profile>
float step_frame_with(Machine& m, uint8_t buttons, Profile& profile) {
  if (m.terminated) return 0.0f;
  const uint8_t old = m.info.xscroll_lo;
  const uint16_t old_x_pos = m.info.x_pos;
  const bool was_playing = m.ram[GAME_MODE_ADDR] == GAME_MODE_PLAYING;
  AcceleratorHooks hooks{m.accelerator_enabled.data()};
  const uint64_t t0 = Profile::enabled ? monotonic_ns() : 0;
  // A profiled frame counts every instruction, so it is interpreted.
  run_frame_with(m, buttons, hooks, profile, Profile::enabled ? nullptr : m.translated.get(),
                 Profile::enabled ? nullptr : m.native.get());
  if constexpr (Profile::enabled) {
    const uint64_t t1 = monotonic_ns();
    profile.record.frame_stepping = saturating_add(profile.record.frame_stepping, t1 >= t0 ? t1 - t0 : 0);
    profile.record.frame_steps += 1;
  }
  return finish_step(m, old, old_x_pos, was_playing);
}
}  // namespace

float step_frame(Machine& m, uint8_t buttons) {
  NoProfile profile;
  return step_frame_with(m, buttons, profile);
}

float step_frame_profiled(Machine& m, uint8_t buttons, ProfileRecord& record) {
  LaneProfile profile{record};
  return step_frame_with(m, buttons, profile);
}

void reset_machine(Machine& m) {
  power_on_console(m);
  m.terminated = 0;
  refresh_game_info(m);
  run_machine_frame(m, 0);
  refresh_game_info(m);
  m.ppu.has_scroll_override = 0;
  m.ppu.scroll_override_x_px = 0;
}

}  // namespace tt
