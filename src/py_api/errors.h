// Errors inside the binding are values; they become Python exceptions only
// when a call returns to the interpreter.
#pragma once

#include <optional>
#include <string>

#include "py_api/python.h"
#include "vec_env/env_error.h"

namespace tt::py {

enum class ErrorKind { Type, Overflow, Value, Runtime };

struct Error {
  ErrorKind kind;
  std::string message;
};

using MaybeError = std::optional<Error>;

inline Error type_error(std::string message) { return {ErrorKind::Type, std::move(message)}; }
inline Error value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }
inline Error runtime_error(std::string message) { return {ErrorKind::Runtime, std::move(message)}; }

/// The Python exception class for `kind` (a borrowed reference).
PyObject* exception_class(ErrorKind kind);

/// Sets the Python exception described by `error`; always returns nullptr so
/// that callers can write `return raise(e);`.
PyObject* raise(const Error& error);

/// The binding's form of an environment error.
Error to_error(const EnvError& error);

/// Sets the Python exception for an error of the environment core.
PyObject* raise(const EnvError& error);

/// Same as raise(), for callers that report failure with -1.
int raise_status(const Error& error);

}  // namespace tt::py
