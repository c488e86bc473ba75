"""The archive and the search: which cells to pick, what a round adds, saving and resuming, and
:func:`explore`, the whole search from a start to a target (:mod:`tanuvex_turbo.explore` describes it).
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import errno
import gzip
import json
import math
import os
import signal
import threading
import time
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import asdict, dataclass
from typing import Any

import numpy as np

from tanuvex_turbo.explore.cells import CellSpec, Pick, PickResult, Policy
from tanuvex_turbo.explore.replay import POWER_ON, Replay, start_catalog
from tanuvex_turbo.explore.workers import LocalWorkers, RayWorkers
from tanuvex_turbo.game import progress
from tanuvex_turbo.game.cartridge import open_unblocked
from tanuvex_turbo.game.lane_states import MAGIC, MAGIC_V1

__all__ = ["ARCHIVE_FORMAT", "Cell", "ExploreResult", "Explorer", "explore"]

ARCHIVE_FORMAT = "tanuvex-turbo archive 1"
#: Largest archive file read (gzip-compressed), and largest document it may unpack to. A search
#: through the whole game keeps about 20,000 cells and unpacks to some hundreds of megabytes.
MAX_ARCHIVE_FILE_SIZE = 1 << 30
MAX_ARCHIVE_SIZE = 4 << 30


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
    interrupted: bool = False  # stopped by Ctrl-C (KeyboardInterrupt) before the target or a budget

    @property
    def reached(self) -> bool:
        return self.replay is not None


class Explorer:
    """The search itself: archive, selection, rounds. See the module documentation.

    Args:
        workers: where the picks run (:class:`LocalWorkers` or :class:`RayWorkers`).
        start: ``"power-on"`` or the name of a start state of ``state_names``.
        target: the :class:`tanuvex_turbo.game.progress.Target` to reach.
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
        # The path through each level passed (index -> inputs from the start), kept so that an archive
        # of a search that reached its target gives back its replay, whatever target it was saved with.
        self.passes: dict[int, bytes] = {}
        self.replay: Replay | None = None
        self.interrupted = False
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
        """Selects the picks of one round, plays them and merges what they found.

        A KeyboardInterrupt while the picks play drops the round (the archive is as before it);
        one while their results are merged is held back until the round is complete.
        """
        began = time.perf_counter()
        cells = list(self.cells.values())
        weights = self._weights(cells)
        rng = np.random.default_rng([self.seed, self.round])
        chosen = rng.choice(len(cells), size=self.picks, p=weights / weights.sum())
        picks = [
            Pick(cells[index].state, cells[index].length, (self.seed, self.round, number))
            for number, index in enumerate(chosen)
        ]
        known = {key: cell.length for key, cell in self.cells.items()}
        results = self.workers.run(picks, known, self.target.last)
        with _interrupts_held():
            for index in chosen:
                cells[index].chosen += 1
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
            self.passes[level] = base + result.actions[:steps]
            if self.target.reached_by(level):
                self.replay = Replay(self.start, self.frame_skip, self.target, self.passes[level])
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
        """Plays rounds until the target is reached or a budget (lane steps, seconds of this run) is spent.

        Ctrl-C (KeyboardInterrupt) stops the search too: the round in progress is dropped, or finished
        when its results were being merged, and the result says ``interrupted``; the archive then holds
        every finished round, ready for :meth:`save`.
        """
        began = time.perf_counter()
        self.interrupted = False
        while self.replay is None:
            if max_steps is not None and self.steps >= max_steps:
                break
            if max_seconds is not None and time.perf_counter() - began >= max_seconds:
                break
            finished = self.round
            try:
                self.step_round()
            except KeyboardInterrupt:
                self.interrupted = True
                if self.round == finished:
                    break  # dropped: nothing to report
            try:
                if on_round is not None:
                    on_round(self)
            except KeyboardInterrupt:
                self.interrupted = True
            if self.interrupted:
                break
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
            self.replay,
            self.round,
            self.steps,
            self.seconds,
            len(self.cells),
            list(self.levels_passed),
            self.interrupted and self.replay is None,
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
            "passes": {str(level): path.hex() for level, path in self.passes.items()},
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
        self.round, self.steps, self.seconds, self.levels_passed, self._passed, self.max_level, self.cells = loaded[:7]
        self.passes = loaded[7]
        self._steps_offset = self.steps - self.workers.steps
        # A search that reached its target keeps its replay (of this run's target, when passed too).
        reached = [level for level in self.passes if self.target.reached_by(level)]
        self.replay = None
        if reached:
            self.replay = Replay(self.start, self.frame_skip, self.target, self.passes[min(reached)])

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
        passes = {}
        passed_names = {name for name, _, _ in levels_passed}
        for level, path in _typed(document.get("passes", {}), dict, "passes").items():
            if not (level.isdigit() and progress.level_name(int(level)) in passed_names):
                raise ValueError(f"passes names {level!r:.20}, not the index of a level it passed")
            passes[int(level)] = bytes.fromhex(_typed(path, str, "a path in passes"))
        return (
            _whole(document["round"], "round"),
            _whole(document["steps"], "steps"),
            _real(document["seconds"], "seconds"),
            levels_passed,
            _whole(document["passed"], "passed", -1),
            max_level,
            cells,
            passes,
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


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds back Ctrl-C (SIGINT) in the main thread until the block has run; elsewhere does nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.getsignal(signal.SIGINT)
    if not callable(previous):  # ignored, the default action, or not set from Python: leave it
        yield
        return
    held: list[Any] = []
    signal.signal(signal.SIGINT, lambda number, frame: held.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if held:
            previous(signal.SIGINT, held[0])


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
    or mapping as for :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv`).
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
