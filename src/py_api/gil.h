// Running native work with the interpreter lock released.
#pragma once

#include <utility>

#include "py_api/python.h"

namespace tt::py {

/// Calls `fn()` with the interpreter lock released and returns its result
/// once the lock is held again. `fn` must not touch Python objects.
template <class F>
auto without_gil(F&& fn) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(fn)();
}

}  // namespace tt::py
