"""The cells of the search and its exploration policy: what a lane's RAM says about where it is, and how
a pick plays.

Cell (:class:`CellSpec`): the tuple (game mode, ``level_hi``, ``level_lo``,
area pointer, area type, ``x // x_bucket``, ``y // y_bucket``, loop counters). The loop
counters are the game's own count of the sections of a looping level
passed on the right path, so a lane sent back by a wrong path does not
look like progress, and a right path does.

A pick (:class:`Pick`) restores a cell's lane and plays the actions
:class:`Policy` draws from its own seed; :class:`PickResult` is what it
found. :mod:`tanuvex_turbo.explore` describes the whole search.
"""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tanuvex_turbo.game import progress
from tanuvex_turbo.game.actions import DOWN, LEFT, NOOP, RIGHT, A, B

__all__ = ["EXPLORE_ACTIONS", "CellSpec", "Pick", "PickResult", "Policy"]

#: The exploration's default actions: running and jumping both ways, A alone, down.
EXPLORE_ACTIONS: tuple[int, ...] = (
    NOOP,
    RIGHT,
    RIGHT | A,
    RIGHT | B,
    RIGHT | A | B,
    A,
    LEFT,
    LEFT | A,
    LEFT | B,
    DOWN,
)

_GAME_MODE, _AREA_POINTER, _AREA_TYPE, _SWIMMING = 0x0770, 0x0750, 0x074E, 0x0704
_X_HI, _X_LO, _Y_HI, _Y_LO = 0x006D, 0x0086, 0x00B5, 0x00CE
_LOOP_CORRECT, _LOOP_PASS = 0x06D9, 0x06DA


@dataclass(frozen=True)
class CellSpec:
    """How a lane's RAM becomes its cell (see the module documentation)."""

    x_bucket: int = 32
    y_bucket: int = 32
    loop_counters: bool = True

    def keys(self, ram: np.ndarray) -> np.ndarray:
        """The cell of each RAM row as a row of int64 values."""
        x = ram[:, _X_HI].astype(np.int64) * 256 + ram[:, _X_LO]
        y = ram[:, _Y_HI].astype(np.int64) * 256 + ram[:, _Y_LO]
        columns = [
            ram[:, _GAME_MODE],
            ram[:, progress.LEVEL_HI],
            ram[:, progress.LEVEL_LO],
            ram[:, _AREA_POINTER],
            ram[:, _AREA_TYPE],
            x // self.x_bucket,
            y // self.y_bucket,
        ]
        if self.loop_counters:
            columns += [ram[:, _LOOP_CORRECT], ram[:, _LOOP_PASS]]
        return np.stack([np.asarray(c, np.int64) for c in columns], axis=1)


@dataclass(frozen=True)
class Policy:
    """The exploration policy of one pick (see the module documentation)."""

    actions: tuple[int, ...] = EXPLORE_ACTIONS
    repeat_prob: float = 0.85
    min_steps: int = 25
    max_steps: int = 100

    def draw(self, rng: np.random.Generator) -> np.ndarray:
        """The actions of one pick (controller bytes), drawn from ``rng``."""
        steps = int(rng.integers(self.min_steps, self.max_steps + 1))
        fresh = rng.integers(0, len(self.actions), steps)
        keep = rng.random(steps) < self.repeat_prob
        keep[0] = False
        # Index of the last fresh draw at or before each step.
        last = np.maximum.accumulate(np.where(keep, 0, np.arange(steps)))
        return np.asarray(self.actions, np.uint8)[fresh[last]]


@dataclass
class Pick:
    """One exploration: restore ``state`` (a cell's), play the actions drawn from ``seed``."""

    state: Any
    base_length: int
    seed: tuple[int, ...]


@dataclass
class PickResult:
    """What one pick found: new cells (key, steps into the pick, state), visits, deaths, levels passed."""

    cells: list[tuple[tuple[int, ...], int, Any]] = field(default_factory=list)
    seen: Counter = field(default_factory=Counter)
    actions: bytes = b""
    died: bool = False
    passed: list[tuple[int, int]] = field(default_factory=list)  # (level, steps into the pick)
