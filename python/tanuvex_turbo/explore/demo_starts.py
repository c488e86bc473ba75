"""Starts along a demonstration: saved lanes every few steps of each level of a replay.

One replay of a level is enough for a backward curriculum: begin the
episodes close to the level's end, and move the starts back towards its
beginning as the agent succeeds from them. :meth:`DemoStarts.record` plays a
replay once, in an environment of the trainer's observation configuration,
and keeps for every level it plays the saved lane (the bytes of
``clone_states``) at the level's first playable step and every ``every``
steps after it, up to the step before the level's end is reached (the goal
pole, or the bridge switch of a world's last level). A kept lane is a
:class:`DemoStart`: the level, the replay step after which the lane was
saved, and the lane.

:meth:`DemoStarts.from_end` picks by level and by position from the end,
:meth:`DemoStarts.sample` draws uniformly, and :meth:`DemoStarts.restore`
puts picks into lanes (``env.restore_states``), where they go on exactly as
the replay's lane did. :meth:`DemoStarts.save` keeps them in a file (the
lanes' own compressed, checksummed bytes) so that they are not recomputed.

File layout: :data:`MAGIC`, the length of a JSON header (unsigned 32,
little-endian), the header ``{"every": k, "starts": [[level, step, size],
...]}`` and the lanes' bytes one after the other, in the header's order.
"""

from __future__ import annotations

import errno
import json
import os
import struct
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from tanuvex_turbo.explore.replay import POWER_ON, Replay, start_catalog
from tanuvex_turbo.game import progress
from tanuvex_turbo.game.cartridge import open_unblocked
from tanuvex_turbo.game.lane_states import MAGIC as MAGIC_LANE
from tanuvex_turbo.game.lane_states import pack_lane_state, unpack_lane_state

__all__ = ["MAGIC", "MAX_FILE_SIZE", "DemoStart", "DemoStarts"]

#: First eight bytes of a file of starts.
MAGIC = b"TTDEMO1\x00"
#: Largest file of starts read (a whole game saved at every step is about 80 MB).
MAX_FILE_SIZE = 1 << 30
# Largest header read (some 20 bytes a start).
_MAX_HEADER_SIZE = 1 << 26
_LENGTH = struct.Struct("<I")
# Where the engine's snapshot keeps the lane's start-state index (signed 32).
_INDEX_AT = 8
# Room for one lane: its observation and its console.
_LANE_ROOM = 1 << 24


@dataclass(frozen=True)
class DemoStart:
    """A lane saved along a replay: in ``level`` (``"W-S"``) after replay step ``step``; ``state`` is what
    ``clone_states`` returns for it."""

    level: str
    step: int
    state: bytes


class DemoStarts:
    """Saved lanes along one replay, per level, in the order of their steps."""

    def __init__(self, starts: Sequence[DemoStart], every: int) -> None:
        if every < 1:
            raise ValueError(f"every must be at least 1, got {every}")
        self.every = every
        self._fitted: dict[tuple[bytes, int], bytes] = {}  # (lane, catalog size) -> the lane to restore
        self._levels: dict[str, list[DemoStart]] = {}
        for start in starts:
            self._levels.setdefault(start.level, []).append(start)
        for kept in self._levels.values():
            kept.sort(key=lambda start: start.step)

    @classmethod
    def record(
        cls,
        replay: Replay,
        rom_path: str | os.PathLike[str] | None = None,
        states: Any = None,
        every: int = 10,
        **config: Any,
    ) -> DemoStarts:
        """Plays ``replay`` once and keeps a lane every ``every`` steps of each level it plays.

        ``config`` is the observation configuration of the environments the
        starts are for (``obs_type``, ``grayscale``, ``frame_stack``, ``resize_width``,
        ``observations``, ...: the keyword arguments of ``TurboVectorEnv``
        that shape observations); their frame skip is the replay's.
        ``states`` is where the replay's start state is found (None:
        ``$TANUVEX_TURBO_STATES``; not needed from power-on).
        """
        from tanuvex_turbo.env.vector_env import TurboVectorEnv

        if every < 1:
            raise ValueError(f"every must be at least 1, got {every}")
        if config.get("frame_skip", replay.frame_skip) != replay.frame_skip:
            raise ValueError(f"the replay plays {replay.frame_skip} frames per step, not {config['frame_skip']}")
        for name in ("sticky_action_prob", "noop_reset_max"):
            if config.get(name):
                raise ValueError(f"{name} must be 0: the replay's lane plays its inputs as they are")
        catalog = start_catalog(replay.start, states)
        names = catalog.get("state_catalog_names", [])
        settings = {"num_threads": 1, **config}
        # The replay's lane plays the inputs as they are, to the end of the game.
        settings.update(
            frame_skip=replay.frame_skip,
            states=dict(zip(names, catalog.get("state_catalog_data", []))),
            start_state=None if replay.start == POWER_ON else replay.start,
            action_set="full",
            terminate_on_flag=False,
            max_episode_steps=None,
            end_on_level_end=False,
            end_on_life_loss=False,
            episodic_life=False,
            batch_size=None,
        )
        env = TurboVectorEnv(rom_path, 1, **settings)
        try:
            return cls(_record(env, replay, every), every)
        finally:
            env.close()

    @property
    def levels(self) -> list[str]:
        """The levels with starts, in the order the replay played them."""
        return list(self._levels)

    def of_level(self, level: str) -> list[DemoStart]:
        """The starts of ``level``, from its beginning to its end (KeyError: none)."""
        if level not in self._levels:
            raise KeyError(f"no starts in level {level!r}; levels with starts: {', '.join(self._levels) or 'none'}")
        return list(self._levels[level])

    def from_end(self, level: str, back: int = 0) -> DemoStart:
        """The start ``back`` places before the last one of ``level`` (0: the closest to its end); past the first
        one, the first one (the level's first playable step)."""
        kept = self.of_level(level)
        if back < 0:
            raise ValueError(f"back must be at least 0, got {back}")
        return kept[max(len(kept) - 1 - back, 0)]

    def sample(self, count: int, rng: Any = None, level: str | None = None) -> list[DemoStart]:
        """``count`` starts drawn uniformly (with replacement) from those of ``level``, or of every level.

        ``rng``: a ``numpy.random.Generator`` or a seed for one.
        """
        pool = self.of_level(level) if level is not None else [s for kept in self._levels.values() for s in kept]
        if not pool:
            raise ValueError("there are no starts to draw from")
        picks = np.random.default_rng(rng).integers(0, len(pool), size=count)
        return [pool[i] for i in picks]

    def restore(self, env: Any, starts: Sequence[DemoStart | None]) -> tuple[Any, dict[str, Any]]:
        """Puts the starts into the lanes of ``env`` (one entry per lane, None: leave the lane alone), through
        ``env.restore_states``; returns its ``(obs, info)``.

        The environment must have the observation configuration the starts
        were recorded with (else ``restore_states`` refuses them, changing
        nothing). Its start states need not be those of the replay: a lane
        saved from power-on goes into an environment with start states, and
        the other way round.
        """
        size = len(getattr(env, "state_names", ()))
        return env.restore_states(
            [None if start is None else self._fit(start, size, lane) for lane, start in enumerate(starts)]
        )

    def _fit(self, start: DemoStart, size: int, lane: int) -> bytes:
        key = (start.state, size)
        if key not in self._fitted:
            self._fitted[key] = _fit_catalog(start.state, size, lane)
        return self._fitted[key]

    def __len__(self) -> int:
        return sum(len(kept) for kept in self._levels.values())

    def __repr__(self) -> str:
        return f"DemoStarts({len(self)} starts in {len(self._levels)} levels, every {self.every} steps)"

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the starts to ``path`` (:meth:`load` reads them)."""
        starts = [start for kept in self._levels.values() for start in kept]
        header = json.dumps({"every": self.every, "starts": [[s.level, s.step, len(s.state)] for s in starts]})
        with open(path, "wb") as handle:
            handle.write(MAGIC + _LENGTH.pack(len(header)) + header.encode())
            for start in starts:
                handle.write(start.state)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> DemoStarts:
        """Reads starts written by :meth:`save`.

        The file is read as far as its header says, so that what is not a
        file of starts (``/dev/zero``, say) is refused after its first bytes.

        Raises:
            OSError: the file cannot be read, or its header gives it more than MAX_FILE_SIZE bytes (errno EFBIG).
            ValueError: the file is not a file of starts, or is cut short (naming the file).
        """
        where = os.fspath(path)
        with open_unblocked(path) as handle:
            try:
                every, entries = _header(handle, where)
                data = handle.read(min(sum(size for _, _, size in entries), MAX_FILE_SIZE) + 1)
                return cls(_starts(entries, data), every)
            except ValueError as error:
                raise ValueError(f"{where}: {error}") from None


def _header(handle: Any, where: str) -> tuple[int, list[tuple[str, int, int]]]:
    """``every`` and the (level, step, size) entries of the header of a file of starts, read from ``handle``."""
    head = handle.read(len(MAGIC) + _LENGTH.size)
    if len(head) < len(MAGIC) + _LENGTH.size or not head.startswith(MAGIC):
        raise ValueError("not a file of starts")
    (length,) = _LENGTH.unpack_from(head, len(MAGIC))
    if length > _MAX_HEADER_SIZE:
        raise ValueError(f"its header is damaged: it says it holds {length} bytes, more than {_MAX_HEADER_SIZE}")
    text = handle.read(length)
    if len(text) < length:
        raise ValueError("it is cut short in its header")
    try:
        header = json.loads(text)
    except (ValueError, RecursionError) as error:  # JSONDecodeError and UnicodeDecodeError are ValueErrors
        raise ValueError(f"its header is damaged: {error}") from None
    if not isinstance(header, dict):
        header = {}
    rows, every = header.get("starts"), header.get("every")
    if not (isinstance(rows, list) and isinstance(every, int) and _whole(every, 1)):
        raise ValueError('its header is damaged: it is not {"every": whole number, "starts": [...]}')
    entries: list[tuple[str, int, int]] = []
    for row in rows:
        if not (isinstance(row, list) and len(row) == 3 and isinstance(row[0], str) and _whole(row[1], 0)):
            raise ValueError(f"its header is damaged: {row!r:.60} is not [level, step, size]")
        if not _whole(row[2], 1):
            raise ValueError(f"its header is damaged: {row!r:.60} has no size of at least 1")
        progress.parse_level(row[0])
        entries.append((row[0], row[1], row[2]))
    if sum(size for _, _, size in entries) > MAX_FILE_SIZE:
        raise OSError(errno.EFBIG, f"file of starts is larger than {MAX_FILE_SIZE} bytes", where)
    return every, entries


def _whole(value: Any, low: int) -> bool:
    return type(value) is int and value >= low


def _starts(entries: list[tuple[str, int, int]], data: bytes) -> list[DemoStart]:
    """The starts of ``entries``, cut from ``data``, the bytes after the header."""
    starts, at = [], 0
    for level, step, size in entries:
        if at + size > len(data):
            raise ValueError("it is cut short")
        starts.append(DemoStart(level, step, data[at : at + size]))
        at += size
    if at != len(data):
        raise ValueError("it holds bytes after its last start")
    return starts


def _record(env: Any, replay: Replay, every: int) -> list[DemoStart]:
    ram = np.zeros(env.engine.ram_shape(), np.uint8)
    first: dict[int, int] = {}  # level -> its first playable step
    starts: list[DemoStart] = []
    env.reset(seed=0)
    action = np.zeros(1, np.int64)
    for step in range(len(replay.actions) + 1):
        if step:
            action[0] = replay.actions[step - 1]
            _, _, terminated, truncated, _ = env.step(action)
            if terminated[0] or truncated[0]:
                break
        env.engine.ram_into(ram)
        level = int(progress.level_index(ram)[0])
        if level in first and progress.level_end(ram)[0]:
            continue  # until the next level starts
        if level not in first:
            if not progress.playable(ram)[0]:
                continue
            first[level] = step
        if (step - first[level]) % every == 0:
            starts.append(DemoStart(progress.level_name(level), step, env.clone_states()[0]))
    return starts


def _fit_catalog(state: bytes, size: int, lane: int) -> bytes:
    """``state`` with a start-state index that an environment of ``size`` start states accepts.

    The index only says which start state the lane was last reset to; an
    environment refuses a lane whose index is outside its own list (-1, power-on,
    for an environment without start states). The lane itself is unchanged.
    """
    if not state.startswith(MAGIC_LANE):
        return state  # a form without the configuration's fingerprint: restore_states judges it as it is
    envelope = unpack_lane_state(state, lane, _LANE_ROOM, None)
    (index,) = struct.unpack_from("<i", envelope, _INDEX_AT)
    if (size == 0 and index == -1) or 0 <= index < size:
        return state
    fitted = envelope[:_INDEX_AT] + struct.pack("<i", -1 if size == 0 else 0) + envelope[_INDEX_AT + 4 :]
    return pack_lane_state(fitted, state[12:20])
