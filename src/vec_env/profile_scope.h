// Counting and timing of observation work for the profiled step. The plain
// instantiation (Profiled = false) runs the work and nothing else.
#pragma once

#include <cstdint>
#include <utility>

#include "core/profiler.h"

namespace tt {

/// Runs `work`; when profiled, adds 1 to record->*calls and the elapsed
/// nanoseconds (saturating) to record->*nanos.
template <bool Profiled, class F>
inline void profiled_call(ProfileRecord* record, uint64_t ProfileRecord::* calls, uint64_t ProfileRecord::* nanos,
                          F&& work) {
  if constexpr (Profiled) {
    const uint64_t t0 = monotonic_ns();
    std::forward<F>(work)();
    const uint64_t t1 = monotonic_ns();
    record->*calls += 1;
    record->*nanos = saturating_add(record->*nanos, t1 >= t0 ? t1 - t0 : 0);
  } else {
    (void)record;
    (void)calls;
    (void)nanos;
    std::forward<F>(work)();
  }
}

}  // namespace tt
