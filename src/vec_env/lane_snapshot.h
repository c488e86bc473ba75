// What a lane can be restored from: a full copy of its console and its
// bookkeeping, bound to the environment it belongs to.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/machine.h"

namespace tt {

/// Identity of one environment instance; compared by address only.
struct EnvToken {};

struct LaneSnapshot {
  Machine machine;
  std::vector<uint8_t> observation;  // exactly one lane observation
  int32_t active_state_index = -1;
  uint8_t last_action = 0;
  uint64_t rng_state = 1;
  std::shared_ptr<const EnvToken> env_token;
};

}  // namespace tt
