#include "py_api/errors.h"

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

int raise_status(const Error& error) {
  raise(error);
  return -1;
}

}  // namespace tt::py
