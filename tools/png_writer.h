// Writes the renderer's planar RGB pictures as PNG files.
#pragma once

#include <cstdint>
#include <string>

namespace tt {

/// Writes an 8-bit RGB PNG from three planes (R, then G, then B) of
/// width x height bytes each. On failure returns false and sets `error`.
bool write_png_rgb(const std::string& path, const uint8_t* planar_rgb, unsigned width, unsigned height,
                   std::string& error);

}  // namespace tt
