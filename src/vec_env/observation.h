// Turns a lane's screen into observation slots: source-region render, crop
// mask, gray, resize, max-pooling of two frames, and display frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/profiler.h"
#include "core/renderer.h"
#include "driver/band_cache.h"
#include "driver/machine.h"
#include "vec_env/area_resize.h"
#include "vec_env/env_config.h"

namespace tt {

/// What a lane keeps from one max-pooled frame to the next: the colour index
/// lookup of its background palette and its playfield background in colour
/// indices. Used by the lane's worker only.
struct PoolCache {
  ColourIndexLut lut;
  BackgroundCache background;
  BandCache band;  // in colour indices
};

/// The observation of the types that draw nothing (Ram, Tiles) into one
/// slot: the console's work RAM after the step, or its tile view.
void write_console_observation(ObsType type, const Console& m, uint8_t* slot);

class ObservationPipeline {
 public:
  ObservationPipeline(const EnvConfig& config, const ObsGeometry& geometry, AreaResizeTable table);

  const AreaResizeTable& area_table() const { return table_; }
  const ObsGeometry& geometry() const { return geo_; }
  /// True when the fused masked gray 84 x 84 routine serves render_observation.
  bool uses_fused_path() const { return fused_; }
  /// True when the whole-frame gray 84 x 84 observation is averaged straight
  /// from the drawn rows (band, cached background, sprite rows), without
  /// assembling the frame first.
  bool uses_streamed_path() const { return streamed_; }
  /// True when the resize runs on the dedicated 240-wide gray area tables.
  bool uses_fast_area() const { return resizer_.uses_fast_area(); }

  /// Observation of the lane's current screen into one slot. `scratch` holds
  /// at least the intermediate size. With `Profiled`, counts into `record`.
  /// `band`, when given, is the lane's cache of its unscrolled top rows.
  template <bool Profiled>
  void render_observation(const Machine& m, uint8_t* scratch, uint8_t* slot, ProfileRecord* record,
                          BandCache* band = nullptr) const;
  /// The same without the fused routine (always the general render, mask and
  /// resize); with `cached` false, without the console's background cache.
  void render_observation_general(const Machine& m, uint8_t* scratch, uint8_t* slot, bool cached = true) const;

  /// Colour indices of the source region into a pool plane (Ws x Hs bytes);
  /// rows the crop mask paints over are not drawn.
  void pool_render(const Machine& m, uint8_t* plane, PoolCache& cache) const;
  /// Newest slot from pool planes A and B (colour indices, in either order)
  /// after `frames_run` frames: the colour of each pixel is the channel-wise
  /// maximum of its two colours (the one frame when one ran), then gray, mask
  /// and resize. `work` holds k x Ws x Hs bytes.
  template <bool Profiled>
  void finish_maxpool(const uint8_t* a, const uint8_t* b, uint64_t frames_run, uint8_t* work, uint8_t* slot,
                      ProfileRecord* record) const;
  /// Bytes of the intermediate region the pool planes and `work` take, from its start.
  size_t pool_plane_size() const { return geo_.src_width * geo_.src_height; }

  /// The straightforward max-pool, kept as the reference of the two above:
  /// RGB render of the source region into a pool buffer (3 x Ws x Hs),
  /// masked in mask mode ...
  void pool_render_reference(const Machine& m, uint8_t* pool) const;
  /// ... and the newest slot from two such buffers (A is modified).
  void finish_maxpool_reference(uint8_t* a, uint8_t* b, uint64_t frames_run, uint8_t* slot) const;

  /// Paints the cropped margins of one 240 x 224 plane with the fill value.
  void apply_crop_mask(uint8_t* plane) const;
  /// Resizes k planes of Ws x Hs into k planes of W x H.
  void resize_planes(const uint8_t* src, uint8_t* dst, size_t planes) const;

  /// RGB render of the whole visible frame (three planes of 240 x 224).
  static void display_render(const Machine& m, uint8_t* frame);

 private:
  // k planes, masked; `cached`: the gray playfield through the console's background cache
  void render_source(const Machine& m, uint8_t* out, bool cached = true) const;
  void fused_gray_84(const Machine& m, uint8_t* frame, uint8_t* slot) const;
  template <bool Profiled>
  void streamed_gray_84(const Machine& m, uint8_t* frame, uint8_t* slot, ProfileRecord* record, BandCache* band) const;

  EnvConfig config_;
  ObsGeometry geo_;
  AreaResizeTable table_;
  PlaneResizer resizer_;
  Rect source_rect_;
  bool full_frame_source_ = false;  // source region = whole visible frame
  bool fused_ = false;
  bool streamed_ = false;
  size_t fused_first_row_ = 0;  // first output row fed by playfield rows
  // Source rows [pool_row_begin_, pool_row_end_) are drawn for max-pooling
  // (the others are painted by the mask).
  size_t pool_row_begin_ = 0, pool_row_end_ = 0;
};

}  // namespace tt
