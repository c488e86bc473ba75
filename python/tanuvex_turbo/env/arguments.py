"""The constructor's arguments of :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv`, checked and grouped.

:func:`check_arguments` checks every argument the Python side owns, in one
fixed order (the engine checks the rest when it is built), and returns them
in four groups, as a user thinks of them:

- :class:`Game`: what to play (the cartridge, the start states, the actions);
- :class:`Observation`: what to observe (the observation, the extra info);
- :class:`EpisodeRules`: how episodes start and end (autoreset, limits, lives);
- :class:`Running`: how to run (lanes, batches, threads, seeds, copies).

The small checks used again after construction (an episode limit set later,
a reset mask, a mask of lanes, actions) are here too.
"""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from gymnasium.vector import AutoresetMode

from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv, extra_info_descriptors
from tanuvex_turbo.game.actions import ActionSetChoice, resolve_action_set
from tanuvex_turbo.game.cartridge import explain_cartridge_error, rom_path_and_source
from tanuvex_turbo.game.fields import INFO_FIELDS
from tanuvex_turbo.game.lane_states import observation_fingerprint
from tanuvex_turbo.game.states import StatesSource, load_catalog

__all__ = [
    "MAX_NUM_ENVS",
    "Arguments",
    "EpisodeRules",
    "Game",
    "Observation",
    "Running",
    "action_bytes",
    "check_arguments",
    "check_num_envs",
    "check_reset_mask",
    "episode_limit",
    "lane_mask",
    "open_engine",
    "parse_autoreset_mode",
    "whole_number",
]

#: The most lanes one environment accepts (about 10 GB of consoles and observations).
MAX_NUM_ENVS = 65536

_EXTRA_DTYPES = {"bool": np.bool_, "int8": np.int8, "int16": np.int16, "int32": np.int32}

#: (name, id, column offset, count, dtype) of one requested extra info entry.
ExtraLayout = list[tuple[str, int, int, int, Any]]


@dataclass(frozen=True)
class Game:
    """What to play: the cartridge image, the start-state catalog, the action set and each lane's start."""

    rom_path: str
    rom_source: str
    catalog_data: list[bytes]
    catalog_names: list[str]
    action_table: np.ndarray
    start_state: Any


@dataclass(frozen=True)
class Observation:
    """What to observe: the observation's type and shape, and what ``info`` holds besides the game values.

    An observation-free environment (``observations=False``) has the
    one-byte observation settings here already.
    """

    observations: bool
    obs_type: str | None
    frame_skip: int
    grayscale: bool
    frame_stack: int
    frame_maxpool: bool
    crop_top: int
    crop_bottom: int
    crop_left: int
    crop_right: int
    crop_mode: str
    crop_fill: int
    resize_width: int
    resize_height: int
    resize_algorithm: str
    extra_layout: ExtraLayout
    progress_info: bool

    def engine_arguments(self) -> dict[str, Any]:
        """The engine's keyword arguments that shape observations and info."""
        return {
            "frame_skip": self.frame_skip,
            # "rgb" is the colour picture; a contradicting grayscale=False is the engine's to refuse.
            "grayscale": self.grayscale and self.obs_type != "rgb",
            "frame_stack": self.frame_stack,
            "crop_top": self.crop_top,
            "crop_bottom": self.crop_bottom,
            "resize_width": self.resize_width,
            "resize_height": self.resize_height,
            "frame_maxpool": self.frame_maxpool,
            "crop_left": self.crop_left,
            "crop_right": self.crop_right,
            "crop_mode": self.crop_mode,
            "crop_fill": self.crop_fill,
            "resize_algorithm": self.resize_algorithm,
            "extra_info_ids": [entry[1] for entry in self.extra_layout] or None,
            "render_observations": self.observations,
            "obs_type": self.obs_type,
        }

    def fingerprint(self, engine: _RetroVecEnv) -> bytes:
        """Tags the lanes saved under this configuration: others restore them only under the same one."""
        return observation_fingerprint(
            frame_skip=self.frame_skip,
            grayscale=engine.grayscale,  # as the observation type resolved it
            frame_stack=self.frame_stack,
            frame_maxpool=self.frame_maxpool,
            crop_top=self.crop_top,
            crop_bottom=self.crop_bottom,
            crop_left=self.crop_left,
            crop_right=self.crop_right,
            crop_mode=self.crop_mode,
            crop_fill=self.crop_fill,
            resize_width=self.resize_width,
            resize_height=self.resize_height,
            resize_algorithm=self.resize_algorithm,
            render_observations=self.observations,
            obs_type=engine.obs_type,
        )


@dataclass(frozen=True)
class EpisodeRules:
    """How episodes start and end: the autoreset mode, the time limit, lost lives, the end of a level."""

    autoreset_mode: AutoresetMode
    max_episode_steps: int | None
    end_on_life_loss: bool
    episodic_life: bool
    end_on_level_end: bool
    terminate_on_flag: bool
    noop_reset_max: int


@dataclass(frozen=True)
class Running:
    """How to run: lanes, the asynchronous batch, threads, seeds, sticky actions, copies and rendering."""

    num_envs: int
    batch_size: int | None
    num_threads: int | None
    seed: int | None
    sticky_action_prob: float
    copy: bool
    render_mode: str | None


@dataclass(frozen=True)
class Arguments:
    """The constructor's arguments, checked, in their four groups."""

    game: Game
    observation: Observation
    episodes: EpisodeRules
    running: Running

    def engine_arguments(self) -> dict[str, Any]:
        """Every keyword argument of the engine (after the cartridge path and the lane count)."""
        game, running, episodes = self.game, self.running, self.episodes
        return {
            **self.observation.engine_arguments(),
            "terminate_on_flag": episodes.terminate_on_flag,
            "state_catalog_data": game.catalog_data or None,
            "state_catalog_names": game.catalog_names or None,
            "seed": 0 if running.seed is None else running.seed,
            "noop_reset_max": episodes.noop_reset_max,
            "sticky_action_prob": running.sticky_action_prob,
            "num_threads": running.num_threads,
        }


def check_arguments(
    rom_path: str | os.PathLike[str] | None,
    num_envs: Any,
    *,
    states: StatesSource | None,
    start_state: Any,
    action_set: ActionSetChoice,
    autoreset_mode: Any,
    max_episode_steps: Any,
    end_on_life_loss: bool,
    episodic_life: bool,
    render_mode: str | None,
    copy: bool,
    extra_info: Sequence[str | int],
    seed: Any,
    frame_skip: int,
    grayscale: bool,
    frame_stack: int,
    terminate_on_flag: bool,
    crop_top: int,
    crop_bottom: int,
    crop_left: int,
    crop_right: int,
    crop_mode: str,
    crop_fill: int,
    resize_width: int,
    resize_height: int,
    resize_algorithm: str,
    frame_maxpool: bool,
    noop_reset_max: int,
    sticky_action_prob: float,
    num_threads: int | None,
    observations: bool,
    obs_type: str | None,
    progress_info: bool,
    end_on_level_end: bool,
    batch_size: Any,
) -> Arguments:
    """Checks the constructor's arguments (the ones the engine does not check) and groups them.

    Reads ``$TANUVEX_TURBO_STATES`` when ``states`` is None, and the catalog.
    """
    num_envs = check_num_envs(num_envs)
    if end_on_life_loss and episodic_life:
        raise ValueError("end_on_life_loss and episodic_life exclude each other: choose one")
    action_table = resolve_action_set(action_set)
    rom_path, rom_source = rom_path_and_source(rom_path)
    if states is None:
        states = os.environ.get("TANUVEX_TURBO_STATES") or None
    mode = parse_autoreset_mode(autoreset_mode)
    max_episode_steps = episode_limit(max_episode_steps)
    if batch_size is not None:
        batch_size = whole_number(batch_size, "batch_size")
        if not 1 <= batch_size <= num_envs:
            raise ValueError(f"batch_size must be in 1..num_envs ({num_envs}), got {batch_size}")
    if render_mode not in (None, "rgb_array"):
        raise ValueError(f"render_mode must be None or 'rgb_array', got {render_mode!r}")
    if seed is not None:
        seed = whole_number(seed, "seed")
        if seed < 0:
            raise ValueError(f"seed must be a non-negative integer, got {seed}")
    catalog_data, catalog_names = load_catalog(states)
    layout = _extra_layout(extra_info)
    if not observations:
        grayscale, frame_stack, frame_maxpool = True, 1, False
        crop_top, crop_bottom, crop_left, crop_right = 223, 0, 239, 0
        crop_mode, resize_width, resize_height, resize_algorithm = "remove", 1, 1, "nearest"
        obs_type = None
    return Arguments(
        game=Game(rom_path, rom_source, catalog_data, catalog_names, action_table, start_state),
        observation=Observation(
            observations=bool(observations),
            obs_type=obs_type,
            frame_skip=frame_skip,
            grayscale=grayscale,
            frame_stack=frame_stack,
            frame_maxpool=frame_maxpool,
            crop_top=crop_top,
            crop_bottom=crop_bottom,
            crop_left=crop_left,
            crop_right=crop_right,
            crop_mode=crop_mode,
            crop_fill=crop_fill,
            resize_width=resize_width,
            resize_height=resize_height,
            resize_algorithm=resize_algorithm,
            extra_layout=layout,
            progress_info=bool(progress_info),
        ),
        episodes=EpisodeRules(
            autoreset_mode=mode,
            max_episode_steps=max_episode_steps,
            end_on_life_loss=bool(end_on_life_loss),
            episodic_life=bool(episodic_life),
            end_on_level_end=bool(end_on_level_end),
            terminate_on_flag=terminate_on_flag,
            noop_reset_max=noop_reset_max,
        ),
        running=Running(
            num_envs=num_envs,
            batch_size=batch_size,
            num_threads=num_threads,
            seed=seed,
            sticky_action_prob=sticky_action_prob,
            copy=bool(copy),
            render_mode=render_mode,
        ),
    )


def whole_number(value: Any, name: str) -> int:
    """``value`` as an int: an int or anything with ``__index__`` (not a bool); a float such as 1.5 is refused."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None


def episode_limit(value: Any) -> int | None:
    """``max_episode_steps`` checked: None or a whole number of at least 1."""
    if value is None:
        return None
    value = whole_number(value, "max_episode_steps")
    if value < 1:
        raise ValueError(f"max_episode_steps must be at least 1, got {value}")
    return value


def check_num_envs(num_envs: Any) -> int:
    """``num_envs`` as an int, or the error that says what it may be."""
    try:
        value = operator.index(num_envs)
    except TypeError:
        raise TypeError(
            f"num_envs must be an integer from 1 to {MAX_NUM_ENVS}, got {type(num_envs).__name__}"
        ) from None
    if isinstance(num_envs, bool) or not 1 <= value <= MAX_NUM_ENVS:
        raise ValueError(f"num_envs must be an integer from 1 to {MAX_NUM_ENVS}, got {num_envs!r}")
    return value


def parse_autoreset_mode(value: Any) -> AutoresetMode:
    """An AutoresetMode from a member, its value ("SameStep") or its name in any case ("same_step")."""
    if isinstance(value, AutoresetMode):
        return value
    if isinstance(value, str):
        key = value.replace("_", "").lower()
        for mode in AutoresetMode:
            if key in (mode.value.lower(), mode.name.replace("_", "").lower()):
                return mode
    choices = ", ".join(f"{mode.name} ({mode.value!r})" for mode in AutoresetMode)
    raise ValueError(f"autoreset_mode must be a gymnasium.vector.AutoresetMode or one of {choices}, got {value!r}")


def open_engine(rom_source: str, rom_path: str, *args: Any, **kwargs: Any) -> _RetroVecEnv:
    """Builds the engine; a cartridge it cannot open raises an error that names the file and what to do."""
    try:
        return _RetroVecEnv(rom_path, *args, **kwargs)
    except RuntimeError as error:
        explained = explain_cartridge_error(str(error), rom_path, rom_source)
        if explained is None:
            raise
        raise explained from None


def _extra_layout(requested: Sequence[str | int]) -> ExtraLayout:
    """(name, id, column offset, count, dtype) per requested extra info entry, in the caller's order."""
    if isinstance(requested, (str, int)):
        requested = [requested]
    catalogue = extra_info_descriptors()
    by_name = {entry[1]: entry for entry in catalogue}
    layout = []
    offset = 0
    seen = set()
    for item in requested:
        if isinstance(item, str):
            entry = by_name.get(item)
            if entry is None:
                raise ValueError(f"unknown extra info {item!r}; known: {', '.join(by_name)}")
        elif isinstance(item, (int, np.integer)) and 0 <= int(item) < len(catalogue):
            entry = catalogue[int(item)]
        else:
            raise ValueError(f"unknown extra info {item!r}")
        ident, name, count, dtype = entry[0], entry[1], entry[2], entry[3]
        if name in seen:
            raise ValueError(f"extra info {name!r} is requested twice")
        seen.add(name)
        if name in dict(INFO_FIELDS):
            raise ValueError(f"extra info {name!r} clashes with a game value of the same name")
        layout.append((name, ident, offset, count, _EXTRA_DTYPES[dtype]))
        offset += count
    return layout


def action_bytes(table: np.ndarray, raw: bool, actions: Any, count: int, out: np.ndarray | None = None) -> np.ndarray:
    """The controller bytes of ``count`` action indices (raw bytes when the action set is ``"full"``), in ``out``."""
    actions = np.asarray(actions)
    if actions.shape != (count,):
        raise ValueError(f"actions must have shape ({count},), got {actions.shape}")
    if out is None:
        out = np.empty(count, np.uint8)
    kind = actions.dtype.kind
    if kind == "u" and raw and actions.dtype.itemsize == 1:
        np.copyto(out, actions)
        return out
    if kind not in "iu" and not (kind == "f" and np.all(np.mod(actions, 1) == 0)):
        raise TypeError(
            f"actions must be non-negative integers (or floats that are whole numbers), got dtype {actions.dtype}"
        )
    # Compared before any conversion: take() would wrap a uint64 above
    # the signed range, or a float beyond it, to a valid index.
    if actions.size and (actions.min() < 0 or actions.max() >= len(table)):
        bad = actions.min() if actions.min() < 0 else actions.max()
        raise ValueError(f"action {bad} is outside the action space (0..{len(table) - 1})")
    return table.take(actions.astype(np.intp), out=out)


def check_reset_mask(mask: Any, n: int) -> np.ndarray:
    if not isinstance(mask, np.ndarray):
        raise TypeError(f"`options['reset_mask']` must be a numpy array, got {type(mask)}")
    if mask.shape != (n,):
        raise ValueError(f"`options['reset_mask']` must have shape `({n},)`, got {mask.shape}")
    if mask.dtype != np.bool_:
        raise TypeError(f"`options['reset_mask']` must have `dtype=np.bool_`, got {mask.dtype}")
    if not np.any(mask):
        raise ValueError(
            f"`options['reset_mask']` must contain a boolean array with at least one True value, got reset_mask={mask}"
        )
    return np.ascontiguousarray(mask)


def lane_mask(mask: Any, n: int, what: str) -> np.ndarray:
    """A bool array of n lanes from None (every lane) or anything array-like of n booleans."""
    if mask is None:
        return np.ones(n, np.bool_)
    lanes = np.asarray(mask)
    if lanes.shape != (n,) or lanes.dtype != np.bool_:
        raise ValueError(f"{what} must be {n} booleans, got shape {lanes.shape} of {lanes.dtype}")
    if not lanes.any():
        raise ValueError(f"{what} must select at least one lane")
    return np.ascontiguousarray(lanes)
