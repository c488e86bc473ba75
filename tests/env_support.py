"""Array helpers shared by the environment tests."""

from __future__ import annotations

import struct

import numpy as np

# step_into arguments after `actions` and `obs`, with their element types.
STEP_OUTPUTS = [
    ("rewards", np.float32),
    ("terminated", np.bool_),
    ("truncated", np.bool_),
    ("x_pos", np.uint16),
    ("coins", np.uint8),
    ("level_hi", np.int16),
    ("level_lo", np.int16),
    ("lives", np.int16),
    ("score", np.uint32),
    ("scrolling", np.int16),
    ("time", np.uint16),
    ("xscroll_hi", np.uint8),
    ("xscroll_lo", np.uint8),
]
INFO_FIELDS = STEP_OUTPUTS[3:]
STEP_ARGUMENTS = ["actions", "obs"] + [name for name, _ in STEP_OUTPUTS]


def info_arrays(n):
    """The ten game-info output arrays for n lanes, keyed by argument name."""
    return {name: np.zeros(n, dtype) for name, dtype in INFO_FIELDS}


def step_arrays(env, action=0):
    """Fresh arrays for one step_into call, keyed by argument name."""
    n = env.num_envs
    arrays = {"actions": np.full(n, action, np.uint8), "obs": np.zeros(env.obs_shape(), np.uint8)}
    arrays.update({name: np.zeros(n, dtype) for name, dtype in STEP_OUTPUTS})
    return arrays


def ram_of(env):
    """Every lane's work RAM as an (N, 2048) array."""
    out = np.zeros(env.ram_shape(), np.uint8)
    env.ram_into(out)
    return out


def fortran(array):
    """A column-major copy (same shape and values, not C-contiguous)."""
    return np.asfortranarray(array)


def strided(array):
    """A view with the same shape and values whose elements are not adjacent."""
    wide = np.zeros((array.shape[0] * 2,) + array.shape[1:], array.dtype)
    view = wide[::2]
    view[...] = array
    return view


LIVES_ADDRESS = 0x075A


def with_ram(image, changes):
    """A copy of a state image with some work-RAM bytes replaced ({address: value})."""
    at = image.find(b"RAM\0" + struct.pack("<I", 2048))
    assert at >= 0, "state image without a RAM chunk"
    patched = bytearray(image)
    for address, value in changes.items():
        patched[at + 8 + address] = value
    return bytes(patched)


def game_over_image(image):
    """A copy of a state image whose lives byte reads 0xFF (game over): a lane
    started from it ends on the first frame of its first step."""
    return with_ram(image, {LIVES_ADDRESS: 0xFF})
