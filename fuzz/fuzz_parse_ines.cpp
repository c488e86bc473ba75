// Fuzz target: iNES parsing of arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "core/cartridge.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto result = tt::parse_ines(data, size);
  if (auto* cart = std::get_if<tt::Cartridge>(&result)) {
    if (cart->chr.size() != 8192 || (cart->prg_rom.size() != 16384 && cart->prg_rom.size() != 32768)) __builtin_trap();
  }
  return 0;
}
