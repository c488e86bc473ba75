// Loads a state image (tagged chunks: CPU registers, RAM, nametables,
// palette, OAM, PPU registers) into a lane's machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "driver/machine.h"

namespace tt {

/// Loads the image and runs one frame with no buttons. On failure returns the
/// error text naming the first missing chunk and leaves the machine unchanged.
std::optional<std::string> load_state_image(Machine& m, const uint8_t* data, size_t size);

}  // namespace tt
