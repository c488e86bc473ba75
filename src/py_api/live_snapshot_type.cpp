#include "py_api/live_snapshot_type.h"

#include <new>
#include <vector>

#include "py_api/exception_guard.h"
#include "py_api/module_types.h"
#include "vec_env/snapshots.h"

namespace tt::py {

namespace {

PyTypeObject* g_type = nullptr;

PyObject* snapshot_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for ZuboLiveSnapshot");
  return nullptr;
}

void snapshot_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<LiveSnapshotObject*>(self)->~LiveSnapshotObject();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Runs `fn(snapshot)` under a shared hold on the handle.
template <class F>
PyObject* with_snapshot(PyObject* self, F&& fn) {
  auto* object = reinterpret_cast<LiveSnapshotObject*>(self);
  Hold hold(object->holds, HoldKind::Shared);
  if (!hold.ok()) return nullptr;
  return fn(static_cast<const LaneSnapshot&>(*object->snapshot));
}

PyObject* snapshot_get_nbytes(PyObject* self, void* /*closure*/) {
  return with_snapshot(self, [](const LaneSnapshot& s) { return PyLong_FromUnsignedLongLong(snapshot_nbytes(s)); });
}

PyObject* snapshot_to_bytes(PyObject* self, PyObject* /*unused*/) {
  return with_snapshot(self, [](const LaneSnapshot& s) {
    const std::vector<uint8_t> bytes = encode_snapshot(s);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* snapshot_reduce(PyObject* /*self*/, PyObject* /*unused*/) {
  PyErr_SetString(PyExc_TypeError, "live snapshot handles are session-local and cannot be pickled");
  return nullptr;
}

PyGetSetDef g_properties[] = {
    {"nbytes", guarded<snapshot_get_nbytes>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"to_bytes", guarded<snapshot_to_bytes>, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"__reduce__", snapshot_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(snapshot_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(snapshot_dealloc)},
    {Py_tp_getset, g_properties},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tanuvex_turbo._tanuvex_turbo.ZuboLiveSnapshot",
    static_cast<int>(sizeof(LiveSnapshotObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyObject* create_live_snapshot_type() {
  PyObject* type = PyType_FromSpec(&g_spec);
  if (type == nullptr) return nullptr;
  Py_INCREF(type);  // kept for new_live_snapshot for the life of the process
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyTypeObject* live_snapshot_type() { return g_type; }

PyObject* new_live_snapshot(std::unique_ptr<LaneSnapshot> snapshot) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_type, Py_tp_alloc));
  PyObject* self = alloc(g_type, 0);
  if (self == nullptr) return nullptr;
  auto* object = reinterpret_cast<LiveSnapshotObject*>(self);
  new (&object->holds) HoldCounter{};
  new (&object->snapshot) std::unique_ptr<LaneSnapshot>(std::move(snapshot));
  return self;
}

}  // namespace tt::py
