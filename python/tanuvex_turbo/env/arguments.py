"""The constructor's arguments of :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv`, checked.

:func:`check_arguments` checks every option against its declaration
(:mod:`tanuvex_turbo.env.options`), then what only the Python side can
check (the cartridge's path, the start states, the action set, the extra
info), and returns :class:`Arguments`: the values, what they resolved to,
and the engine's arguments. The small checks used again after construction
(an episode limit set later, a reset mask, a mask of lanes, actions) are
here too.
"""

from __future__ import annotations

import operator
import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from gymnasium.vector import AutoresetMode

from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv, extra_info_descriptors
from tanuvex_turbo.env.options import check_observation_size, check_options, engine_options, fingerprint_options
from tanuvex_turbo.game.actions import START, resolve_action_set
from tanuvex_turbo.game.cartridge import explain_cartridge_error, rom_path_and_source
from tanuvex_turbo.game.fields import INFO_FIELDS
from tanuvex_turbo.game.lane_states import observation_fingerprint
from tanuvex_turbo.game.states import load_catalog

__all__ = [
    "MAX_NUM_ENVS",
    "Arguments",
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

#: The engine's name of each autoreset mode.
_ENGINE_AUTORESET = {
    AutoresetMode.NEXT_STEP: "next_step",
    AutoresetMode.SAME_STEP: "same_step",
    AutoresetMode.DISABLED: "off",
}


@dataclass(frozen=True)
class Arguments:
    """The constructor's arguments, checked: every option's value and what it resolved to."""

    values: dict[str, Any]
    num_envs: int
    rom_path: str
    rom_source: str
    catalog_data: list[bytes]
    catalog_names: list[str]
    action_table: np.ndarray
    extra_layout: ExtraLayout
    autoreset_mode: AutoresetMode

    def engine_arguments(self) -> dict[str, Any]:
        """Every keyword argument of the engine (after the cartridge path and the lane count)."""
        return {
            **engine_options(self.values),
            "state_catalog_data": self.catalog_data or None,
            "state_catalog_names": self.catalog_names or None,
            "extra_info_ids": [entry[1] for entry in self.extra_layout] or None,
            "autoreset": _ENGINE_AUTORESET[self.autoreset_mode],
        }

    def fingerprint(self, engine: _RetroVecEnv) -> bytes:
        """Tags the lanes saved under this configuration: others restore them only under the same one."""
        return observation_fingerprint(**fingerprint_options(self.values, engine.grayscale, engine.obs_type))


def check_arguments(rom_path: str | os.PathLike[str] | None, num_envs: Any, options: dict[str, Any]) -> Arguments:
    """Checks the constructor's arguments; reads ``$TANUVEX_TURBO_STATES`` when ``states`` is None, and the catalog."""
    num_envs = check_num_envs(num_envs)
    values = check_options(options)
    check_observation_size(values)
    if values["end_on_life_loss"] and values["episodic_life"]:
        raise ValueError("end_on_life_loss and episodic_life exclude each other: choose one")
    action_table = resolve_action_set(values["action_set"])
    rom_path, rom_source = rom_path_and_source(rom_path)
    states = values["states"]
    if states is None:
        states = os.environ.get("TANUVEX_TURBO_STATES") or None
    mode = parse_autoreset_mode(values["autoreset_mode"])
    batch_size = values["batch_size"]
    if batch_size is not None:
        batch_size = values["batch_size"] = whole_number(batch_size, "batch_size")
    if batch_size is not None and not 1 <= batch_size <= num_envs:
        raise ValueError(f"batch_size must be in 1..num_envs ({num_envs}), got {batch_size}")
    if batch_size is not None and batch_size < num_envs and mode is not AutoresetMode.NEXT_STEP:
        raise ValueError(f"batch_size below num_envs needs autoreset_mode NEXT_STEP, got {mode.name}")
    catalog_data, catalog_names = load_catalog(states)
    if not catalog_names and not np.any(action_table & START):
        warnings.warn(
            "without start states every lane starts at power-on, on the title screen, and no action of this "
            "action set presses Start, so no game will begin (no reward, no episode end): pass states=... "
            "(or set TANUVEX_TURBO_STATES), or an action set with Start such as action_set='full_game'",
            UserWarning,
            stacklevel=3,
        )
    layout = _extra_layout(values["extra_info"])
    return Arguments(values, num_envs, rom_path, rom_source, catalog_data, catalog_names, action_table, layout, mode)


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
