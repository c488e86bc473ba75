#include "driver/accelerators.h"

namespace tt {

// Placeholder until the routines are written: every slot disabled.
std::array<uint8_t, ACCELERATOR_SLOTS> detect_accelerators(const uint8_t*, size_t, uint16_t) { return {}; }
void accel_idle_wait(Console&, FrameClock&) {}
bool accel_sprite0_poll(Console&, FrameClock&, bool) { return false; }
bool accel_timer_countdown(Console&, FrameClock&) { return false; }
bool accel_sprites_offscreen(Console&, FrameClock&) { return false; }
bool accel_table_update(Console&, FrameClock&) { return false; }
bool accel_read_controller(Console&, FrameClock&) { return false; }
bool accel_keep_higher_score(Console&, FrameClock&) { return false; }
bool accel_table_pointer(Console&, FrameClock&) { return false; }
bool accel_byte_under_object(Console&, FrameClock&) { return false; }
bool accel_relative_position_bits(Console&, FrameClock&) { return false; }
bool accel_compare_and_scale(Console&, FrameClock&) { return false; }
bool accel_write_sprite_pair(Console&, FrameClock&) { return false; }

}  // namespace tt
