// The portable machine blob: the running state of one lane's console and its
// done flag as 4453 little-endian bytes that any lane built from the same
// cartridge can read back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "driver/machine.h"

namespace tt {

inline constexpr size_t PORTABLE_MACHINE_BYTES = 4453;
inline constexpr size_t PORTABLE_CORE_BYTES = 4444;

/// Writes the blob; never fails.
std::vector<uint8_t> encode_portable_machine(const Machine& m);

/// Reads a blob on top of a copy of `target` (fields the blob does not carry
/// keep the target's values). Returns the new machine, or the error text of
/// the first failing check; `target` itself is never changed.
std::variant<Machine, std::string> decode_portable_machine(const uint8_t* data, size_t size, const Machine& target);

}  // namespace tt
