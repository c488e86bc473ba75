// Lane snapshots: capturing lanes, the portable byte envelope around the
// portable machine blob, and the memory a snapshot occupies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "vec_env/env_error.h"
#include "vec_env/lane_snapshot.h"
#include "vec_env/vec_env.h"

namespace tt {

inline constexpr size_t SNAPSHOT_HEADER_BYTES = 29;

/// Copies every selected lane (its machine, its row of `obs`, its bookkeeping)
/// into a snapshot bound to `env`. `mask` has `mask_len` bytes and `obs`
/// `obs_len` bytes. Refusals are RuntimeErrors and change nothing.
EnvResult<std::vector<std::optional<LaneSnapshot>>> capture_lanes(const ZuboVecEnv& env, const uint8_t* obs,
                                                                  size_t obs_len, const uint8_t* mask, size_t mask_len);

/// The portable envelope of a snapshot: header, observation, machine blob.
std::vector<uint8_t> encode_snapshot(const LaneSnapshot& snapshot);

/// Reads an envelope for lane `lane` of `env`. On failure returns a
/// ValueError with the first failing check's text. Changes nothing.
EnvResult<LaneSnapshot> decode_snapshot(const ZuboVecEnv& env, size_t lane, const uint8_t* data, size_t size);

/// Bytes the snapshot occupies: the record itself plus its owned buffers.
uint64_t snapshot_nbytes(const LaneSnapshot& snapshot);

}  // namespace tt
