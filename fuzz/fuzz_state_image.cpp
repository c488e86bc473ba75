// Fuzz target: state images of arbitrary bytes loaded into a console, which
// then runs a frame; a refused image must leave the console unchanged.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/frame_step.h"
#include "driver/state_image.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto cart = tt::fuzz::looping_cartridge();
  tt::Machine m(cart);
  tt::reset_machine(m);
  const tt::ConsoleState before = m;
  if (auto err = tt::load_state_image(m, data, size)) {
    if (!tt::fuzz::same_state(before, m)) __builtin_trap();
    return 0;
  }
  tt::step_frame(m, 0x80);
  return 0;
}
