// The lane frame step (one emulated frame plus game info, reward and done
// rule) and the lane's power-on reset.
#pragma once

#include <cstdint>

#include "core/frame_runner.h"
#include "core/profiler.h"
#include "driver/accelerators.h"
#include "driver/game_info.h"
#include "driver/machine.h"

namespace tt {

inline constexpr uint16_t FLAG_X_POS = 3160;

/// One frame with the lane's enabled accelerators, as translated blocks when
/// the lane has the translation.
inline void run_machine_frame(Machine& m, uint8_t buttons) {
  AcceleratorHooks hooks{m.accelerator_enabled.data()};
  NoProfile profile;
  run_frame_with(m, buttons, hooks, profile, m.translated.get());
}

namespace frame_step_detail {
inline float finish_step(Machine& m, uint8_t old_xscroll_lo) {
  refresh_game_info(m);
  m.ppu.has_scroll_override = 0;
  m.ppu.scroll_override_x_px = 0;
  if (static_cast<uint8_t>(m.info.lives) == 0xFF || (m.info.x_pos >= FLAG_X_POS && m.terminate_on_flag)) m.terminated = 1;
  const int diff = static_cast<int>(m.info.xscroll_lo) - static_cast<int>(old_xscroll_lo);
  return diff > 0 ? static_cast<float>(diff) : 0.0f;
}
}  // namespace frame_step_detail

/// Runs one frame of a lane and returns its reward (0 for a terminated lane).
inline float step_frame(Machine& m, uint8_t buttons) {
  if (m.terminated) return 0.0f;
  const uint8_t old = m.info.xscroll_lo;
  run_machine_frame(m, buttons);
  return frame_step_detail::finish_step(m, old);
}

/// step_frame feeding the lane's profiler record.
inline float step_frame_profiled(Machine& m, uint8_t buttons, ProfileRecord& record) {
  if (m.terminated) return 0.0f;
  const uint8_t old = m.info.xscroll_lo;
  AcceleratorHooks hooks{m.accelerator_enabled.data()};
  LaneProfile profile{record};
  const uint64_t t0 = monotonic_ns();
  run_frame_with(m, buttons, hooks, profile);
  const uint64_t t1 = monotonic_ns();
  record.frame_stepping = saturating_add(record.frame_stepping, t1 >= t0 ? t1 - t0 : 0);
  record.frame_steps += 1;
  return frame_step_detail::finish_step(m, old);
}

/// Power-on reset of a lane, followed by its first frame with no buttons.
void reset_machine(Machine& m);

}  // namespace tt
