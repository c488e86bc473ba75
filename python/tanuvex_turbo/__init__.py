"""Batched emulation of the supported game as a reinforcement-learning environment.

The compiled core, ``tanuvex_turbo._tanuvex_turbo``, runs many emulated consoles
("lanes") side by side. One ``_RetroVecEnv`` drives all lanes in lock-step
through batched methods that read actions from, and write observations,
rewards, episode flags and game variables into, caller-owned NumPy arrays.
This package re-exports the extension's public names.

Rewards and episode ends, the same here and in ``TurboVectorEnv``: a step's
reward is the sum over its emulated frames of the forward movement of the
horizontal scroll byte ``xscroll_lo`` (per frame its increase, floored at 0,
and 0 on the frame where the byte wraps around); there is no death or time
penalty. A lane's episode ends (``terminated``) when its lives byte reads
0xFF (game over after the last life), or, with ``terminate_on_flag``, when
``x_pos`` reaches 3160 during a frame (below before it, at or above after),
one constant for every level. A lost life alone does not end an episode;
``truncated`` is always false.

Importing the package registers the Gymnasium id ``"TanuvexTurbo-v0"`` (without
importing Gymnasium: the id appears when Gymnasium is imported, before or
after), so ``gymnasium.make_vec("TanuvexTurbo-v0", num_envs=8)`` works, and
``gymnasium.register_envs(tanuvex_turbo)`` reads as it does for other packages.
"""

from __future__ import annotations

import importlib.metadata as _metadata

from tanuvex_turbo import _tanuvex_turbo
from tanuvex_turbo._tanuvex_turbo import (
    NES_HEIGHT,
    NES_WIDTH,
    VISIBLE_FRAME_HEIGHT,
    VISIBLE_FRAME_WIDTH,
    ZuboLiveSnapshot,
    _RetroVecEnv,
    extra_info_descriptors,
)
from tanuvex_turbo.env import _registration

try:
    __version__: str = _metadata.version("tanuvex_turbo")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

# The Gymnasium class is listed with the extension's names, but loaded on
# first use (below), so that the package imports without Gymnasium.
__all__ = [*_tanuvex_turbo.__all__, "TurboVectorEnv"]

_registration.register_when_gymnasium_is_imported()


def __getattr__(name):
    # Gymnasium is an optional extra (pip install 'tanuvex_turbo[gym]'); the
    # class's module raises an ImportError that says so when it is missing.
    if name == "TurboVectorEnv":
        from tanuvex_turbo.env.vector_env import TurboVectorEnv

        return TurboVectorEnv
    raise AttributeError(f"module 'tanuvex_turbo' has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), "TurboVectorEnv"})
