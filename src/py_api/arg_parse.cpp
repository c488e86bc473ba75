#include "py_api/arg_parse.h"

#include <cstring>
#include <limits>

#include "py_api/numpy_api.h"
#include "py_api/py_ref.h"

namespace tt::py {

namespace {

constexpr const char* STR_AS_SEQUENCE_MESSAGE = "Can't extract `str` to `Vec`";
constexpr const char* U8_RANGE_MESSAGE = "out of range integral type conversion attempted";

// Position of the parameter called `key` (a str), or -1.
Py_ssize_t parameter_index(const Signature& sig, PyObject* key) {
  for (size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

// Iterates a sequence argument, calling item(obj) for each element. A str is
// refused outright; anything else must pass the sequence protocol check.
template <class F>
bool for_each_in_sequence(PyObject* obj, F&& item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, STR_AS_SEQUENCE_MESSAGE);
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(obj).c_str());
    return false;
  }
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyObject* raw = PyIter_Next(iter.get())) {
    PyRef element(raw);
    if (!item(element.get())) return false;
  }
  return !PyErr_Occurred();
}

// Integer in 0..255 without the argument prefix (used for sequence items).
bool extract_u8(PyObject* obj, uint8_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, U8_RANGE_MESSAGE);
    return false;
  }
  out = static_cast<uint8_t>(v);
  return true;
}

bool extract_u64(PyObject* obj, uint64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool extract_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", type_name(obj).c_str());
    return false;
  }
  PyRef utf8(PyUnicode_AsUTF8String(obj));
  if (!utf8) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

// A byte string, byte array or sequence of integers 0..255.
bool extract_bytes(PyObject* obj, std::vector<uint8_t>& out) {
  out.clear();
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out.assign(data, data + size);
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const char* data = PyByteArray_AsString(obj);
    out.assign(data, data + PyByteArray_Size(obj));
    return true;
  }
  return for_each_in_sequence(obj, [&](PyObject* item) {
    uint8_t b = 0;
    if (!extract_u8(item, b)) return false;
    out.push_back(b);
    return true;
  });
}

}  // namespace

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  std::string out;
  if (!name || !extract_str(name.get(), out)) {
    PyErr_Clear();
    return "object";
  }
  return out;
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;

  const Py_ssize_t n_pos = args != nullptr ? PyTuple_Size(args) : 0;
  if (n_pos < 0) return false;
  if (static_cast<size_t>(n_pos) > sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)", sig.function, sig.count,
                 n_pos);
    return false;
  }
  for (Py_ssize_t i = 0; i < n_pos; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return false;
      }
      const Py_ssize_t index = parameter_index(sig, key);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[index]);
        return false;
      }
      out[index] = value;
    }
  }

  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (position %zu)", sig.function, sig.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

namespace {

// Replaces the pending exception, when it is a `matched`, by a `replacement`
// whose message is "argument '<name>': " and the original's text, with the
// original as its cause.
void prefix_pending(const char* name, PyObject* matched, PyObject* replacement_class) {
  if (!PyErr_ExceptionMatches(matched)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref(type);
  PyRef value_ref(value);
  PyRef traceback_ref(traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);

  PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = PyRef(PyUnicode_FromString(""));
    if (!text) return;
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallFunctionObjArgs(replacement_class, message.get(), nullptr));
  if (!replacement) return;
  if (value != nullptr) PyException_SetCause(replacement.get(), value_ref.release());
  PyErr_SetObject(replacement_class, replacement.get());
}

}  // namespace

void add_argument_prefix(const char* name) { prefix_pending(name, PyExc_TypeError, PyExc_TypeError); }

bool convert_u64(PyObject* obj, const char* name, uint64_t& out) {
  if (extract_u64(obj, out)) return true;
  add_argument_prefix(name);
  return false;
}

bool convert_i64(PyObject* obj, const char* name, int64_t& out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    add_argument_prefix(name);
    return false;
  }
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert_u8(PyObject* obj, const char* name, uint8_t& out) {
  if (extract_u8(obj, out)) return true;
  add_argument_prefix(name);
  return false;
}

bool convert_bool(PyObject* obj, const char* name, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (!ensure_numpy()) return false;
  if (PyObject_TypeCheck(obj, &PyBoolArrType_Type)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bool'", type_name(obj).c_str());
  add_argument_prefix(name);
  return false;
}

bool convert_f64(PyObject* obj, const char* name, double& out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    add_argument_prefix(name);
    return false;
  }
  out = v;
  return true;
}

bool convert_str(PyObject* obj, const char* name, std::string& out) {
  if (extract_str(obj, out)) return true;
  add_argument_prefix(name);
  return false;
}

bool convert_path(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) return convert_str(obj, name, out);
  // The bytes os.fsencode() gives: names that are not valid UTF-8 come from
  // the file system as surrogate escapes and go back as the same bytes.
  PyRef encoded(PyUnicode_EncodeFSDefault(obj));
  if (!encoded) {
    prefix_pending(name, PyExc_UnicodeError, PyExc_ValueError);
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return false;
  if (std::memchr(data, 0, static_cast<size_t>(size)) != nullptr) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null byte", name);
    return false;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool convert_optional_i64(PyObject* obj, const char* name, std::optional<int64_t>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  int64_t v = 0;
  if (!convert_i64(obj, name, v)) return false;
  out = v;
  return true;
}

bool convert_optional_u8_list(PyObject* obj, const char* name, std::vector<uint8_t>& out) {
  out.clear();
  if (obj == Py_None) return true;
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    uint8_t b = 0;
    if (!extract_u8(item, b)) return false;
    out.push_back(b);
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

bool convert_optional_str_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
  out.clear();
  if (obj == Py_None) return true;
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    std::string text;
    if (!extract_str(item, text)) return false;
    out.push_back(std::move(text));
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

bool convert_optional_bytes_list(PyObject* obj, const char* name, std::vector<std::vector<uint8_t>>& out) {
  out.clear();
  if (obj == Py_None) return true;
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    std::vector<uint8_t> bytes;
    if (!extract_bytes(item, bytes)) return false;
    out.push_back(std::move(bytes));
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

bool convert_optional_bytes_items(PyObject* obj, const char* name,
                                  std::vector<std::optional<std::vector<uint8_t>>>& out) {
  out.clear();
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    if (item == Py_None) {
      out.emplace_back();
      return true;
    }
    std::vector<uint8_t> bytes;
    if (!extract_bytes(item, bytes)) return false;
    out.emplace_back(std::move(bytes));
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

bool convert_optional_instance_list(PyObject* obj, const char* name, PyTypeObject* type, const char* type_label,
                                    std::vector<PyRef>& out) {
  out.clear();
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    if (item == Py_None) {
      out.emplace_back();
      return true;
    }
    if (!PyObject_TypeCheck(item, type)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(item).c_str(), type_label);
      return false;
    }
    Py_INCREF(item);
    out.emplace_back(item);
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

bool convert_seed_list(PyObject* obj, const char* name, std::vector<std::optional<uint64_t>>& out) {
  out.clear();
  const bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
    if (item == Py_None) {
      out.emplace_back();
      return true;
    }
    uint64_t v = 0;
    if (!extract_u64(item, v)) return false;
    out.emplace_back(v);
    return true;
  });
  if (!ok) add_argument_prefix(name);
  return ok;
}

}  // namespace tt::py
