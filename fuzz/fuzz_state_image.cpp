// Fuzz target: state images of arbitrary bytes loaded into a console, which
// then runs a frame; a refused image must leave the console unchanged. An
// accepted image can put the program counter anywhere: the frame runs
// interpreted and as host code (where the build has it), with the same end.
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
    if (!tt::fuzz::same_state(before, m)) TT_FUZZ_TRAP();
    return 0;
  }
  static const auto translation = tt::translate_prg(cart->prg_rom.data(), cart->prg_rom.size(), {});
  static const auto native = tt::build_native_code(translation, {});
  tt::Machine fast = m;
  fast.translated = translation;
  fast.native = native;
  tt::step_frame(m, 0x80);
  tt::step_frame(fast, 0x80);
  if (!tt::fuzz::same_state(m, fast)) TT_FUZZ_TRAP();
  return 0;
}
