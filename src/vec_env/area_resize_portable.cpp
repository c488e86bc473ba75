// The dedicated area resize with the baseline instruction set (SSE2 on x86-64).
#include <cstring>

#include "vec_env/area_resize_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tt::area_kernels {

void rows_portable(const AreaSpan* spans, const uint8_t* const* rows, uint8_t* dst, size_t row_begin, size_t row_end) {
  // Per output row: the vertical sums of its 2 or 3 source rows, then the
  // quotient of every 3-column window (both passes vectorise), from which the
  // 3-column cells are picked; the one 2-column cell of each group of 7 is
  // computed on its own.
  alignas(64) uint16_t acc[SRC_WIDTH + 8];
  alignas(64) uint16_t wide[SRC_WIDTH];
  for (size_t x = SRC_WIDTH; x < SRC_WIDTH + 8; ++x) acc[x] = 0;
  for (size_t y = row_begin; y < row_end; ++y) {
    const AreaSpan rs = spans[y];
    const uint8_t* r0 = rows[rs.lo];
    const uint8_t* r1 = rows[rs.lo + 1];
    const bool tall = rs.hi - rs.lo == 3;
    if (tall) {
      const uint8_t* r2 = rows[rs.lo + 2];
      for (size_t x = 0; x < SRC_WIDTH; ++x) acc[x] = static_cast<uint16_t>(r0[x] + r1[x] + r2[x]);
    } else {
      for (size_t x = 0; x < SRC_WIDTH; ++x) acc[x] = static_cast<uint16_t>(r0[x] + r1[x]);
    }
    const uint16_t m_narrow = tall ? M6 : M4;  // 2-column cells
    const uint16_t m_wide = tall ? M9 : M6;    // 3-column cells
#if defined(__SSE2__)
    const __m128i factor = _mm_set1_epi16(static_cast<short>(m_wide));
    for (size_t x = 0; x < SRC_WIDTH; x += 8) {
      const __m128i a0 = _mm_load_si128(reinterpret_cast<const __m128i*>(acc + x));
      const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x + 1));
      const __m128i a2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + x + 2));
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(a0, a1), a2);
      _mm_store_si128(reinterpret_cast<__m128i*>(wide + x), _mm_mulhi_epu16(sum, factor));
    }
#else
    for (size_t x = 0; x < SRC_WIDTH; ++x) {
      const uint16_t sum = static_cast<uint16_t>(acc[x] + acc[x + 1] + acc[x + 2]);
      wide[x] = static_cast<uint16_t>((static_cast<uint32_t>(sum) * m_wide) >> DIV_SHIFT);
    }
#endif
    uint8_t* out = dst + y * DST;
    for (size_t g = 0; g < 12; ++g) {
      const size_t a = g * 20;
      uint8_t* o = out + g * 7;
      o[0] = static_cast<uint8_t>((static_cast<uint32_t>(acc[a] + acc[a + 1]) * m_narrow) >> DIV_SHIFT);
      o[1] = static_cast<uint8_t>(wide[a + 2]);
      o[2] = static_cast<uint8_t>(wide[a + 5]);
      o[3] = static_cast<uint8_t>(wide[a + 8]);
      o[4] = static_cast<uint8_t>(wide[a + 11]);
      o[5] = static_cast<uint8_t>(wide[a + 14]);
      o[6] = static_cast<uint8_t>(wide[a + 17]);
    }
  }
}

}  // namespace tt::area_kernels
