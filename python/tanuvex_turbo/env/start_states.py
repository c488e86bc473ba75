"""Where each lane's episodes start, and the choices a reset makes: seeds and start states.

Every lane has a start state: a catalog index, -1 for power-on, or
``"random"`` (a uniform draw from the catalog at every reset).
:class:`StartStates` keeps them, resolves the names and indices a user
gives (constructor, ``options["state"]`` / ``options["states"]``), and picks
the catalog index of each lane a reset loads. :func:`lane_seeds` turns a
reset's ``seed`` into one seed per lane and the new random generator.
Every check here changes nothing: a refused reset leaves the lanes' starts as
they were.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Union

import numpy as np
from gymnasium.utils import seeding

__all__ = ["DEFAULT_START_STATE", "RANDOM_STATE", "ResetChoices", "StartStates", "StateChoice", "lane_seeds"]

#: Marks a lane whose start state is drawn at random from the catalog at every reset.
RANDOM_STATE = "random"

#: The start state of every lane when the constructor is given none, if the catalog has it.
DEFAULT_START_STATE = "1-1"

StateChoice = Union[int, str, None]

#: What a checked reset will do: whether a lane whose game goes on may go on, each lane's seed, the
#: new ``(np_random, np_random_seed)`` (None: unchanged) and the new starts (None: unchanged).
ResetChoices = tuple[bool, list[Union[int, None]], Any, Union[tuple[np.ndarray, np.ndarray], None]]


class StartStates:
    """Each lane's start state (a catalog index, or random), and the checks of a new choice."""

    def __init__(self, names: Sequence[str], num_envs: int) -> None:
        self.names = list(names)
        self.num_envs = num_envs
        self.index = np.full(num_envs, default_start_index(self.names), np.int32)
        self.random = np.zeros(num_envs, np.bool_)
        self._indices = np.zeros(num_envs, np.int32)

    def per_lane(self) -> list[int | str]:
        """Each lane's start state: a catalog index, -1 for power-on, or ``"random"``."""
        return [RANDOM_STATE if r else int(i) for i, r in zip(self.index, self.random)]

    def take(self, starts: tuple[np.ndarray, np.ndarray]) -> None:
        """Makes ``starts`` (from :meth:`after`) the lanes' start states."""
        self.index, self.random = starts

    def for_reset(self, mask: np.ndarray, generator: Callable[[], np.random.Generator]) -> np.ndarray:
        """Catalog index per lane for a reset of ``mask``; random lanes draw a new one from ``generator()``."""
        indices = self._indices
        np.copyto(indices, self.index)
        draw = mask & self.random
        if draw.any():
            indices[draw] = generator().integers(0, len(self.names), size=int(draw.sum()))
        return indices.copy()

    def after(self, mask: np.ndarray, choice: Any, what: str, broadcast: bool = False) -> tuple[np.ndarray, np.ndarray]:
        """Each lane's start state (index, random) once the lanes of ``mask`` take ``choice``; changes nothing."""
        n = self.num_envs
        if broadcast or isinstance(choice, (str, int, np.integer)) or choice is None:
            per_lane = [choice] * n
        else:
            per_lane = list(choice)
            if len(per_lane) != n:
                raise ValueError(f"{what} must name one start state per lane ({n}), got {len(per_lane)}")
        resolved = [None if value is None else self._resolve(value, what) for value in per_lane]
        index, random = self.index.copy(), self.random.copy()
        for lane in np.flatnonzero(mask):
            value = resolved[lane]
            if value is None:
                continue
            random[lane] = value == RANDOM_STATE
            index[lane] = 0 if value == RANDOM_STATE else value
        return index, random

    def reset_choices(self, seed: Any, options: dict[str, Any], mask: np.ndarray) -> ResetChoices:
        """Checks a reset's ``seed`` and ``options`` (``reset_mask`` already taken out), changing nothing."""
        seeds, generator = lane_seeds(seed, self.num_envs)
        if "state" in options and "states" in options:
            raise ValueError("give either options['state'] or options['states'], not both")
        # Under episodic_life a lane whose episode ended by a lost life plays on,
        # unless this reset asks for a seed or a start state.
        go_on = seed is None and "state" not in options and "states" not in options
        starts = None
        if "state" in options:
            starts = self.after(mask, options.pop("state"), "options['state']", broadcast=True)
        elif "states" in options:
            starts = self.after(mask, options.pop("states"), "options['states']")
        if options:
            raise ValueError(f"unknown reset options: {', '.join(sorted(options))}")
        return go_on, seeds, generator, starts

    def _resolve(self, value: Any, what: str) -> int | str:
        names = self.names
        if not names:
            raise ValueError(f"{what}: this environment has no start states (pass states=... to the constructor)")
        if isinstance(value, str):
            if value == RANDOM_STATE and RANDOM_STATE not in names:
                return RANDOM_STATE
            try:
                return names.index(value)
            except ValueError:
                raise ValueError(f"{what}: unknown start state {value!r}; known: {', '.join(names)}") from None
        if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
            if not 0 <= int(value) < len(names):
                raise ValueError(f"{what}: start state index {int(value)} is outside 0..{len(names) - 1}")
            return int(value)
        raise TypeError(f"{what}: a start state is a name or an index, got {type(value).__name__}")


def lane_seeds(seed: Any, n: int) -> tuple[list[int | None], Any]:
    """Each of ``n`` lanes' seed, and the new ``(np_random, np_random_seed)`` they imply (None: unchanged)."""
    if seed is None:
        return [None] * n, None
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        seed = int(seed)
        if seed < 0:
            raise ValueError(f"seed must be a non-negative integer, got {seed}")
        return [(seed + i) % 2**64 for i in range(n)], seeding.np_random(seed)
    if not isinstance(seed, (Sequence, np.ndarray)) or isinstance(seed, (str, bytes)):
        raise TypeError(f"seed must be an integer, one seed (or None) per lane, or None; got {type(seed).__name__}")
    seeds = list(seed)
    if len(seeds) != n:
        raise ValueError(
            f"If seeds are passed as a list the length must match num_envs={n} but got length={len(seeds)}."
        )
    for value in seeds:
        if value is not None and (not isinstance(value, (int, np.integer)) or isinstance(value, bool) or value < 0):
            raise ValueError(f"each seed must be None or a non-negative integer, got {value!r}")
    given = [int(v) for v in seeds if v is not None]
    generator = None
    if given:
        entropy = int(np.random.SeedSequence(given).generate_state(1, np.uint64)[0])
        generator = seeding.np_random(entropy)
    return [None if v is None else int(v) % 2**64 for v in seeds], generator


def default_start_index(names: Sequence[str]) -> int:
    """The catalog entry named DEFAULT_START_STATE, else the first entry; -1 (power-on) without a catalog."""
    if DEFAULT_START_STATE in names:
        return list(names).index(DEFAULT_START_STATE)
    return 0 if names else -1
