// Fuzz target: iNES parsing of arbitrary bytes. The first input byte chooses
// whether the iNES magic is put in front of the rest, so that the saved
// inputs need not carry the magic themselves.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cartridge.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> image;
  if (data[0] & 1) image = {0x4E, 0x45, 0x53, 0x1A};
  image.insert(image.end(), data + 1, data + size);
  auto result = tt::parse_ines(image.data(), image.size());
  if (auto* cart = std::get_if<tt::Cartridge>(&result)) {
    if (cart->chr.size() != 8192 || (cart->prg_rom.size() != 16384 && cart->prg_rom.size() != 32768)) TT_FUZZ_TRAP();
  }
  return 0;
}
