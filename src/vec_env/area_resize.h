// Resize tables and the three resize algorithms for one image plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vec_env/env_config.h"

namespace tt {

/// Half-open source box averaged into one output pixel.
struct AreaCell {
  uint64_t x0 = 0;
  uint64_t x1 = 0;
  uint64_t y0 = 0;
  uint64_t y1 = 0;
  uint32_t count = 0;  // (x1 - x0) * (y1 - y0)
  bool operator==(const AreaCell&) const = default;
};

/// Cells of an area resize, row-major by output pixel.
struct AreaResizeTable {
  std::vector<AreaCell> cells;
  uint64_t src_width = 0;
  uint64_t src_height = 0;
  uint64_t dst_width = 0;
  uint64_t dst_height = 0;
};

/// Source interval [lo, hi) of output index `i` when `src` pixels map onto `dst`.
struct AreaSpan {
  uint32_t lo = 0;
  uint32_t hi = 0;
};
AreaSpan area_span(uint64_t i, uint64_t src, uint64_t dst);

/// Builds the table for src_width x src_height -> dst_width x dst_height (all > 0).
AreaResizeTable build_area_resize_table(uint64_t src_width, uint64_t src_height, uint64_t dst_width,
                                        uint64_t dst_height);

/// Resizes single planes of Ws x Hs bytes to W x H bytes with one algorithm.
/// All per-axis tables are built once; resizing allocates nothing.
class PlaneResizer {
 public:
  PlaneResizer() = default;
  PlaneResizer(const AreaResizeTable& table, ResizeAlgorithm algorithm);

  /// One plane, src (Ws x Hs) -> dst (W x H).
  void resize(const uint8_t* src, uint8_t* dst) const;
  /// Area resize of output rows [row_begin, row_end) only; source rows outside
  /// the cells of those rows are not read.
  void resize_area_rows(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const;
  /// Dedicated area resize of output rows [row_begin, row_end) from source rows
  /// given as pointers (rows[y] = source row y, 240 bytes); only with
  /// uses_fast_area(), and only the rows those output rows cover are read.
  void resize_area_fast_rows(const uint8_t* const* rows, uint8_t* dst, size_t row_begin, size_t row_end) const;
  /// True when the area resize uses the 240-wide to 84 x 84 gray tables.
  bool uses_fast_area() const { return fast_area_; }
  /// True when those tables run on 256-bit vectors (chosen from the processor).
  bool uses_avx2_kernel() const { return avx2_; }
  /// Runs the dedicated tables with the baseline instruction set from now on
  /// (both kernels give the same bytes; this lets them be compared).
  void use_portable_kernel() { avx2_ = false; }

  size_t src_width() const { return src_w_; }
  size_t src_height() const { return src_h_; }
  size_t dst_width() const { return dst_w_; }
  size_t dst_height() const { return dst_h_; }

 private:
  void resize_area_general(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const;
  void resize_area_fast(const uint8_t* src, uint8_t* dst, size_t row_begin, size_t row_end) const;
  void resize_nearest(const uint8_t* src, uint8_t* dst) const;
  void resize_bilinear(const uint8_t* src, uint8_t* dst) const;

  ResizeAlgorithm algorithm_ = ResizeAlgorithm::Area;
  size_t src_w_ = 0, src_h_ = 0, dst_w_ = 0, dst_h_ = 0;
  bool fast_area_ = false;
  bool avx2_ = false;                            // dedicated tables on 256-bit vectors
  std::vector<AreaSpan> cols_, rows_;            // area spans per output column / row
  std::vector<uint32_t> near_x_, near_y_;        // nearest source column / row
  std::vector<uint32_t> bx0_, bx1_, by0_, by1_;  // bilinear neighbours
  std::vector<float> bfx_, bfy_;                 // bilinear fractions
};

}  // namespace tt
