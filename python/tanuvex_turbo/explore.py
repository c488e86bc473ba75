"""Archive exploration: find a way through the game by restoring lanes exactly.

The search keeps an *archive* of *cells*, coarse places of the game each
with the saved lane state that reached it in the fewest steps, and the
controller inputs of that shortest path. Every round it *picks* cells with
weights that favour the rarely chosen and rarely seen ones, restores each pick
into a lane and plays a short random exploration from it. A place reached
that is not in the archive yet, or is reached by a shorter path, becomes (or
replaces) a cell. The search stops when a lane passes the target: the end of
a level, of a world or of the whole game. Its result is a replay
(:mod:`tanuvex_turbo.replay`): the inputs from power-on, or from a named
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

import base64
import binascii
import errno
import gzip
import json
import math
import os
import sys
import tempfile
import time
import warnings
import zlib
from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np

from tanuvex_turbo import progress
from tanuvex_turbo.actions import DOWN, LEFT, NOOP, RIGHT, START, A, B
from tanuvex_turbo.cartridge import open_unblocked
from tanuvex_turbo.lane_states import MAGIC, MAGIC_V1, observation_fingerprint, pack_lane_state, unpack_lane_state
from tanuvex_turbo.replay import POWER_ON, Replay, start_catalog

__all__ = [
    "CellSpec",
    "Policy",
    "ExploreResult",
    "Explorer",
    "LocalWorkers",
    "RayWorkers",
    "explore",
]

ARCHIVE_FORMAT = "tanuvex-turbo archive 1"
#: Largest archive file read (gzip-compressed), and largest document it may unpack to. A search
#: through the whole game keeps about 20,000 cells and unpacks to some hundreds of megabytes.
MAX_ARCHIVE_FILE_SIZE = 1 << 30
MAX_ARCHIVE_SIZE = 4 << 30

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
# Most steps a pick runs on past its length while the game ends a level.
_LEVEL_END_WAIT = 400
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


class Worker:
    """Plays picks on the lanes of one engine (in this process or inside a Ray actor)."""

    def __init__(
        self,
        rom_path: str,
        lanes: int,
        catalog: dict[str, Any],
        frame_skip: int,
        spec: CellSpec,
        policy: Policy,
        portable: bool,
        num_threads: int | None = 1,
    ) -> None:
        from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv

        self.engine = _RetroVecEnv(
            rom_path,
            lanes,
            frame_skip=frame_skip,
            terminate_on_flag=False,
            num_threads=num_threads,
            **progress.NO_OBSERVATION,
            **catalog,
        )
        self.tracker = progress.LaneTracker(self.engine)
        self.lanes = lanes
        self.spec = spec
        self.policy = policy
        self.portable = portable
        self.lane_obs_size = int(np.prod(self.engine.obs_shape()[1:]))
        self.fingerprint = observation_fingerprint(frame_skip=frame_skip, **progress.NO_OBSERVATION)
        self.steps = 0

    def start_state(self, index: int) -> tuple[Any, tuple[int, ...], int]:
        """(state, cell, level) of a lane reset to catalog entry ``index`` (-1: power-on)."""
        mask = np.zeros(self.lanes, np.bool_)
        mask[0] = True
        self.tracker.reset(np.full(self.lanes, index, np.int32), mask)
        key = tuple(self.spec.keys(self.tracker.ram[:1])[0].tolist())
        return self._capture(mask)[0], key, int(self.tracker.level[0])

    def _capture(self, mask: np.ndarray) -> list[Any]:
        snapshots = self.engine.capture_snapshots(self.tracker.obs, mask)
        if self.portable:
            return [pack_lane_state(s.to_bytes(), self.fingerprint) for s in snapshots if s is not None]
        return [s for s in snapshots if s is not None]

    def _live(self, states: list[Any]) -> list[Any]:
        if not self.portable:
            return states
        payloads: list[bytes | None] = [
            unpack_lane_state(s, lane, self.lane_obs_size, self.fingerprint) for lane, s in enumerate(states)
        ]
        payloads += [None] * (self.lanes - len(payloads))
        return self.engine.decode_snapshots(payloads)

    def run(self, picks: Sequence[Pick], known: dict[tuple[int, ...], int], last_level: int) -> list[PickResult]:
        """Plays ``picks`` (in batches of the lane count); ``known`` maps each cell to its path length."""
        results: list[PickResult] = []
        for first in range(0, len(picks), self.lanes):
            results += self._run_batch(picks[first : first + self.lanes], known, last_level)
        return results

    def _run_batch(self, picks: Sequence[Pick], known: dict, last_level: int) -> list[PickResult]:
        n, k = self.lanes, len(picks)
        tracker = self.tracker
        mask = np.zeros(n, np.bool_)
        mask[:k] = True
        live = self._live([p.state for p in picks])
        tracker.restore(mask, list(live[:k]) + [None] * (n - k))
        plans = [self.policy.draw(np.random.default_rng(list(p.seed))) for p in picks]
        lengths = np.zeros(n, np.int64)
        lengths[:k] = [len(plan) for plan in plans]
        # A lane past the goal runs on until the next level begins, however long
        # the game takes to get there (its inputs are ignored meanwhile).
        plan = np.zeros((n, int(lengths.max()) + _LEVEL_END_WAIT), np.uint8)
        for lane, actions in enumerate(plans):
            plan[lane, : len(actions)] = actions
        start_level = tracker.level.copy()
        results = [PickResult() for _ in picks]
        played = np.zeros((n, plan.shape[1]), np.uint8)
        found: list[set] = [set() for _ in picks]
        alive = mask.copy()
        actions = np.zeros(n, np.uint8)
        ram = tracker.ram
        t = 0
        while alive.any():
            np.copyto(actions, plan[:, t])
            on_title = ram[:, _GAME_MODE] == progress.GAME_MODE_TITLE
            actions[on_title] = START if t % 2 == 0 else NOOP
            # Each press of A is one stroke when swimming, and a player who
            # strokes too seldom sinks: a swimming lane strokes every other
            # step, unless it holds down to go deeper.
            swimming = (ram[:, _SWIMMING] != 0) & (actions & DOWN == 0)
            if t % 2:
                actions[swimming] &= ~A & 0xFF
            else:
                actions[swimming] |= A
            played[:, t] = actions
            tracker.step(actions, alive)
            self.steps += int(alive.sum())
            t += 1
            keys = self.spec.keys(ram)
            stop = tracker.dying | tracker.game_over | (tracker.level > start_level + 1)
            grab = np.zeros(n, np.bool_)
            for lane in np.flatnonzero(alive).tolist():
                result = results[lane]
                if stop[lane]:
                    result.died = bool(tracker.dying[lane] or tracker.game_over[lane])
                    alive[lane] = False
                    result.actions = played[lane, :t].tobytes()
                    continue
                key = tuple(keys[lane].tolist())
                result.seen[key] += 1
                for level in tracker.passed_now(lane):
                    result.passed.append((level, t))
                if key not in found[lane] and picks[lane].base_length + t < known.get(key, sys.maxsize):
                    found[lane].add(key)
                    grab[lane] = True
                    result.cells.append((key, t, None))
                waiting = tracker.level_end[lane] and t < lengths[lane] + _LEVEL_END_WAIT
                if (result.passed and result.passed[-1][0] >= last_level) or (t >= lengths[lane] and not waiting):
                    alive[lane] = False
                    result.actions = played[lane, :t].tobytes()
            if grab.any():
                for lane, state in zip(np.flatnonzero(grab).tolist(), self._capture(grab)):
                    key, steps, _ = results[lane].cells[-1]
                    results[lane].cells[-1] = (key, steps, state)
        return results


class LocalWorkers:
    """Runs every pick in this process, on one engine of ``lanes`` lanes (live snapshots, no decoding)."""

    def __init__(
        self,
        rom_path: str,
        lanes: int,
        catalog: dict[str, Any],
        frame_skip: int,
        spec: CellSpec,
        policy: Policy,
        num_threads: int | None = 1,
    ) -> None:
        self.worker = Worker(
            rom_path, lanes, catalog, frame_skip, spec, policy, portable=False, num_threads=num_threads
        )
        self.portable = False

    def start_state(self, index: int) -> Any:
        return self.worker.start_state(index)

    def decode(self, blob: bytes) -> Any:
        """A saved (packed) state as this worker's state object."""
        lanes = self.worker.lanes
        envelope = unpack_lane_state(blob, 0, self.worker.lane_obs_size, self.worker.fingerprint)
        return self.worker.engine.decode_snapshots([envelope] + [None] * (lanes - 1))[0]

    def encode(self, state: Any) -> bytes:
        return pack_lane_state(state.to_bytes(), self.worker.fingerprint)

    def run(self, picks: list[Pick], known: dict, last_level: int) -> list[PickResult]:
        return self.worker.run(picks, known, last_level)

    @property
    def steps(self) -> int:
        return self.worker.steps

    def close(self) -> None:
        pass


class _RayWorker(Worker):
    """A Worker inside a Ray actor: the cartridge arrives as bytes and is written to a private file once."""

    def __init__(self, cartridge: bytes, *args: Any, **kwargs: Any) -> None:
        handle, path = tempfile.mkstemp(suffix=".nes")
        try:
            with os.fdopen(handle, "wb") as file:
                file.write(cartridge)
            super().__init__(path, *args, **kwargs)
        finally:
            os.unlink(path)

    def run_steps(self, picks: list[Pick], known: dict, last_level: int) -> tuple[list[PickResult], int]:
        results = self.run(picks, known, last_level)
        return results, self.steps


class RayWorkers:
    """Runs each round's picks on ``actors`` Ray actors of ``lanes`` lanes each; the archive stays here.

    The picks of a round are cut into contiguous shares, one per actor, and
    the results are put back in pick order. States travel as packed bytes.
    Ray must be running (``ray.init``); tests start it on 127.0.0.1 only.

    An actor that dies (killed, out of memory, its node lost) is replaced by
    a new one, which plays the dead actor's share of the round again: every
    pick is seeded by itself, so the round's results, and the archive, are
    those the dead actor would have given. Only its unfinished work is lost
    (and its steps in it are not counted). An actor that dies
    ``max_replacements`` times in a row on the same share raises RuntimeError.
    """

    def __init__(
        self,
        rom_path: str,
        actors: int,
        lanes: int,
        catalog: dict[str, Any],
        frame_skip: int,
        spec: CellSpec,
        policy: Policy,
        max_replacements: int = 3,
    ) -> None:
        import ray

        with open(rom_path, "rb") as handle:
            cartridge = ray.put(handle.read())
        self._ray = ray
        self._new_actor = lambda: ray.remote(num_cpus=0)(_RayWorker).remote(
            cartridge, lanes, catalog, frame_skip, spec, policy, portable=True, num_threads=1
        )
        self.actors = [self._new_actor() for _ in range(actors)]
        self.portable = True
        self.max_replacements = max_replacements
        self.replacements = 0
        # Steps of each actor slot: those of its dead actors, and its live actor's last count.
        self._dead_steps = [0] * actors
        self._steps = [0] * actors

    def _replace(self, index: int, error: BaseException) -> None:
        """Puts a new actor in slot ``index`` in place of one that died."""
        try:
            self._ray.kill(self.actors[index])  # gone already, or unreachable: make sure
        except Exception:
            pass
        self.actors[index] = self._new_actor()
        self.replacements += 1
        self._dead_steps[index] += self._steps[index]
        self._steps[index] = 0
        warnings.warn(
            f"Ray actor {index} of the search died ({type(error).__name__}); a new actor took its place "
            "and plays its share of the round again",
            RuntimeWarning,
            stacklevel=3,
        )

    def _call(self, method: str, calls: dict[int, tuple[Any, ...]]) -> dict[int, Any]:
        """Calls ``method`` of actor i with ``calls[i]``, all at once; replaces a dead actor and calls it again."""
        ray = self._ray
        deaths = dict.fromkeys(calls, 0)
        pending = dict(calls)
        answers: dict[int, Any] = {}
        while pending:
            futures = {index: getattr(self.actors[index], method).remote(*args) for index, args in pending.items()}
            pending = {}
            for index, future in futures.items():
                try:
                    answers[index] = ray.get(future)
                except (ray.exceptions.RayActorError, ray.exceptions.OutOfMemoryError) as error:
                    deaths[index] += 1
                    if deaths[index] > self.max_replacements:
                        raise RuntimeError(
                            f"Ray actor {index} of the search died {deaths[index]} times on the same picks"
                        ) from error
                    self._replace(index, error)
                    pending[index] = calls[index]
        return answers

    def start_state(self, index: int) -> Any:
        return self._call("start_state", {0: (index,)})[0]

    def decode(self, blob: bytes) -> Any:
        return bytes(blob)

    def encode(self, state: Any) -> bytes:
        return bytes(state)

    def run(self, picks: list[Pick], known: dict, last_level: int) -> list[PickResult]:
        shares = np.array_split(np.arange(len(picks)), len(self.actors))
        known_ref = self._ray.put(known)
        calls = {
            index: ([picks[i] for i in share], known_ref, last_level)
            for index, share in enumerate(shares)
            if len(share)
        }
        answers = self._call("run_steps", calls)
        results: list[PickResult] = []
        for index in sorted(answers):
            part, steps = answers[index]
            results += part
            self._steps[index] = steps
        return results

    @property
    def steps(self) -> int:
        return sum(self._dead_steps) + sum(self._steps)

    def close(self) -> None:
        for actor in self.actors:
            self._ray.kill(actor)
        self.actors = []


@dataclass
class Cell:
    key: tuple[int, ...]
    length: int
    path: bytes
    state: Any
    level: int
    chosen: int = 0
    seen: int = 0
    tries: int = 0
    deaths: int = 0


@dataclass
class ExploreResult:
    """The outcome of a search: the replay when the target was reached, and what it took."""

    replay: Replay | None
    rounds: int
    steps: int
    seconds: float
    cells: int
    levels_passed: list[tuple[str, float, int]]  # (level, seconds, steps) of each first pass

    @property
    def reached(self) -> bool:
        return self.replay is not None


class Explorer:
    """The search itself: archive, selection, rounds. See the module documentation.

    Args:
        workers: where the picks run (:class:`LocalWorkers` or :class:`RayWorkers`).
        start: ``"power-on"`` or the name of a start state of ``state_names``.
        target: the :class:`tanuvex_turbo.progress.Target` to reach.
        picks: picks per round.
        seed: seed of the selection and of every pick.
        level_decay: weight factor per level below the highest one in the archive.
    """

    def __init__(
        self,
        workers: Any,
        *,
        start: str,
        state_names: Sequence[str],
        target: progress.Target,
        frame_skip: int,
        spec: CellSpec,
        policy: Policy,
        picks: int = 32,
        seed: int = 0,
        level_decay: float = 0.1,
    ) -> None:
        self.workers = workers
        self.start = start
        self.target = target
        self.frame_skip = frame_skip
        self.spec = spec
        self.policy = policy
        self.picks = picks
        self.seed = seed
        self.level_decay = level_decay
        self.round = 0
        self.steps = 0
        self.seconds = 0.0
        self.cells: dict[tuple[int, ...], Cell] = {}
        self.max_level = 0
        self.levels_passed: list[tuple[str, float, int]] = []
        self._passed = -1
        self.replay: Replay | None = None
        if start == POWER_ON:
            index = -1
        else:
            index = list(state_names).index(start)
        state, key, level = workers.start_state(index)
        self.cells[key] = Cell(key, 0, b"", state, level)
        self.max_level = level
        self._passed = level - 1
        self._steps_offset = 0

    # ------------------------------------------------------------------ one round

    def _weights(self, cells: list[Cell]) -> np.ndarray:
        chosen = np.array([c.chosen for c in cells], np.float64)
        seen = np.array([c.seen for c in cells], np.float64)
        tries = np.array([c.tries for c in cells], np.float64)
        deaths = np.array([c.deaths for c in cells], np.float64)
        level = np.array([c.level for c in cells], np.float64)
        weight = 1 / np.sqrt(chosen + 1) + 1 / np.sqrt(seen / 20 + 1)
        weight *= self.level_decay ** (self.max_level - level)
        weight *= (tries - deaths + 1) / (tries + 1)
        return weight

    def step_round(self) -> None:
        """Selects the picks of one round, plays them and merges what they found."""
        began = time.perf_counter()
        cells = list(self.cells.values())
        weights = self._weights(cells)
        rng = np.random.default_rng([self.seed, self.round])
        chosen = rng.choice(len(cells), size=self.picks, p=weights / weights.sum())
        picks = []
        for number, index in enumerate(chosen):
            cell = cells[index]
            cell.chosen += 1
            picks.append(Pick(cell.state, cell.length, (self.seed, self.round, number)))
        known = {key: cell.length for key, cell in self.cells.items()}
        results = self.workers.run(picks, known, self.target.last)
        # A cell may get a shorter path from an earlier pick of this round:
        # each pick continues the path its state was saved with.
        bases = [(cells[index], cells[index].path) for index in chosen]
        for (parent, path), result in zip(bases, results):
            self._merge(parent, path, result)
        self.round += 1
        self.steps = self._steps_offset + self.workers.steps
        self.seconds += time.perf_counter() - began

    def _merge(self, parent: Cell, base: bytes, result: PickResult) -> None:
        parent.tries += 1
        parent.deaths += int(result.died)
        for key, count in result.seen.items():
            cell = self.cells.get(key)
            if cell is not None:
                cell.seen += count
        for level, steps in result.passed:
            if level != self._passed + 1 or self.replay is not None:
                continue
            self._passed = level
            self.levels_passed.append((progress.level_name(level), self.seconds, self.steps))
            if self.target.reached_by(level):
                path = base + result.actions[:steps]
                self.replay = Replay(self.start, self.frame_skip, self.target, path)
        for key, steps, state in result.cells:
            length = len(base) + steps
            level = int(progress.level_of(key[1], key[2]))
            if level > self.max_level + 1 or level > self._passed + 1:
                continue  # a warp or a level not reached in order: not archived
            cell = self.cells.get(key)
            if cell is None:
                self.cells[key] = Cell(key, length, base + result.actions[:steps], state, level)
                self.max_level = max(self.max_level, level)
            elif length < cell.length:
                cell.length, cell.path, cell.state = length, base + result.actions[:steps], state

    # ------------------------------------------------------------------ runs

    def run(
        self,
        max_steps: int | None = None,
        max_seconds: float | None = None,
        on_round: Callable[[Explorer], None] | None = None,
    ) -> ExploreResult:
        """Plays rounds until the target is reached or a budget (lane steps, seconds of this run) is spent."""
        began = time.perf_counter()
        while self.replay is None:
            if max_steps is not None and self.steps >= max_steps:
                break
            if max_seconds is not None and time.perf_counter() - began >= max_seconds:
                break
            self.step_round()
            if on_round is not None:
                on_round(self)
        return self.result()

    def replay_through(self, level: int) -> Replay | None:
        """The shortest archived path that passes ``level`` (an index), as a replay to its end; None if none."""
        after = [cell for cell in self.cells.values() if cell.level > level]
        if not after:
            return None
        best = min(after, key=lambda cell: cell.length)
        return Replay(self.start, self.frame_skip, progress.Target("level", level), best.path)

    def result(self) -> ExploreResult:
        return ExploreResult(
            self.replay, self.round, self.steps, self.seconds, len(self.cells), list(self.levels_passed)
        )

    def status(self) -> dict[str, Any]:
        """One line of the JSON-lines log."""
        return {
            "round": self.round,
            "seconds": round(self.seconds, 3),
            "steps": self.steps,
            "cells": len(self.cells),
            "highest_level": progress.level_name(self.max_level),
            "levels_passed": [name for name, _, _ in self.levels_passed],
            "steps_per_second": round(self.steps / self.seconds, 1) if self.seconds else 0.0,
            "target_reached": self.replay is not None,
        }

    # ------------------------------------------------------------------ saved archives

    def settings(self) -> dict[str, Any]:
        return {
            "start": self.start,
            "target": str(self.target),
            "frame_skip": self.frame_skip,
            "cells": asdict(self.spec),
            "policy": asdict(self.policy),
            "picks": self.picks,
            "seed": self.seed,
            "level_decay": self.level_decay,
        }

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the archive (gzip-compressed JSON, the states packed as in ``clone_states``)."""
        document = {
            "format": ARCHIVE_FORMAT,
            "settings": self.settings(),
            "round": self.round,
            "steps": self.steps,
            "seconds": self.seconds,
            "levels_passed": self.levels_passed,
            "passed": self._passed,
            "max_level": self.max_level,
            "cells": [
                {
                    "key": list(cell.key),
                    "length": cell.length,
                    "path": cell.path.hex(),
                    "state": base64.b64encode(self.workers.encode(cell.state)).decode("ascii"),
                    "level": cell.level,
                    "counts": [cell.chosen, cell.seen, cell.tries, cell.deaths],
                }
                for cell in self.cells.values()
            ],
        }
        partial = f"{os.fspath(path)}.partial"
        with gzip.open(partial, "wt", encoding="utf-8", compresslevel=1) as handle:
            json.dump(document, handle)
        os.replace(partial, path)

    def load(self, path: str | os.PathLike[str]) -> None:
        """Resumes from an archive written by :meth:`save` with the same settings (the target may differ).

        The whole archive is checked before anything of this explorer changes. A FIFO
        without a writer reads as empty instead of blocking.

        Raises:
            ValueError: not an archive, a damaged one, or one made with other settings.
            OSError: the file cannot be read, or is larger than MAX_ARCHIVE_FILE_SIZE (errno EFBIG).
        """
        where = os.fspath(path)
        document = _read_archive(path)
        if not isinstance(document, dict) or document.get("format") != ARCHIVE_FORMAT:
            raise ValueError(f"{where} is not a saved archive of this version")
        saved = document.get("settings")
        if not isinstance(saved, dict):
            raise ValueError(f"{where} is a damaged archive: it holds no settings")
        mine = json.loads(json.dumps(self.settings()))
        differ = sorted(key for key in mine if key != "target" and saved.get(key) != mine[key])
        if differ:
            raise ValueError(f"the archive was made with other settings: {', '.join(differ)}")
        try:
            loaded = self._loaded(document)
        except (KeyError, TypeError, ValueError) as error:
            text = f"it has no {error}" if isinstance(error, KeyError) else str(error)
            raise ValueError(f"{where} is a damaged archive: {text}") from None
        self.round, self.steps, self.seconds, self.levels_passed, self._passed, self.max_level, self.cells = loaded
        self._steps_offset = self.steps - self.workers.steps

    def _loaded(self, document: dict[str, Any]) -> tuple[Any, ...]:
        """The explorer's fields as ``document`` holds them, each checked (KeyError, TypeError, ValueError)."""
        entries = _typed(document["levels_passed"], list, "levels_passed")
        levels_passed = []
        for entry in entries:
            if not isinstance(entry, list) or len(entry) != 3 or not isinstance(entry[0], str):
                raise ValueError(f"levels_passed holds {entry!r:.60}, not [level, seconds, steps]")
            progress.parse_level(entry[0])
            levels_passed.append(
                (entry[0], _real(entry[1], "levels_passed seconds"), _whole(entry[2], "levels_passed steps"))
            )
        cells: dict[tuple[int, ...], Cell] = {}
        width = 9 if self.spec.loop_counters else 7
        for number, entry in enumerate(_typed(document["cells"], list, "cells")):
            try:
                cell = self._cell(_typed(entry, dict, "a cell"), width)
            except KeyError as error:
                raise ValueError(f"cell {number} has no {error}") from None
            except (TypeError, ValueError) as error:
                raise ValueError(f"cell {number}: {error}") from None
            if cell.key in cells:
                raise ValueError(f"cell {number}: its key is also the key of an earlier cell")
            cells[cell.key] = cell
        if not any(cell.length == 0 for cell in cells.values()):
            raise ValueError("it holds no start cell (a cell of length 0)")
        max_level = _whole(document["max_level"], "max_level")
        if max_level != max(cell.level for cell in cells.values()):
            raise ValueError(f"max_level {max_level} is not the highest level of its cells")
        return (
            _whole(document["round"], "round"),
            _whole(document["steps"], "steps"),
            _real(document["seconds"], "seconds"),
            levels_passed,
            _whole(document["passed"], "passed", -1),
            max_level,
            cells,
        )

    def _cell(self, entry: dict[str, Any], width: int) -> Cell:
        key = tuple(_typed(entry["key"], list, "key"))
        if len(key) != width or not all(type(v) is int and 0 <= v < 1 << 16 for v in key):
            raise ValueError(f"its key {list(key)!r:.80} is not {width} whole numbers from 0 to 65535")
        length = _whole(entry["length"], "length")
        path = bytes.fromhex(_typed(entry["path"], str, "path"))
        if len(path) != length:
            raise ValueError(f"its path holds {len(path)} actions, its length says {length}")
        level = _whole(entry["level"], "level")
        if level != int(progress.level_of(key[1], key[2])):
            raise ValueError(f"its level {level} is not the level of its key")
        counts = _typed(entry["counts"], list, "counts")
        if len(counts) != 4:
            raise ValueError("counts must hold 4 numbers (chosen, seen, tries, deaths)")
        chosen, seen, tries, deaths = (_whole(count, "counts") for count in counts)
        if deaths > tries:
            raise ValueError(f"it has {deaths} deaths in {tries} tries")
        try:
            blob = base64.b64decode(_typed(entry["state"], str, "state"), validate=True)
        except binascii.Error:
            raise ValueError("its state is not base64 text") from None
        if not blob.startswith((MAGIC, MAGIC_V1)):
            raise ValueError("its state is not a saved lane state")
        cell = Cell(key, length, path, self.workers.decode(blob), level)
        cell.chosen, cell.seen, cell.tries, cell.deaths = chosen, seen, tries, deaths
        return cell


def _typed(value: Any, kind: type, name: str) -> Any:
    if not isinstance(value, kind):
        raise TypeError(f"{name} must be a {kind.__name__}, got {value!r:.40}")
    return value


def _whole(value: Any, name: str, low: int = 0) -> int:
    if type(value) is not int or value < low:
        raise ValueError(f"{name} must be a whole number of at least {low}, got {value!r:.40}")
    return value


def _real(value: Any, name: str) -> float:
    if type(value) not in (int, float) or not math.isfinite(value) or value < 0:
        raise ValueError(f"{name} must be a number of at least 0, got {value!r:.40}")
    return float(value)


def _read_archive(path: str | os.PathLike[str]) -> Any:
    """The JSON document of an archive file, read bounded (see :meth:`Explorer.load`)."""
    where = os.fspath(path)
    with open_unblocked(path) as handle:
        capped: Any = _Capped(handle, MAX_ARCHIVE_FILE_SIZE)
        try:
            with gzip.GzipFile(fileobj=capped, mode="rb") as unpacked:
                text = unpacked.read(MAX_ARCHIVE_SIZE + 1)
        except (OSError, EOFError, zlib.error) as error:
            if capped.read_past:
                raise OSError(
                    errno.EFBIG, f"archive file is larger than {MAX_ARCHIVE_FILE_SIZE} bytes", where
                ) from None
            raise ValueError(f"{where} is not a saved archive: {error}") from None
    if capped.count == 0:
        raise ValueError(f"{where} is not a saved archive: the file is empty")
    if len(text) > MAX_ARCHIVE_SIZE:
        raise ValueError(f"{where} is not a saved archive: it unpacks to more than {MAX_ARCHIVE_SIZE} bytes")
    try:
        return json.loads(text)
    except (ValueError, RecursionError) as error:  # JSONDecodeError and UnicodeDecodeError are ValueErrors
        raise ValueError(f"{where} is not a saved archive: {error}") from None


class _Capped:
    """Reads a binary file for :class:`gzip.GzipFile`, failing once more than ``limit`` bytes were read."""

    def __init__(self, handle: Any, limit: int) -> None:
        self.handle, self.limit, self.count, self.read_past = handle, limit, 0, False
        self.mode = "rb"

    def read(self, size: int = -1) -> bytes:
        room = self.limit + 1 - self.count
        data = self.handle.read(room if size < 0 else min(size, room))
        self.count += len(data)
        if self.count > self.limit:
            self.read_past = True
            raise OSError(errno.EFBIG, "file too large")
        return data


def explore(
    rom_path: str,
    *,
    start: str = POWER_ON,
    target: str = "level",
    catalog: dict[str, Any] | None = None,
    states: Any = None,
    lanes: int = 32,
    actors: int = 0,
    frame_skip: int = 4,
    spec: CellSpec | None = None,
    policy: Policy | None = None,
    seed: int = 0,
    max_steps: int | None = None,
    max_seconds: float | None = None,
    resume: str | None = None,
    on_round: Callable[[Explorer], None] | None = None,
) -> tuple[ExploreResult, Explorer]:
    """Searches from ``start`` to ``target`` (``"level"``, ``"world"``, ``"game"``, ``"level W-S"``, ...).

    The start state comes from ``catalog`` (the engine's ``state_catalog_data``
    and ``state_catalog_names``) or is read from ``states`` (a directory, file
    or mapping as for :class:`~tanuvex_turbo.vector_env.TurboVectorEnv`).
    ``lanes`` lanes in this process, or, with ``actors`` > 0, that many Ray
    actors of ``lanes`` lanes each (Ray must be running). ``resume``: an
    archive file to continue from when it exists. Returns the result and the
    explorer (for :meth:`Explorer.save`).
    """
    if catalog is None or start == POWER_ON:
        catalog = start_catalog(start, states)
    names = list(catalog.get("state_catalog_names") or [])
    if start != POWER_ON and start not in names:
        raise ValueError(f"unknown start state {start!r}; known: {', '.join(names) or 'none'}")
    start_level = 0 if start == POWER_ON else _start_level(start)
    goal = progress.parse_target(target, start_level)
    spec = spec or CellSpec()
    policy = policy or Policy()
    if actors > 0:
        workers: Any = RayWorkers(rom_path, actors, lanes, catalog, frame_skip, spec, policy)
        picks = lanes * actors
    else:
        workers = LocalWorkers(rom_path, lanes, catalog, frame_skip, spec, policy)
        picks = lanes
    try:
        explorer = Explorer(
            workers,
            start=start,
            state_names=names,
            target=goal,
            frame_skip=frame_skip,
            spec=spec,
            policy=policy,
            picks=picks,
            seed=seed,
        )
        if resume is not None and os.path.exists(resume):
            explorer.load(resume)
        return explorer.run(max_steps, max_seconds, on_round), explorer
    finally:
        if actors > 0:
            workers.close()


def _start_level(name: str) -> int:
    """The level a start state named ``W-S...`` begins in (0 when the name does not say)."""
    head = "-".join(name.split("-")[:2])
    try:
        return progress.parse_level(head)
    except ValueError:
        return 0
