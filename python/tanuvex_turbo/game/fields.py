"""Names, element types and constants shared by the Python layers over the engine.

Nothing here needs Gymnasium.
"""

from __future__ import annotations

import numpy as np

from tanuvex_turbo._tanuvex_turbo import _INFO_FIELDS

__all__ = ["FRAME_RATE", "INFO_FIELDS", "PENDING_RESET_MESSAGE", "STEP_OUTPUT_DTYPES", "step_outputs"]

#: Frames per second of the emulated console.
FRAME_RATE = 60.0988

#: The refusal the engine raises when a step comes before an ended lane was reset.
PENDING_RESET_MESSAGE = (
    "cannot step while a terminated lane is pending reset; call reset(options={'reset_mask': ...}) first"
)

#: The ten game values every lane reports after each step, in ``step_into`` / ``info_into`` order,
#: with their element types, as the engine declares them.
INFO_FIELDS: tuple[tuple[str, type], ...] = tuple((name, np.dtype(dtype).type) for name, dtype in _INFO_FIELDS)

#: Element types of the ``step_into`` outputs after ``actions`` and ``obs``:
#: rewards, terminated, truncated, then the ten game values.
STEP_OUTPUT_DTYPES: tuple[type, ...] = (np.float32, np.bool_, np.bool_) + tuple(d for _, d in INFO_FIELDS)


def step_outputs(num_envs: int) -> list:
    """Fresh zeroed output arrays for ``step_into`` (everything after ``actions`` and ``obs``)."""
    return [np.zeros(num_envs, dtype) for dtype in STEP_OUTPUT_DTYPES]
