#include "core/frame_runner.h"

#include "core/renderer.h"

namespace tt {

void run_frame(Console& m, uint8_t buttons) {
  NoHooks hooks;
  NoProfile profile;
  run_frame_with(m, buttons, hooks, profile);
}

void power_on_console(Console& m) {
  m.cpu.a = m.cpu.x = m.cpu.y = 0;
  m.cpu.sp = 0xFD;
  m.cpu.p = 0x24;

  PpuState& p = m.ppu;
  p.oam.fill(0);
  p.vram.fill(0);
  p.palette.fill(0);
  p.ctrl = p.mask = p.status = p.oam_addr = 0;
  refresh_renderer_cache(m);

  p.data_buffer = 0;
  p.fine_x = 0;
  p.addr = p.temp_addr = p.scroll_addr = p.render_addr = 0;
  p.first_write = 1;
  p.nmi_pending = 0;
  p.scroll_x_px = p.scroll_y_px = 0;
  p.scroll_x_low = 0;
  p.has_scroll_override = 0;
  p.scroll_override_x_px = 0;

  p.frame_dot = 0;
  p.next_event_dot = VBLANK_START_DOT;
  p.frame = 0;

  m.ram.fill(0xFF);
  m.extra_cycles = 0;
  m.controller_strobe = m.controller_state = m.controller_shift = 0;
  m.cpu.pc = read_vector(m, RESET_VECTOR);
}

}  // namespace tt
