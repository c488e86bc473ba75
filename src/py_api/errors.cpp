#include "py_api/errors.h"

#include <exception>
#include <new>

#include "py_api/exception_guard.h"

namespace tt::py {

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Runtime: return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

PyObject* raise(const Error& error) {
  PyErr_SetString(exception_class(error.kind), error.message.c_str());
  return nullptr;
}

Error to_error(const EnvError& error) {
  ErrorKind kind = ErrorKind::Runtime;
  switch (error.kind) {
    case EnvErrorKind::TypeError: kind = ErrorKind::Type; break;
    case EnvErrorKind::OverflowError: kind = ErrorKind::Overflow; break;
    case EnvErrorKind::ValueError: kind = ErrorKind::Value; break;
    case EnvErrorKind::RuntimeError: kind = ErrorKind::Runtime; break;
  }
  return Error{kind, error.message};
}

PyObject* raise(const EnvError& error) { return raise(to_error(error)); }

int raise_status(const Error& error) {
  raise(error);
  return -1;
}

void set_exception_from_current() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace tt::py
