// The dedicated area resize with 256-bit vectors, chosen at run time on
// processors that have them (the module itself targets baseline x86-64).
#include <cstring>

#include "vec_env/area_resize_kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TT_HAVE_AVX2_KERNEL 1
#endif

namespace tt::area_kernels {

#if TT_HAVE_AVX2_KERNEL

bool avx2_supported() { return __builtin_cpu_supports("avx2"); }

__attribute__((target("avx2"))) void rows_avx2(const AreaSpan* spans, const uint8_t* const* rows, uint8_t* dst,
                                               size_t row_begin, size_t row_end) {
  alignas(64) uint16_t acc[SRC_WIDTH + 16];
  alignas(64) uint8_t wide[SRC_WIDTH + 16];  // quotient of the 3-column window starting at each column
  alignas(16) uint8_t out_row[DST + 16];     // the group stores run 2 bytes past the row
  _mm256_store_si256(reinterpret_cast<__m256i*>(acc + SRC_WIDTH), _mm256_setzero_si256());
  // Bytes 0, 3, ..., 15 of a window starting 2 columns into a group are its 6
  // 3-column cells.
  const __m128i pick = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  for (size_t y = row_begin; y < row_end; ++y) {
    const AreaSpan rs = spans[y];
    const uint8_t* r0 = rows[rs.lo];
    const uint8_t* r1 = rows[rs.lo + 1];
    const bool tall = rs.hi - rs.lo == 3;
    const uint8_t* r2 = tall ? rows[rs.lo + 2] : r1;
    for (size_t x = 0; x < SRC_WIDTH; x += 16) {
      __m256i sum = _mm256_add_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x))),
                                     _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x))));
      if (tall)
        sum = _mm256_add_epi16(sum, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r2 + x))));
      _mm256_store_si256(reinterpret_cast<__m256i*>(acc + x), sum);
    }
    const uint16_t m_narrow = tall ? M6 : M4;  // 2-column cells
    const __m256i factor = _mm256_set1_epi16(static_cast<short>(tall ? M9 : M6));
    for (size_t x = 0; x < SRC_WIDTH; x += 16) {
      const __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(acc + x));
      const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + x + 1));
      const __m256i a2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + x + 2));
      const __m256i q = _mm256_mulhi_epu16(_mm256_add_epi16(_mm256_add_epi16(a0, a1), a2), factor);
      // Quotients are at most 255: pack the 16 of them to bytes in order.
      const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
      _mm_store_si128(reinterpret_cast<__m128i*>(wide + x), bytes);
    }
    for (size_t g = 0; g < 12; ++g) {
      const size_t a = g * 20;
      const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(wide + a + 2));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out_row + g * 7 + 1), _mm_shuffle_epi8(window, pick));
      out_row[g * 7] = static_cast<uint8_t>((static_cast<uint32_t>(acc[a] + acc[a + 1]) * m_narrow) >> DIV_SHIFT);
    }
    std::memcpy(dst + y * DST, out_row, DST);
  }
}

#else

bool avx2_supported() { return false; }

void rows_avx2(const AreaSpan* spans, const uint8_t* const* rows, uint8_t* dst, size_t row_begin, size_t row_end) {
  rows_portable(spans, rows, dst, row_begin, row_end);
}

#endif

}  // namespace tt::area_kernels
