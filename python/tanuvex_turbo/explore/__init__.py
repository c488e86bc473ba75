"""Archive exploration: find a way through the game by restoring lanes exactly.

The search keeps an *archive* of *cells*, coarse places of the game each
with the saved lane state that reached it in the fewest steps, and the
controller inputs of that shortest path. Every round it *picks* cells with
weights that favour the rarely chosen and rarely seen ones, restores each pick
into a lane and plays a short random exploration from it. A place reached
that is not in the archive yet, or is reached by a shorter path, becomes (or
replaces) a cell. The search stops when a lane passes the target: the end of
a level, of a world or of the whole game. Its result is a replay
(:mod:`tanuvex_turbo.explore.replay`): the inputs from power-on, or from a named
start state, to the target.

Cell (:class:`CellSpec`): the tuple (game mode, ``level_hi``, ``level_lo``,
area pointer, area type, ``x // x_bucket``, ``y // y_bucket``, loop counters). The loop
counters are the game's own count of the sections of a looping level
passed on the right path, so a lane sent back by a wrong path does not
look like progress, and a right path does.

Selection weight of a cell, renewed every round::

    (1 / sqrt(chosen + 1) + 1 / sqrt(seen / 20 + 1))
        * level_decay ** (highest level in the archive - level of the cell)
        * (tries - deaths + 1) / (tries + 1)

``chosen`` counts the picks of the cell, ``seen`` the steps any lane spent
in it, ``tries`` / ``deaths`` how many of its picks ended with the player
dying. A cell whose every try dies (a player already falling to his death
when it was saved) thus fades out.

Exploration policy (:class:`Policy`): each pick plays a number of steps drawn
uniformly from ``min_steps..max_steps``; each step repeats the previous
action with probability ``repeat_prob``, else draws one uniformly from
``actions``. On the title screen a lane presses Start every other step, and
while the player swims it presses A every other step and releases it in
between, unless it holds down (each press is one stroke; a player who
strokes too seldom sinks, into a pit at times). A
pick ends early when the player starts dying (nothing more is archived from
it), when the game jumps past the next level (a warp: levels must be passed in
order), or when it passes the target. A pick whose player has reached the
goal of a level runs on past its length (up to 400 steps) until the next
level begins: the game plays its end-of-level sequence by itself, and no
new cell appears while it does.

Every random draw of a pick comes from its own generator, seeded by (seed,
round, pick number), and every lane runs alone: the results of a round do not
depend on how its picks are spread over lanes, threads or Ray actors, so a
search with a given seed finds the same replay on one process as on several
actors (:class:`RayWorkers`).
"""

from __future__ import annotations

from tanuvex_turbo.explore.cells import EXPLORE_ACTIONS as EXPLORE_ACTIONS
from tanuvex_turbo.explore.cells import CellSpec, Policy
from tanuvex_turbo.explore.cells import Pick as Pick
from tanuvex_turbo.explore.cells import PickResult as PickResult
from tanuvex_turbo.explore.search import ARCHIVE_FORMAT as ARCHIVE_FORMAT
from tanuvex_turbo.explore.search import Cell as Cell
from tanuvex_turbo.explore.search import Explorer, ExploreResult, explore
from tanuvex_turbo.explore.workers import LocalWorkers, RayWorkers
from tanuvex_turbo.explore.workers import Worker as Worker

__all__ = [
    "CellSpec",
    "Policy",
    "ExploreResult",
    "Explorer",
    "LocalWorkers",
    "RayWorkers",
    "explore",
]
