// Holds on a Python-visible object: any number of shared holds, or one
// exclusive hold. A conflicting request fails at once instead of waiting.
// Counters are only touched with the interpreter lock held.
#pragma once

#include "py_api/python.h"

namespace tt::py {

/// 0: free; n > 0: n shared holds; -1: one exclusive hold.
struct HoldCounter {
  long state = 0;
  /// Lanes sent by step_send and not yet received: the workers own them, so
  /// only configuration reads and the asynchronous calls are allowed.
  bool lanes_in_flight = false;
};

/// Shared and Exclusive: calls that read or change lanes. Config: a shared
/// hold for reading configuration only. Async: an exclusive hold for the
/// asynchronous calls, which run while lanes are in flight.
enum class HoldKind { Shared, Exclusive, Config, Async };

inline constexpr const char* LANES_IN_FLIGHT_MESSAGE =
    "lanes are in flight; receive them with step_recv_into() or cancel them with step_cancel() first";

/// Takes a hold for the lifetime of the guard. Check ok() right after
/// construction: when false, a RuntimeError is set and nothing is held.
class Hold {
 public:
  Hold(HoldCounter& counter, HoldKind kind) : counter_(counter), kind_(kind) {
    const bool shared = kind == HoldKind::Shared || kind == HoldKind::Config;
    if (shared ? counter.state < 0 : counter.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, shared ? "Already mutably borrowed" : "Already borrowed");
      return;
    }
    if (counter.lanes_in_flight && (kind == HoldKind::Shared || kind == HoldKind::Exclusive)) {
      PyErr_SetString(PyExc_RuntimeError, LANES_IN_FLIGHT_MESSAGE);
      return;
    }
    counter.state = shared ? counter.state + 1 : -1;
    held_ = true;
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    if (!held_) return;
    if (kind_ == HoldKind::Shared || kind_ == HoldKind::Config) {
      --counter_.state;
    } else {
      counter_.state = 0;
    }
  }

  bool ok() const { return held_; }

 private:
  HoldCounter& counter_;
  HoldKind kind_;
  bool held_ = false;
};

}  // namespace tt::py
