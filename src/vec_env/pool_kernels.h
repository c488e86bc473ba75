// Max-pooling of two colour index planes into gray, with 256-bit vectors on
// processors that have them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tt::pool_kernels {

/// out[i] = gray of the channel-wise maximum of colours a[i] and b[i]
/// (PAIR_MAX_GRAY) over [begin, end); every index is below 64.
void pool_gray(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin, size_t end);
/// The same with the baseline instruction set only.
void pool_gray_portable(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin, size_t end);

}  // namespace tt::pool_kernels
