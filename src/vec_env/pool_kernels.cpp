#include "vec_env/pool_kernels.h"

#include <bit>

#include "core/palette.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TT_HAVE_AVX2_POOL 1
#endif

namespace tt::pool_kernels {

void pool_gray_portable(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin, size_t end) {
  const uint8_t* t = PAIR_MAX_GRAY.data();
  for (size_t i = begin; i < end; ++i) out[i] = t[(unsigned(a[i]) << 6) | b[i]];
}

#if TT_HAVE_AVX2_POOL

namespace {

// Where both frames show the same colour the pooled gray is that colour's
// gray: 32 pixels at a time from the 64-entry gray table (four 16-entry
// quarters picked by bits 4..5 of the index); the pixels whose colours
// differ are then looked up in the pair table one by one.
__attribute__((target("avx2"))) void pool_gray_avx2(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin,
                                                    size_t end) {
  __m256i quarter[4];
  for (int q = 0; q < 4; ++q) {
    quarter[q] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(NES_PALETTE_GRAY.data() + 16 * q)));
  }
  const __m256i low_bits = _mm256_set1_epi8(0x0F);
  const __m256i one = _mm256_set1_epi8(1), two = _mm256_set1_epi8(2), three = _mm256_set1_epi8(3);
  const uint8_t* t = PAIR_MAX_GRAY.data();
  size_t i = begin;
  for (; i + 32 <= end; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i lo = _mm256_and_si256(y, low_bits);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(y, 4), three);
    __m256i gray = _mm256_shuffle_epi8(quarter[0], lo);
    gray = _mm256_blendv_epi8(gray, _mm256_shuffle_epi8(quarter[1], lo), _mm256_cmpeq_epi8(hi, one));
    gray = _mm256_blendv_epi8(gray, _mm256_shuffle_epi8(quarter[2], lo), _mm256_cmpeq_epi8(hi, two));
    gray = _mm256_blendv_epi8(gray, _mm256_shuffle_epi8(quarter[3], lo), _mm256_cmpeq_epi8(hi, three));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), gray);
    for (uint32_t differ = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, y))); differ != 0;
         differ &= differ - 1) {
      const size_t k = i + static_cast<size_t>(std::countr_zero(differ));
      out[k] = t[(unsigned(a[k]) << 6) | b[k]];
    }
  }
  pool_gray_portable(a, b, out, i, end);
}

const bool use_avx2 = __builtin_cpu_supports("avx2");

}  // namespace

void pool_gray(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin, size_t end) {
  if (use_avx2) {
    pool_gray_avx2(a, b, out, begin, end);
  } else {
    pool_gray_portable(a, b, out, begin, end);
  }
}

#else

void pool_gray(const uint8_t* a, const uint8_t* b, uint8_t* out, size_t begin, size_t end) {
  pool_gray_portable(a, b, out, begin, end);
}

#endif

}  // namespace tt::pool_kernels
