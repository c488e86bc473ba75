// Holds on a Python-visible object: any number of shared holds, or one
// exclusive hold. A conflicting request fails at once instead of waiting.
// Counters are only touched with the interpreter lock held.
#pragma once

#include "py_api/python.h"

namespace tt::py {

/// 0: free; n > 0: n shared holds; -1: one exclusive hold.
struct HoldCounter {
  long state = 0;
};

enum class HoldKind { Shared, Exclusive };

/// Takes a hold for the lifetime of the guard. Check ok() right after
/// construction: when false, a RuntimeError is set and nothing is held.
class Hold {
 public:
  Hold(HoldCounter& counter, HoldKind kind) : counter_(counter), kind_(kind) {
    if (kind == HoldKind::Shared) {
      if (counter.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++counter.state;
    } else {
      if (counter.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      counter.state = -1;
    }
    held_ = true;
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    if (!held_) return;
    if (kind_ == HoldKind::Shared) {
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
