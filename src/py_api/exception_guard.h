// C++ exceptions never cross into the interpreter: every function the
// interpreter calls directly (methods, properties, tp_new) is registered
// through guarded<F>, which turns std::bad_alloc into MemoryError and any
// other exception into RuntimeError. Holds and array holds are released by
// their destructors on the way out, and the interpreter lock is taken back by
// without_gil's, so the caller gets an ordinary exception.
#pragma once

#include "py_api/python.h"

namespace tt::py {

/// Sets the Python exception for the exception being handled (call only
/// inside a catch block).
void set_exception_from_current() noexcept;

template <auto F>
struct ExceptionGuard;

template <class R, class... Args, R (*F)(Args...)>
struct ExceptionGuard<F> {
  static R call(Args... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      set_exception_from_current();
      return nullptr;
    }
  }
};

/// F wrapped so that no exception leaves it (F returns a new reference or
/// nullptr with an exception set).
template <auto F>
constexpr auto guarded = &ExceptionGuard<F>::call;

}  // namespace tt::py
