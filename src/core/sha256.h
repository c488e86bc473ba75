// SHA-256 (FIPS 180-4).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tt {

std::array<uint8_t, 32> sha256(const uint8_t* data, size_t size);
// Lowercase hexadecimal digest, 64 characters.
std::string sha256_hex(const uint8_t* data, size_t size);

}  // namespace tt
