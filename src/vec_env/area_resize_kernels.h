// Row kernels of the dedicated gray area resize: 240 source columns to 84
// output columns, every output row covering 2 or 3 source rows, and in every
// group of 7 output columns the first covering 2 source columns, the others 3.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vec_env/area_resize.h"

namespace tt::area_kernels {

inline constexpr size_t SRC_WIDTH = 240;
inline constexpr size_t DST = 84;

// Exact floor(s / d) by multiply and shift for the cell sums that occur:
// d = 4, 6, 9 and s <= d * 255. The factors fit 16 bits, so the quotient is
// the high half of a 16-bit product.
inline constexpr uint32_t DIV_SHIFT = 16;
constexpr uint32_t div_magic(uint32_t d) { return ((1u << DIV_SHIFT) + d - 1) / d; }
constexpr bool magic_is_exact(uint32_t d) {
  for (uint32_t s = 0; s <= d * 255; ++s) {
    if (((s * div_magic(d)) >> DIV_SHIFT) != s / d) return false;
  }
  return true;
}
static_assert(magic_is_exact(4) && magic_is_exact(6) && magic_is_exact(9));
static_assert(div_magic(4) <= 0xFFFF && 9 * 255 <= 0xFFFF);
inline constexpr uint16_t M4 = static_cast<uint16_t>(div_magic(4));
inline constexpr uint16_t M6 = static_cast<uint16_t>(div_magic(6));
inline constexpr uint16_t M9 = static_cast<uint16_t>(div_magic(9));

/// Output rows [row_begin, row_end) into `dst` (84 bytes a row): `spans[y]`
/// are the source rows of output row y, `rows[s]` points at source row s.
void rows_portable(const AreaSpan* spans, const uint8_t* const* rows, uint8_t* dst, size_t row_begin, size_t row_end);

/// The same with 256-bit vectors; only when avx2_supported().
void rows_avx2(const AreaSpan* spans, const uint8_t* const* rows, uint8_t* dst, size_t row_begin, size_t row_end);

/// Whether this processor runs rows_avx2.
bool avx2_supported();

}  // namespace tt::area_kernels
