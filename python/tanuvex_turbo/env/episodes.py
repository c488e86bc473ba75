"""The episode rules of the Gymnasium class, stated once for every way of stepping.

The engine reports what the console did: a reward, ``terminated`` at game
over or at the flag, the game values. :class:`EpisodeBook` turns that into
episodes, lane by lane: a lost life that ends the episode
(``end_on_life_loss``, ``episodic_life``), the end of a level
(``end_on_level_end``), the time limit (``max_episode_steps``), the progress
signals of ``progress_info``, and which lanes need a reset. The synchronous
step, a step of some lanes, and the lanes an asynchronous receive returns all
go through :meth:`EpisodeBook.outcome` and :meth:`EpisodeBook.commit`, so a
lane's episodes do not depend on how it was stepped.

An outcome is computed without changing anything and committed by plain
assignments, so that a commit cut short (Ctrl-C) can be made again from the
same outcome with the same effect.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from tanuvex_turbo.game import progress

__all__ = ["EpisodeBook", "Outcome", "Lanes"]

#: The lanes an outcome is about: ``slice(None)`` for every lane in lane
#: order, or an array of lane indices (the rows of a receive).
Lanes = Union[slice, np.ndarray]


@dataclass
class Outcome:
    """What one engine result means for the episodes of its lanes (row ``i`` is lane ``lanes[i]``)."""

    lanes: Lanes
    terminated: np.ndarray
    truncated: np.ndarray
    # New per-lane state of the book, for every row.
    lives: np.ndarray
    length: np.ndarray
    life_ended: np.ndarray
    needs_reset: np.ndarray
    level_end: np.ndarray | None
    dying: np.ndarray | None


class EpisodeBook:
    """Each lane's episode state: lives baseline, length, lost-life end, pending reset, progress signals.

    ``length`` counts a lane's steps since its episode began; an episode
    begins with a reset, a restore, or (``episodic_life``) on the step after
    a lost life, where the game goes on.
    """

    def __init__(
        self,
        num_envs: int,
        *,
        end_on_life_loss: bool,
        episodic_life: bool,
        end_on_level_end: bool,
        progress_info: bool,
        max_episode_steps: int | None,
    ) -> None:
        self.end_on_life_loss = end_on_life_loss
        self.episodic_life = episodic_life
        self.end_on_level_end = end_on_level_end
        self.progress_info = progress_info or end_on_level_end
        self.max_episode_steps = max_episode_steps
        n = num_envs
        self.lives = np.zeros(n, np.int16)  # each lane's lives after its last step or reset
        self.length = np.zeros(n, np.int64)
        # Episodes ended by a lost life alone (episodic_life): the next one goes on in the same game.
        self.life_ended = np.zeros(n, np.bool_)
        self.needs_reset = np.zeros(n, np.bool_)
        self.level_end = np.zeros(n, np.bool_)
        self.dying = np.zeros(n, np.bool_)

    @property
    def any_needs_reset(self) -> bool:
        return bool(self.needs_reset.any())

    def outcome(
        self,
        lanes: Lanes,
        stepped: np.ndarray | None,
        started: np.ndarray | None,
        terminated: np.ndarray,
        truncated: np.ndarray,
        lives: np.ndarray,
        ram: np.ndarray | None,
    ) -> Outcome:
        """The episodes' view of an engine result, changing nothing.

        Rows of ``stepped`` ran a step; rows of ``started`` began a new episode
        (reset, or kept in their game after a lost life) and report reward 0
        and both flags false; other rows did nothing (a step's masked-out
        lanes). None: no row. ``terminated``, ``truncated`` and ``lives`` are
        the engine's, ``ram`` the rows' work RAM (needed with progress signals).
        """
        rows = len(terminated)
        stepped = np.zeros(rows, np.bool_) if stepped is None else stepped
        started = np.zeros(rows, np.bool_) if started is None else started
        touched = stepped | started
        terminated = terminated & stepped
        truncated = truncated & stepped
        old_lives = self.lives[lanes]
        life_ended = self.life_ended[lanes] & ~started
        if self.end_on_life_loss or self.episodic_life:
            lost = stepped & (lives < old_lives)
            if self.episodic_life:
                # Game over (lives reads -1) is a real end: the engine ended that lane too.
                life_ended |= lost & ~terminated
            terminated = terminated | lost
        level_end = dying = None
        if self.progress_info:
            assert ram is not None, "progress signals need the lanes' RAM"
            level_end = np.where(touched, progress.level_end(ram), self.level_end[lanes])
            dying = np.where(touched, progress.dying(ram), self.dying[lanes])
            if self.end_on_level_end:
                terminated = terminated | (level_end & stepped)
        length = np.where(started, 0, self.length[lanes] + stepped)
        if self.max_episode_steps is not None:
            truncated = truncated | (stepped & (length >= self.max_episode_steps))
            life_ended &= ~truncated  # a time limit restarts the game
        ended = terminated | truncated
        needs_reset = np.where(touched, ended, self.needs_reset[lanes])
        return Outcome(
            lanes=lanes,
            terminated=terminated,
            truncated=truncated,
            lives=np.where(touched, lives, old_lives).astype(np.int16),
            length=length,
            life_ended=life_ended,
            needs_reset=needs_reset,
            level_end=level_end,
            dying=dying,
        )

    def commit(self, outcome: Outcome) -> None:
        """Makes ``outcome`` the lanes' state (plain assignments: committing twice is committing once)."""
        lanes = outcome.lanes
        self.lives[lanes] = outcome.lives
        self.length[lanes] = outcome.length
        self.life_ended[lanes] = outcome.life_ended
        self.needs_reset[lanes] = outcome.needs_reset
        if outcome.level_end is not None:
            self.level_end[lanes] = outcome.level_end
        if outcome.dying is not None:
            self.dying[lanes] = outcome.dying

    def start(self, mask: np.ndarray, lives: np.ndarray, ram: np.ndarray | None) -> None:
        """New episodes on the lanes of ``mask`` (a reset or a restore); ``lives``/``ram``: every lane's, after it."""
        n = len(mask)
        none = np.zeros(n, np.bool_)
        self.commit(self.outcome(slice(None), None, mask, none, none, lives, ram))

    def goes_on(self, mask: np.ndarray) -> np.ndarray:
        """The lanes of ``mask`` whose next episode goes on in the same game (not reset)."""
        return mask & self.life_ended

    def progress_of(self, lanes: Lanes) -> dict[str, Any]:
        """``level_end`` and ``dying`` of the lanes, as fresh arrays."""
        return {"level_end": self.level_end[lanes].copy(), "dying": self.dying[lanes].copy()}
