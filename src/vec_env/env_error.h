// Errors of the vectorised environment: plain values carrying the Python
// exception class they become at the binding boundary and a fixed message.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tt {

enum class EnvErrorKind : unsigned char { TypeError, OverflowError, ValueError, RuntimeError };

struct EnvError {
  EnvErrorKind kind = EnvErrorKind::RuntimeError;
  std::string message;
  bool operator==(const EnvError&) const = default;
};

/// A result or the error that prevented it.
template <class T>
using EnvResult = std::variant<T, EnvError>;

/// Outcome of an operation without a result: empty on success.
using EnvStatus = std::optional<EnvError>;

inline EnvError value_error(std::string message) { return EnvError{EnvErrorKind::ValueError, std::move(message)}; }
inline EnvError runtime_error(std::string message) { return EnvError{EnvErrorKind::RuntimeError, std::move(message)}; }

}  // namespace tt
