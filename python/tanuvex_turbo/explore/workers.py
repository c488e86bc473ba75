"""Workers: where the picks of a round are played, on the lanes of this process or of Ray actors.

Every lane runs alone and every random draw of a pick comes from its own
generator, so a round gives the same results whichever workers play it.
"""

from __future__ import annotations

import os
import sys
import tempfile
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from tanuvex_turbo.explore.cells import _GAME_MODE, _SWIMMING, CellSpec, Pick, PickResult, Policy
from tanuvex_turbo.game import progress
from tanuvex_turbo.game.actions import DOWN, NOOP, START, A
from tanuvex_turbo.game.lane_states import observation_fingerprint, pack_lane_state, unpack_lane_state

__all__ = ["LocalWorkers", "RayWorkers", "Worker"]

# Most steps a pick runs on past its length while the game ends a level.
_LEVEL_END_WAIT = 400


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
