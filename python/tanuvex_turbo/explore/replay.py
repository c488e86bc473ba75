"""Replay files: the controller inputs of one lane, from power-on or from a named start state.

A replay file is plain text::

    tanuvex-turbo replay 1
    start: power-on
    frame_skip: 4
    target: level 1-1
    actions:
    80*37 81*12 80 00*3 ...

The first line names the format and its version. ``key: value`` lines follow,
in any order, until the line ``actions:``; everything after it is the action
list. ``#`` starts a comment anywhere.

``start``
    ``power-on`` (the console is switched on, the game starts from its title
    screen) or the name of a start state of the catalog (``1-1``, ``4-1``, ...).
``frame_skip``
    frames per action (the engine's ``frame_skip``), 1 to :data:`MAX_FRAME_SKIP`.
``target``
    what the inputs reach: ``level W-S`` (the end of that level), ``world W``
    (the end of its last level) or ``game`` (the end of the last level).

Every action token is one controller byte in hexadecimal (two digits, bit 0
A, bit 7 right), optionally followed by ``*N`` for N repetitions. A replay
holds at most :data:`MAX_REPLAY_STEPS` actions and plays at most :data:`MAX_REPLAY_FRAMES`
frames (actions times ``frame_skip``), and its file holds at most
:data:`MAX_REPLAY_FILE_SIZE` bytes (a whole game is about 25,000 actions, 20
KB). The replay
runs one lane with no sticky actions and no random no-op frames after the
reset, so the same file always plays the same frames.
"""

from __future__ import annotations

import errno
import os
import pathlib
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from tanuvex_turbo.game import progress
from tanuvex_turbo.game.cartridge import read_at_most

__all__ = [
    "FORMAT_LINE",
    "LevelStart",
    "MAX_FRAME_SKIP",
    "MAX_REPLAY_FILE_SIZE",
    "MAX_REPLAY_FRAMES",
    "MAX_REPLAY_STEPS",
    "POWER_ON",
    "Replay",
    "ReplayResult",
    "format_replay",
    "level_starts",
    "parse_replay",
    "play_replay",
    "read_replay",
    "save_level_starts",
    "start_catalog",
    "write_replay",
]

#: First line of every replay file.
FORMAT_LINE = "tanuvex-turbo replay 1"
POWER_ON = "power-on"
#: Most frames per action, the engine's own bound.
MAX_FRAME_SKIP = 3600
#: Most actions in a replay (about 40 times a whole game at 4 frames per action).
MAX_REPLAY_STEPS = 1_000_000
#: Most frames a replay plays (a million actions at 4 frames each, some 18 hours of the game's clock):
#: checking one takes about a minute of CPU time, writing its level starts a few minutes.
MAX_REPLAY_FRAMES = 4_000_000
#: Largest replay file read.
MAX_REPLAY_FILE_SIZE = 4 << 20
_TOKEN = re.compile(r"^([0-9a-fA-F]{2})(?:\*([0-9]+))?$")
_NUMBER = re.compile(r"^[0-9]{1,12}$")  # 12 digits: no huge integers are built
_TOKENS_PER_LINE = 16


@dataclass(frozen=True)
class Replay:
    """One lane's inputs: ``actions`` (controller bytes) from ``start`` with ``frame_skip`` frames each."""

    start: str
    frame_skip: int
    target: progress.Target
    actions: bytes


@dataclass(frozen=True)
class ReplayResult:
    """What a replay reached: the levels passed in order (``"1-1"``, ...), the step that reached the target."""

    levels_passed: list[str]
    target_step: int | None
    steps: int

    @property
    def reached(self) -> bool:
        return self.target_step is not None


@dataclass(frozen=True)
class LevelStart:
    """The start state of one level taken from a replay: at the level's first playable moment.

    ``frame`` counts the frames from the replay's start to that moment (it
    lies in step ``step``, counted from 1); ``image`` is the state image
    (uncompressed; :func:`tanuvex_turbo.game.states.write_state_file` writes it).
    """

    level: str
    step: int
    frame: int
    image: bytes


def format_replay(replay: Replay) -> str:
    """The text of a replay file (runs of one byte written once with their count)."""
    tokens = []
    actions = replay.actions
    i = 0
    while i < len(actions):
        j = i
        while j < len(actions) and actions[j] == actions[i]:
            j += 1
        tokens.append(f"{actions[i]:02x}" if j - i == 1 else f"{actions[i]:02x}*{j - i}")
        i = j
    lines = [
        FORMAT_LINE,
        f"start: {replay.start}",
        f"frame_skip: {replay.frame_skip}",
        f"target: {replay.target}",
        f"# {len(actions)} steps",
        "actions:",
    ]
    lines += [" ".join(tokens[k : k + _TOKENS_PER_LINE]) for k in range(0, len(tokens), _TOKENS_PER_LINE)]
    return "\n".join(lines) + "\n"


def parse_replay(text: str) -> Replay:
    """Reads the text of a replay file.

    Raises:
        ValueError: the text is not a replay file of this format, or its numbers are out of bounds
            (``frame_skip`` above MAX_FRAME_SKIP, more than MAX_REPLAY_STEPS actions), naming the line at fault,
            or it would play more than MAX_REPLAY_FRAMES frames.
    """
    lines = [line.split("#", 1)[0].strip() for line in text.splitlines()]
    if not lines or lines[0] != FORMAT_LINE:
        raise ValueError(f"not a replay file: the first line must be {FORMAT_LINE!r}")
    header: dict[str, tuple[int, str]] = {}
    body_start = None
    for number, line in enumerate(lines[1:], start=2):
        if not line:
            continue
        if line == "actions:":
            body_start = number
            break
        key, sep, value = line.partition(":")
        if not sep or key.strip() not in ("start", "frame_skip", "target"):
            raise ValueError(f"line {number}: expected 'start:', 'frame_skip:', 'target:' or 'actions:', got {line!r}")
        header[key.strip()] = (number, value.strip())
    if body_start is None:
        raise ValueError("the replay file has no 'actions:' line")
    for key in ("start", "frame_skip", "target"):
        if key not in header:
            raise ValueError(f"the replay file has no {key!r} line")
    number, value = header["frame_skip"]
    if not _NUMBER.match(value) or not 1 <= int(value) <= MAX_FRAME_SKIP:
        raise ValueError(f"line {number}: frame_skip must be a whole number from 1 to {MAX_FRAME_SKIP}, got {value!r}")
    frame_skip = int(value)
    number, value = header["target"]
    try:
        target = progress.parse_target(value)
    except ValueError as error:
        raise ValueError(f"line {number}: {error}") from None
    actions = bytearray()
    for number, line in enumerate(lines[body_start:], start=body_start + 1):
        for token in line.split():
            match = _TOKEN.match(token)
            if match is None:
                raise ValueError(f"line {number}: {token!r} is not an action (two hex digits, optionally *COUNT)")
            digits = match.group(2) or "1"
            count = int(digits) if len(digits) <= 12 else MAX_REPLAY_STEPS + 1
            if count < 1:
                raise ValueError(f"line {number}: {token!r}: the repeat count must be at least 1")
            if count > MAX_REPLAY_STEPS - len(actions):
                raise ValueError(
                    f"line {number}: {token!r}: the replay would hold more than {MAX_REPLAY_STEPS} actions"
                )
            actions += bytes([int(match.group(1), 16)]) * count
    replay = Replay(header["start"][1], frame_skip, target, bytes(actions))
    _check_frames(replay)
    return replay


def _check_frames(replay: Replay) -> None:
    frames = len(replay.actions) * replay.frame_skip
    if frames > MAX_REPLAY_FRAMES:
        raise ValueError(
            f"the replay would play {frames} frames ({len(replay.actions)} actions of {replay.frame_skip} frames), "
            f"more than {MAX_REPLAY_FRAMES}"
        )


def read_replay(path: str | os.PathLike[str]) -> Replay:
    """Reads a replay file (see :func:`parse_replay`).

    A FIFO without a writer reads as empty instead of blocking.

    Raises:
        OSError: the file cannot be read, or holds more than MAX_REPLAY_FILE_SIZE bytes (errno EFBIG).
        ValueError: the file is empty, not UTF-8 text, or not a replay file.
    """
    data = read_at_most(path, MAX_REPLAY_FILE_SIZE)
    if len(data) > MAX_REPLAY_FILE_SIZE:
        raise OSError(errno.EFBIG, f"replay file is larger than {MAX_REPLAY_FILE_SIZE} bytes", os.fspath(path))
    if not data:
        raise ValueError("the replay file is empty")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"not a replay file: byte {error.start} is not UTF-8 text") from None
    return parse_replay(text)


def write_replay(path: str | os.PathLike[str], replay: Replay) -> None:
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(format_replay(replay))


def start_catalog(start: str, states: Any = None) -> dict[str, Any]:
    """Engine catalog arguments holding only the start state ``start`` (none for ``"power-on"``).

    ``states`` is what :func:`tanuvex_turbo.game.states.load_catalog` reads (a
    directory, a file, a mapping; None: ``$TANUVEX_TURBO_STATES``).

    Raises:
        ValueError: ``start`` is not among the states.
    """
    from tanuvex_turbo.game.states import load_catalog

    if start == POWER_ON:
        return {}
    if states is None:
        states = os.environ.get("TANUVEX_TURBO_STATES")
    data, names = load_catalog(states) if states is not None else ([], [])
    if start not in names:
        raise ValueError(f"unknown start state {start!r}; known: {', '.join(names) or 'none'}")
    return {"state_catalog_data": [data[names.index(start)]], "state_catalog_names": [start]}


def play_replay(
    replay: Replay,
    rom_path: str,
    catalog: dict[str, Any] | None = None,
    on_level: Callable[[str, int], None] | None = None,
) -> ReplayResult:
    """Plays a replay in a fresh one-lane environment and reports the levels it passes.

    ``catalog`` holds the engine's ``state_catalog_data`` and ``state_catalog_names``
    (needed unless the replay starts from power-on). ``on_level(name, step)`` is
    called for each level passed, in order. The replay stops at the target.
    """
    engine, index = _engine_for(replay, rom_path, catalog, 1, replay.frame_skip)
    tracker = progress.LaneTracker(engine)
    tracker.reset(np.array([index], np.int32))
    passed: list[str] = []
    target_step = None
    actions = np.zeros(1, np.uint8)
    for step, action in enumerate(replay.actions, start=1):
        actions[0] = action
        tracker.step(actions)
        for level in tracker.passed_now(0):
            name = progress.level_name(level)
            passed.append(name)
            if on_level is not None:
                on_level(name, step)
            if replay.target.reached_by(level):
                target_step = step
        if target_step is not None or tracker.game_over[0]:
            break
    return ReplayResult(passed, target_step, step if replay.actions else 0)


def _engine_for(replay: Replay, rom_path: str, catalog: dict[str, Any] | None, num_envs: int, frame_skip: int):
    """A fresh engine for playing ``replay`` and the start index of its lanes (ValueError: too long a replay)."""
    from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv

    _check_frames(replay)
    catalog = catalog or {}
    names: Sequence[str] = catalog.get("state_catalog_names") or []
    if replay.start == POWER_ON:
        index = -1
        catalog = {}  # power-on resets need an environment without start states
    elif replay.start in names:
        index = list(names).index(replay.start)
    else:
        raise ValueError(f"the replay starts from {replay.start!r}, which is not among the start states given")
    engine = _RetroVecEnv(
        rom_path,
        num_envs,
        frame_skip=frame_skip,
        terminate_on_flag=False,
        num_threads=1,
        **progress.NO_OBSERVATION,
        **catalog,
    )
    return engine, index


def level_starts(
    replay: Replay,
    rom_path: str,
    catalog: dict[str, Any] | None = None,
    on_start: Callable[[LevelStart], None] | None = None,
) -> list[LevelStart]:
    """The start state of every level whose first playable moment the replay reaches, in order.

    A level's first playable moment is the first frame at the end of which
    :func:`tanuvex_turbo.game.progress.playable` holds on that level: the frame in
    which the game hands the player over. The level the replay starts in is
    left out when the replay starts from a start state (that state is its
    start). A state image cannot hold the controller (its loader runs its
    frame with no buttons pressed), so a lane loaded from a level's start is
    the replay's lane at that moment with the buttons of its last frame
    released: the game has read them but not acted on them yet, so only its
    two bytes of controller reading differ, and from the next frame on the
    two lanes play the same frames for the same inputs (unless Start or
    Select is held across that frame: the game reacts to a new press of
    those). ``catalog`` is as
    for :func:`play_replay`; ``on_start`` is called with each start found.
    The replay is played to its last action, or until its game is over.
    """
    # Lane 0 plays the replay, lane 1 follows one frame behind: when lane 0
    # reaches a level's first playable moment, lane 1 holds the frame before,
    # which is what a state image describes.
    from tanuvex_turbo.game.states import state_image

    engine, index = _engine_for(replay, rom_path, catalog, 2, 1)
    ahead, both = np.array([True, False]), np.ones(2, np.bool_)
    tracker = progress.LaneTracker(engine)
    tracker.reset(np.full(2, index, np.int32))
    seen = set(tracker.level[:1][progress.playable(tracker.ram[:1])].tolist())  # a start state is its level's start
    actions = np.zeros(2, np.uint8)
    starts: list[LevelStart] = []
    frame = 0
    for step, action in enumerate(replay.actions, start=1):
        for _ in range(replay.frame_skip):
            frame += 1
            actions[1] = actions[0]
            actions[0] = action
            tracker.step(actions, ahead if frame == 1 else both)
            if tracker.game_over[0]:
                return starts
            level = int(tracker.level[0])
            if level not in seen and progress.playable(tracker.ram[:1])[0]:
                seen.add(level)
                behind = engine.capture_snapshots(tracker.obs, ~ahead)[1]
                start = LevelStart(progress.level_name(level), step, frame, state_image(behind.to_bytes()))
                starts.append(start)
                if on_start is not None:
                    on_start(start)
    return starts


def save_level_starts(
    replay: Replay,
    rom_path: str,
    directory: str | os.PathLike[str],
    catalog: dict[str, Any] | None = None,
    on_start: Callable[[LevelStart, pathlib.Path], None] | None = None,
) -> list[pathlib.Path]:
    """Writes the start state of every level the replay enters (:func:`level_starts`) into ``directory``.

    Each goes to ``W-S.state``, gzip-compressed like the start states of
    ``$TANUVEX_TURBO_STATES`` (a file of that name is replaced), so the
    directory can be given wherever start states are read. The directory is
    made when missing. ``on_start(start, path)`` is called after each file is
    written. Returns the paths written, in order.
    """
    from tanuvex_turbo.game.states import write_state_file

    folder = pathlib.Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    paths: list[pathlib.Path] = []

    def write(start: LevelStart) -> None:
        path = folder / f"{start.level}.state"
        write_state_file(path, start.image)
        paths.append(path)
        if on_start is not None:
            on_start(start, path)

    level_starts(replay, rom_path, catalog, write)
    return paths
