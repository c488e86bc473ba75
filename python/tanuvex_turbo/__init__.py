"""Batched emulation of the supported game as a reinforcement-learning environment.

The compiled core, ``tanuvex_turbo._tanuvex_turbo``, runs many emulated consoles
("lanes") side by side. One ``_RetroVecEnv`` drives all lanes in lock-step
through batched methods that read actions from, and write observations,
rewards, episode flags and game variables into, caller-owned NumPy arrays.
This package re-exports the extension's public names.
"""

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

__all__ = list(_tanuvex_turbo.__all__)


def __getattr__(name):
    # The Gymnasium class is loaded on first use, so that the package imports
    # without Gymnasium (an optional extra: pip install 'tanuvex_turbo[gym]').
    if name == "TurboVectorEnv":
        from tanuvex_turbo.vector_env import TurboVectorEnv

        return TurboVectorEnv
    raise AttributeError(f"module 'tanuvex_turbo' has no attribute {name!r}")
