"""Every option of :class:`~tanuvex_turbo.env.vector_env.TurboVectorEnv`, declared once.

An :class:`Option` is a keyword argument of the class: its default, the
values it accepts, a line of help, the engine argument it becomes (if any)
and whether it shapes observations (then it is part of the fingerprint a
saved lane carries). The constructor's signature, its checks, the engine's
arguments, the fingerprint and the options table of ``docs/options.md``
come from :data:`OPTIONS`; a test holds the engine's own parameters and
its type stub against it. Adding an option is one entry here and its rule
where the option acts.
"""

from __future__ import annotations

import inspect
import math
import operator
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from gymnasium.vector import AutoresetMode

__all__ = [
    "OPTIONS",
    "Option",
    "check_options",
    "engine_options",
    "fingerprint_options",
    "options_doc",
    "options_table",
    "signature",
]

#: Largest frame stack and resize extents (and, checked with them, one lane's observation in bytes).
MAX_FRAME_STACK = 64
MAX_RESIZE = 4096
MAX_LANE_OBSERVATION = 256 << 20


@dataclass(frozen=True)
class Option:
    """One keyword argument of the environment."""

    name: str
    default: Any
    help: str
    #: "bool", "int" (``low``..``high``), "real" (``low``..``high``), "choice" (``choices``) or "any" (checked
    #: where it is used); ``optional`` also accepts None.
    kind: str = "any"
    low: float | None = None
    high: float | None = None
    choices: tuple[str, ...] = ()
    optional: bool = False
    #: The engine's argument it becomes ("" for none); ``to_engine`` converts the value.
    engine: str = ""
    to_engine: Callable[[Any], Any] | None = None
    #: Shapes observations: saved lanes carry it in their fingerprint.
    shapes_observations: bool = False
    #: A picture argument: ignored (and given to the engine at its default) by the observation types
    #: that draw nothing, and by an observation-free environment.
    picture: bool = False

    def check(self, value: Any) -> Any:
        """The value, checked: the error names the option and what it accepts."""
        if value is None and (self.optional or self.default is None):
            return None
        if self.kind == "bool":
            if not isinstance(value, bool) and type(value).__name__ != "bool_":
                raise TypeError(f"{self.name} must be True or False, got {value!r}")
            return bool(value)
        if self.kind == "int":
            if isinstance(value, bool) or not hasattr(value, "__index__"):
                raise TypeError(f"{self.name} must be an integer, got {type(value).__name__}")
            number = operator.index(value)
            if not self.low <= number <= self.high:  # type: ignore[operator]
                raise ValueError(f"{self.name} must be an integer from {self.low} to {self.high}, got {number}")
            return number
        if self.kind == "real":
            if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
                raise TypeError(f"{self.name} must be a number, got {type(value).__name__}")
            real = float(value)
            if math.isnan(real) or not self.low <= real <= self.high:  # type: ignore[operator]
                raise ValueError(f"{self.name} must be between {self.low} and {self.high}, got {value!r}")
            return real
        if self.kind == "choice" and value not in self.choices:
            raise ValueError(f"{self.name} must be one of {', '.join(map(repr, self.choices))}, got {value!r}")
        return value


def _seed(value: int | None) -> int:
    return 0 if value is None else value


def _opt(name: str, default: Any, help: str, **kwargs: Any) -> Option:
    return Option(name, default, help, **kwargs)


def _picture_int(name: str, default: int, high: int, help: str, low: int = 0) -> Option:
    return _opt(
        name, default, help, kind="int", low=low, high=high, engine=name, shapes_observations=True, picture=True
    )


#: Every option, in the constructor's order (after ``rom_path`` and ``num_envs``).
OPTIONS: tuple[Option, ...] = (
    _opt(
        "states",
        None,
        "start states: a folder of *.state files, a file, a mapping or sequence of them; "
        "None reads $TANUVEX_TURBO_STATES, () starts from power-on",
    ),
    _opt(
        "start_state",
        None,
        "each lane's start state: a name, an index, 'random', or one per lane "
        "(default: '1-1' when the catalog has it, else its first entry)",
    ),
    _opt(
        "action_set",
        "simple",
        "'right_only', 'simple', 'complex', 'full_game', 'full', or a list of " "controller bytes or button names",
    ),
    _opt(
        "autoreset_mode",
        AutoresetMode.NEXT_STEP,
        "Gymnasium's autoreset mode: NEXT_STEP, SAME_STEP or DISABLED " "(a member, its value or its name in any case)",
    ),
    _opt(
        "max_episode_steps",
        None,
        "truncate an episode after this many steps (None: no limit)",
        kind="int",
        low=1,
        high=2**62,
        optional=True,
        engine="max_episode_steps",
    ),
    _opt(
        "end_on_life_loss",
        False,
        "a lost life ends the episode; the next one reloads the start state",
        kind="bool",
        engine="end_on_life_loss",
    ),
    _opt(
        "episodic_life",
        False,
        "a lost life ends the episode; the next one goes on in the same game " "(excludes end_on_life_loss)",
        kind="bool",
        engine="episodic_life",
    ),
    _opt(
        "render_mode",
        None,
        "'rgb_array': render() returns each lane's display frame",
        kind="choice",
        choices=("rgb_array",),
        optional=True,
    ),
    _opt(
        "copy",
        True,
        "return fresh arrays (False: the environment's own buffers, overwritten by the next call)",
        kind="bool",
    ),
    _opt("extra_info", (), "names or ids of extra_info_descriptors() to add to info"),
    _opt(
        "seed",
        None,
        "seed of the lanes' random streams at construction (lane i gets seed + i)",
        kind="int",
        low=0,
        high=2**64 - 1,
        optional=True,
        engine="seed",
        to_engine=_seed,
    ),
    _opt(
        "frame_skip",
        4,
        "emulated frames per step",
        kind="int",
        low=1,
        high=3600,
        engine="frame_skip",
        shapes_observations=True,
    ),
    _opt(
        "grayscale",
        True,
        "the picture in gray (False: colour, three planes)",
        kind="bool",
        engine="grayscale",
        shapes_observations=True,
        picture=True,
    ),
    _opt(
        "frame_stack",
        4,
        "frames per observation, the oldest first",
        kind="int",
        low=1,
        high=MAX_FRAME_STACK,
        engine="frame_stack",
        shapes_observations=True,
    ),
    _opt(
        "terminate_on_flag",
        True,
        "end the episode when x_pos reaches 3160 during a frame",
        kind="bool",
        engine="terminate_on_flag",
    ),
    _picture_int("crop_top", 0, 223, "rows cut (or masked) from the top of the 240 x 224 picture"),
    _picture_int("crop_bottom", 0, 223, "rows cut (or masked) from the bottom"),
    _picture_int("crop_left", 0, 239, "columns cut (or masked) from the left"),
    _picture_int("crop_right", 0, 239, "columns cut (or masked) from the right"),
    _opt(
        "crop_mode",
        "remove",
        "'remove' the cropped border, or 'mask' it with crop_fill",
        kind="choice",
        choices=("remove", "mask"),
        engine="crop_mode",
        shapes_observations=True,
        picture=True,
    ),
    _picture_int("crop_fill", 0, 255, "the gray value (or colour index) of a masked border"),
    _picture_int("resize_width", 84, MAX_RESIZE, "observation width in pixels", low=1),
    _picture_int("resize_height", 84, MAX_RESIZE, "observation height in pixels", low=1),
    _opt(
        "resize_algorithm",
        "area",
        "'area', 'nearest' or 'bilinear'",
        kind="choice",
        choices=("area", "nearest", "bilinear"),
        engine="resize_algorithm",
        shapes_observations=True,
        picture=True,
    ),
    _opt(
        "frame_maxpool",
        False,
        "the newest frame is the maximum of the step's last two",
        kind="bool",
        engine="frame_maxpool",
        shapes_observations=True,
        picture=True,
    ),
    _opt(
        "noop_reset_max",
        0,
        "a reset runs a random 0..N frames with no buttons",
        kind="int",
        low=0,
        high=3600,
        engine="noop_reset_max",
    ),
    _opt(
        "sticky_action_prob",
        0.0,
        "each step repeats the lane's last action with this probability",
        kind="real",
        low=0.0,
        high=1.0,
        engine="sticky_action_prob",
    ),
    _opt(
        "num_threads",
        None,
        "worker threads (None: one per core, at most one per lane)",
        kind="int",
        low=1,
        high=1024,
        optional=True,
        engine="num_threads",
    ),
    _opt(
        "observations",
        True,
        "False: no observation is drawn (one byte that stays 0)",
        kind="bool",
        engine="render_observations",
        shapes_observations=True,
    ),
    _opt(
        "obs_type",
        None,
        "'grayscale', 'rgb', 'ram' or 'tiles' (None: the picture, gray unless grayscale=False)",
        kind="choice",
        choices=("grayscale", "rgb", "ram", "tiles"),
        optional=True,
        engine="obs_type",
        shapes_observations=True,
    ),
    _opt("progress_info", False, "add level_end and dying to info", kind="bool", engine="progress_info"),
    _opt(
        "end_on_level_end",
        False,
        "end the episode where the game ends the level (implies progress_info)",
        kind="bool",
        engine="end_on_level_end",
    ),
    _opt("batch_size", None, "lanes recv() returns, 1..num_envs (below num_envs: asynchronous)"),
)

_BY_NAME = {option.name: option for option in OPTIONS}


def check_options(given: dict[str, Any]) -> dict[str, Any]:
    """Every option's value, checked, defaults filled in; an unknown name is a TypeError, as for a signature."""
    unknown = sorted(set(given) - set(_BY_NAME))
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r}")
    return {option.name: option.check(given.get(option.name, option.default)) for option in OPTIONS}


def check_observation_size(values: dict[str, Any]) -> None:
    """Refuses a configuration whose one lane's observation would take more than MAX_LANE_OBSERVATION bytes."""
    if _draws_picture(values):
        planes = 1 if values["grayscale"] and values["obs_type"] != "rgb" else 3
        size = values["frame_stack"] * planes * values["resize_height"] * values["resize_width"]
        what = "frame_stack x planes x resize_height x resize_width"
    else:
        size, what = values["frame_stack"] * 2048, "frame_stack x 2048"
    if size > MAX_LANE_OBSERVATION:
        raise ValueError(
            f"one lane's observation would take {size} bytes ({what}), more than {MAX_LANE_OBSERVATION}: "
            "lower frame_stack, resize_width or resize_height"
        )


def _draws_picture(values: dict[str, Any]) -> bool:
    return bool(values["observations"]) and values["obs_type"] not in ("ram", "tiles")


def engine_options(values: dict[str, Any]) -> dict[str, Any]:
    """The engine's keyword arguments of checked option values (the picture's at their defaults where unused)."""
    picture = _draws_picture(values)
    out = {}
    for option in OPTIONS:
        if not option.engine:
            continue
        value = values[option.name] if picture or not option.picture else option.default
        out[option.engine] = option.to_engine(value) if option.to_engine else value
    # "rgb" is the colour picture; a contradicting grayscale=False is the engine's to refuse.
    out["grayscale"] = out["grayscale"] and values["obs_type"] != "rgb"
    if not values["observations"]:
        out.update(_NO_OBSERVATION)
    return out


def fingerprint_options(values: dict[str, Any], grayscale: bool, obs_type: str) -> dict[str, Any]:
    """The engine arguments saved lanes are fingerprinted by (colour and type as the engine resolved them)."""
    engine = engine_options(values)
    shaped = {option.engine: engine[option.engine] for option in OPTIONS if option.shapes_observations}
    shaped.update(grayscale=grayscale, obs_type=obs_type)
    return shaped


#: An observation-free environment: one byte (a one-pixel gray source region, no stack, 1 x 1) that stays 0.
_NO_OBSERVATION: dict[str, Any] = {
    "grayscale": True,
    "frame_stack": 1,
    "frame_maxpool": False,
    "crop_top": 223,
    "crop_bottom": 0,
    "crop_left": 239,
    "crop_right": 0,
    "crop_mode": "remove",
    "resize_width": 1,
    "resize_height": 1,
    "resize_algorithm": "nearest",
    "obs_type": None,
}


def signature() -> inspect.Signature:
    """``TurboVectorEnv(self, rom_path=None, num_envs=8, *, <every option>)``."""
    keyword = inspect.Parameter.KEYWORD_ONLY
    head = [
        inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD),
        inspect.Parameter("rom_path", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None),
        inspect.Parameter("num_envs", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=8),
    ]
    return inspect.Signature(head + [inspect.Parameter(o.name, keyword, default=o.default) for o in OPTIONS])


def options_doc() -> str:
    """The options as a docstring section."""
    lines = "".join(f"    - ``{o.name}`` (default ``{o.default!r}``): {o.help}.\n" for o in OPTIONS)
    return "\n    Options:\n\n" + lines


def options_table() -> str:
    """The options as a Markdown table (``docs/options.md`` holds it; a test keeps the two equal)."""
    rows = ["| option | default | accepts | what it does |", "|---|---|---|---|"]
    for option in OPTIONS:
        if option.kind == "int":
            accepts = f"{option.low}..{option.high}"
        elif option.kind == "real":
            accepts = f"{option.low} to {option.high}"
        elif option.kind == "choice":
            accepts = ", ".join(f"`{c!r}`" for c in option.choices)
        else:
            accepts = option.kind if option.kind == "bool" else "see the text"
        if option.optional and option.kind != "any":
            accepts += ", None"
        marks = " (saved lanes' fingerprint)" if option.shapes_observations else ""
        default = f"AutoresetMode.{option.default.name}" if hasattr(option.default, "name") else repr(option.default)
        rows.append(f"| `{option.name}` | `{default}` | {accepts} | {option.help}{marks} |")
    return "\n".join(rows) + "\n"
