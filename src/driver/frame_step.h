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

/// The flag rule ends a lane's episode on the frame whose x_pos reaches this
/// value from below. A lane that is already at or past it before the frame
/// (power-on RAM decodes to 65535, a state made past the flag) is not ended.
inline constexpr uint16_t FLAG_X_POS = 3160;

/// One frame with the lane's enabled accelerators, as translated blocks when
/// the lane has the translation. (Defined out of line, as are the steps below:
/// the frame loop is instantiated once, in frame_step.cpp, not in every caller.)
void run_machine_frame(Machine& m, uint8_t buttons);

/// Runs one frame of a lane and returns its reward (0 for a terminated lane and
/// for a frame outside a game being played), as translated blocks when the lane
/// has the translation.
float step_frame(Machine& m, uint8_t buttons);

/// step_frame feeding the lane's profiler record (every instruction counted,
/// so the frame is interpreted; the frame is timed into the record).
float step_frame_profiled(Machine& m, uint8_t buttons, ProfileRecord& record);

/// Power-on reset of a lane, followed by its first frame with no buttons.
void reset_machine(Machine& m);

}  // namespace tt
