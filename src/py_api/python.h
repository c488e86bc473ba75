// Single entry point to the CPython headers for the binding: the module is
// built against the stable ABI of CPython 3.9 and later only.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
