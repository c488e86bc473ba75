"""The game's progress read from its own state: levels, the end of a level, a dying player.

The engine reports ``level_hi`` / ``level_lo`` and ends episodes at ``x_pos``
3160 (``terminate_on_flag``), one constant for every level. That rule is late
or early on many levels and never fires on the last level of a world. The
signals here come from the game's own bookkeeping in RAM instead:

``level_end``
    the player has reached the goal of the level: the goal pole of an
    ordinary level, the bridge switch at the end of the last level of a world.
    It is raised on the step in which the game takes control of the player
    for the end-of-level sequence, and it stays raised until the next level
    starts (or the lane is reset).
``playable``
    the level runs and the player answers the controller: the game is in
    play mode, the mode's routine has reached its running stage and the
    player's task is normal play. The first frame of a level at which it
    holds is the level's *first playable moment*: the frame in which the game
    hands the player over (the timer shows its full value, the player stands
    at the level's entrance); start states are taken there.
``dying``
    the player has been hit or has fallen into a pit: raised on the step in
    which the game starts its death sequence, about 45 steps (of 4 frames)
    before ``lives`` drops. Falling below the screen is not a death by
    itself: some bonus areas are left that way.

All are pure functions of a lane's RAM (:func:`level_end`, :func:`playable`, :func:`dying`).

Levels are numbered by an index ``4 * level_hi + level_lo`` (0 is ``1-1``, 31
is ``8-4``) and named as on screen by :func:`level_name`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

__all__ = [
    "LAST_LEVEL",
    "NO_OBSERVATION",
    "LaneTracker",
    "Target",
    "dying",
    "level_end",
    "level_index",
    "level_name",
    "level_of",
    "parse_level",
    "parse_target",
    "playable",
]

# RAM addresses of the values read here.
PLAYER_TASK = 0x000E
GAME_MODE = 0x0770
GAME_MODE_STAGE = 0x0772  # the stage of the game mode's routine
LEVEL_HI = 0x075F
LEVEL_LO = 0x075C
LIVES = 0x075A

# Player tasks (RAM[PLAYER_TASK]) found by experiment on real play.
TASK_GOAL_POLE = 0x04  # sliding down the goal pole
TASK_LEVEL_END_WALK = 0x05  # walking off after the pole; the level changes at its end
TASK_PIT_DEATH = 0x06  # fell into a pit
TASK_NORMAL = 0x08  # normal play: the player answers the controller
TASK_HIT_DEATH = 0x0B  # hit by an enemy or the timer ran out
# Set when the game has decided that the player fell to his death (the
# player task stays that of normal play until the death sequence ends); it
# is not set when a bonus area is left by falling below the screen.
DEATH_FALL = 0x0712
GAME_MODE_TITLE = 0
GAME_MODE_PLAY = 1
GAME_MODE_WORLD_END = 2  # the bridge switch of the last level of a world was reached
STAGE_RUNNING = 3  # GAME_MODE_STAGE once the level is set up and runs

# Tables over the 256 values of the player task byte: a lookup costs far less per step than np.isin.
_END_TASK = np.zeros(256, np.bool_)
_END_TASK[[TASK_GOAL_POLE, TASK_LEVEL_END_WALK]] = True
_DEATH_TASK = np.zeros(256, np.bool_)
_DEATH_TASK[[TASK_PIT_DEATH, TASK_HIT_DEATH]] = True

#: Index of the last level of the game (8-4).
LAST_LEVEL = 31

#: Engine arguments for lanes whose observations nobody reads: nothing is
#: drawn, and the observation is one byte (a one-pixel source region, gray,
#: no stack, 1 x 1) that stays 0, which is all a saved lane carries of it.
NO_OBSERVATION: dict[str, Any] = {
    "grayscale": True,
    "frame_stack": 1,
    "resize_width": 1,
    "resize_height": 1,
    "resize_algorithm": "nearest",
    "render_observations": False,
    "crop_mode": "remove",
    "crop_top": 223,
    "crop_bottom": 0,
    "crop_left": 239,
    "crop_right": 0,
}


def level_index(ram: np.ndarray) -> np.ndarray:
    """``4 * level_hi + level_lo`` of each RAM row (``ram`` of shape ``(lanes, 2048)``).

    Values out of the game's range (the RAM of a console just switched on,
    before the game has set it up) count as level 0.
    """
    return level_of(ram[:, LEVEL_HI], ram[:, LEVEL_LO])


def level_of(level_hi: Any, level_lo: Any) -> Any:
    """The level index of ``level_hi`` / ``level_lo`` values (0 where they are out of range)."""
    hi, lo = np.asarray(level_hi, np.int64), np.asarray(level_lo, np.int64)
    return np.where((hi <= 7) & (lo <= 3), hi * 4 + lo, 0)


def level_end(ram: np.ndarray) -> np.ndarray:
    """True where the player has reached the goal of the level (see the module documentation)."""
    return (ram[:, GAME_MODE] == GAME_MODE_WORLD_END) | (
        (ram[:, GAME_MODE] == GAME_MODE_PLAY) & _END_TASK[ram[:, PLAYER_TASK]]
    )


def playable(ram: np.ndarray) -> np.ndarray:
    """True where the level runs and the player answers the controller (see the module documentation)."""
    return (
        (ram[:, GAME_MODE] == GAME_MODE_PLAY)
        & (ram[:, GAME_MODE_STAGE] == STAGE_RUNNING)
        & (ram[:, PLAYER_TASK] == TASK_NORMAL)
    )


def dying(ram: np.ndarray) -> np.ndarray:
    """True where the game runs its death sequence for the player."""
    in_death = _DEATH_TASK[ram[:, PLAYER_TASK]] | (ram[:, DEATH_FALL] != 0)
    return (ram[:, GAME_MODE] == GAME_MODE_PLAY) & in_death


def level_name(index: int) -> str:
    """``"W-S"`` of a level index: 0 is ``"1-1"``, 7 is ``"2-4"``."""
    return f"{index // 4 + 1}-{index % 4 + 1}"


def parse_level(text: str) -> int:
    """The index of a level named ``"W-S"`` (worlds 1..8, levels 1..4)."""
    world, sep, stage = text.strip().partition("-")
    if sep and world.isdigit() and stage.isdigit() and 1 <= int(world) <= 8 and 1 <= int(stage) <= 4:
        return (int(world) - 1) * 4 + int(stage) - 1
    raise ValueError(f"a level is written W-S with W in 1..8 and S in 1..4, got {text!r}")


@dataclass(frozen=True)
class Target:
    """What a search or a replay must reach: the end of level ``last`` (an index)."""

    kind: str  # "level", "world" or "game"
    last: int

    def reached_by(self, passed_level: int) -> bool:
        """True when passing ``passed_level`` reaches the target."""
        return passed_level >= self.last

    def __str__(self) -> str:
        if self.kind == "level":
            return f"level {level_name(self.last)}"
        if self.kind == "world":
            return f"world {self.last // 4 + 1}"
        return "game"


def parse_target(text: str, start_level: int = 0) -> Target:
    """``"level W-S"``, ``"world W"``, ``"game"``; a bare ``"level"`` or ``"world"`` means the start's own."""
    kind, _, rest = text.strip().partition(" ")
    rest = rest.strip()
    if kind == "game" and not rest:
        return Target("game", LAST_LEVEL)
    if kind == "level":
        return Target("level", parse_level(rest) if rest else start_level)
    if kind == "world":
        if not rest:
            return Target("world", start_level // 4 * 4 + 3)
        if rest.isdigit() and 1 <= int(rest) <= 8:
            return Target("world", (int(rest) - 1) * 4 + 3)
    raise ValueError(f"a target is 'level W-S', 'world W' or 'game', got {text!r}")


class LaneTracker:
    """Steps an engine's lanes and follows each lane's progress through the game.

    Per lane it keeps the level index, the ``level_end`` and ``dying``
    signals of the last step, and the levels passed since the lane was
    reset: a level counts as passed when its end signal rises, or when the
    game moves on from it without one (a warp, for instance). The engine must
    be built with ``terminate_on_flag=False``; a lane whose game is over is
    marked in :attr:`game_over` and stays left out of later steps until reset.
    """

    def __init__(self, engine: Any) -> None:
        self.engine = engine
        n = engine.num_envs
        self.num_envs = n
        self.obs = np.zeros(engine.obs_shape(), np.uint8)
        self.ram = np.zeros(engine.ram_shape(), np.uint8)
        self.rewards = np.zeros(n, np.float32)
        self.terminated = np.zeros(n, np.bool_)
        self.truncated = np.zeros(n, np.bool_)
        from tanuvex_turbo.game.fields import INFO_FIELDS

        self.info = {name: np.zeros(n, dtype) for name, dtype in INFO_FIELDS}
        self.level = np.zeros(n, np.int64)
        self.level_end = np.zeros(n, np.bool_)
        self.dying = np.zeros(n, np.bool_)
        self.game_over = np.zeros(n, np.bool_)
        self.passed = np.full(n, -1, np.int64)  # highest level passed since the reset
        self._new_passes: list[list[int]] = [[] for _ in range(n)]

    def _read(self, lanes: np.ndarray) -> None:
        self.engine.ram_into(self.ram)
        level = level_index(self.ram)
        end = level_end(self.ram)
        for lane in np.flatnonzero(lanes):
            passes = self._new_passes[lane] = []
            first = self.passed[lane] + 1
            if level[lane] > self.level[lane]:
                passes.extend(range(max(first, self.level[lane]), self.level[lane] + 1))
            elif end[lane] and not self.level_end[lane] and level[lane] >= first:
                passes.append(int(level[lane]))
            if passes:
                self.passed[lane] = passes[-1]
        np.copyto(self.level, level, where=lanes)
        np.copyto(self.level_end, end, where=lanes)
        np.copyto(self.dying, dying(self.ram), where=lanes)

    def reset(self, indices: np.ndarray, mask: np.ndarray | None = None) -> None:
        """Resets the lanes of ``mask`` (all by default) to catalog entries ``indices`` (-1 power-on)."""
        mask = np.ones(self.num_envs, np.bool_) if mask is None else mask
        self.engine.reset_masked_into(self.obs, mask, indices.astype(np.int32), [None] * self.num_envs)
        self._after_reset(mask)

    def restore(self, mask: np.ndarray, snapshots: list[Any]) -> None:
        """Restores the lanes of ``mask`` from live snapshots (one entry per lane, None elsewhere)."""
        n = self.num_envs
        self.engine.reset_mixed_into(self.obs, mask, np.full(n, -1, np.int32), [None] * n, snapshots)
        self._after_reset(mask)

    def _after_reset(self, mask: np.ndarray) -> None:
        self.engine.ram_into(self.ram)
        np.copyto(self.level, level_index(self.ram), where=mask)
        np.copyto(self.level_end, level_end(self.ram), where=mask)
        np.copyto(self.dying, dying(self.ram), where=mask)
        self.game_over[mask] = False
        self.passed[mask] = np.where(self.level_end[mask], self.level[mask], self.level[mask] - 1)
        for lane in np.flatnonzero(mask):
            self._new_passes[lane] = []

    def step(self, actions: np.ndarray, mask: np.ndarray | None = None) -> None:
        """Steps the lanes of ``mask`` (all by default) except those whose game is over."""
        lanes = ~self.game_over if mask is None else mask & ~self.game_over
        for lane in np.flatnonzero(~lanes):
            self._new_passes[lane] = []
        if not lanes.any():
            return
        self.engine.step_masked_into(
            actions, self.obs, self.rewards, self.terminated, self.truncated, *self.info.values(), lanes
        )
        self._read(lanes)
        ended = lanes & self.terminated
        if ended.any():
            # Game over: the engine holds the lane pending reset; park it on its
            # start so that the other lanes can go on.
            self.game_over |= ended
            park = np.full(self.num_envs, 0 if self.engine.state_catalog else -1, np.int32)
            self.engine.reset_masked_into(self.obs, ended, park, [None] * self.num_envs)
            self.terminated[ended] = False

    def passed_now(self, lane: int) -> list[int]:
        """The levels lane ``lane`` passed in the last step, in order."""
        return self._new_passes[lane]
