#include "driver/frame_step.h"

namespace tt {

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
