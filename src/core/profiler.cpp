#include "core/profiler.h"

#include <algorithm>

namespace tt {

void ProfileRecord::clear() { *this = ProfileRecord(); }

void ProfileRecord::add(const ProfileRecord& o) {
  for (size_t i = 0; i < pc_histogram.size(); ++i) pc_histogram[i] += o.pc_histogram[i];
  for (size_t i = 0; i < opcode_histogram.size(); ++i) opcode_histogram[i] += o.opcode_histogram[i];
  env_steps += o.env_steps;
  batch_steps += o.batch_steps;
  frame_steps += o.frame_steps;
  cpu_steps += o.cpu_steps;
  ppu_tick_calls += o.ppu_tick_calls;
  ppu_tick_cycles += o.ppu_tick_cycles;
  ppu_completed_frames += o.ppu_completed_frames;
  render_calls += o.render_calls;
  resize_calls += o.resize_calls;
  stack_shifts += o.stack_shifts;
  frame_stepping += o.frame_stepping;
  rendering += o.rendering;
  resize += o.resize;
  stack_shift += o.stack_shift;
}

}  // namespace tt
