// Fuzz target: the portable machine reader on arbitrary bytes; whatever it
// accepts must run whole frames and re-encode to the same bytes; host code
// (where the build has it) runs them to the same end as the interpreter.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/frame_step.h"
#include "driver/portable_machine.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto cart = tt::fuzz::looping_cartridge();
  tt::Machine target(cart);
  tt::reset_machine(target);
  const tt::ConsoleState before = target;
  auto result = tt::decode_portable_machine(data, size, target);
  if (!tt::fuzz::same_state(before, target)) TT_FUZZ_TRAP();
  if (auto* m = std::get_if<tt::Machine>(&result)) {
    const std::vector<uint8_t> again = tt::encode_portable_machine(*m);
    if (again.size() != tt::PORTABLE_MACHINE_BYTES) TT_FUZZ_TRAP();
    const uint64_t frame = m->ppu.frame;
    m->terminated = 0;
    static const auto translation = tt::translate_prg(cart->prg_rom.data(), cart->prg_rom.size(), {});
    static const auto native = tt::build_native_code(translation, {});
    tt::Machine fast = *m;
    fast.translated = translation;
    fast.native = native;
    for (tt::Machine* lane : {m, &fast}) {
      tt::run_machine_frame(*lane, 0);
      tt::run_machine_frame(*lane, 0);
    }
    if (m->ppu.frame < frame + 1) TT_FUZZ_TRAP();  // a restored console reaches its frame end
    if (!tt::fuzz::same_state(*m, fast)) TT_FUZZ_TRAP();
  }
  return 0;
}
