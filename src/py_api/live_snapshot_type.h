// The ZuboLiveSnapshot class: a handle owning one lane snapshot, valid only
// inside the process (and environment) that captured it.
#pragma once

#include <memory>

#include "py_api/holds.h"
#include "py_api/python.h"
#include "vec_env/lane_snapshot.h"

namespace tt::py {

struct LiveSnapshotObject {
  PyObject_HEAD HoldCounter holds;
  std::unique_ptr<LaneSnapshot> snapshot;
};

/// The class created by the module initialisation (borrowed), or nullptr
/// before it exists.
PyTypeObject* live_snapshot_type();

/// A new handle owning `snapshot`, or nullptr with an exception set.
PyObject* new_live_snapshot(std::unique_ptr<LaneSnapshot> snapshot);

}  // namespace tt::py
