"""Controller bytes and the named discrete action sets.

An action of the engine is one controller byte per lane: every value 0..255 is
valid, and each bit is one button of the console's standard controller:

====  ========
bit   button
====  ========
0     A
1     B
2     Select
3     Start
4     Up
5     Down
6     Left
7     Right
====  ========

Agents usually pick from a short list of useful button combinations instead.
An *action set* is such a list: action ``i`` of the set is the controller byte
``ACTION_SETS[name][i]``. The sets offered here are the usual ones for
platformer agents:

``right_only``
    no-op and running right with any of the jump / run buttons (5 actions).
``simple``
    ``right_only`` plus A alone and left (7 actions).
``complex``
    ``simple`` plus left with the jump / run buttons, down and up (12 actions).
``full_game``
    ``simple`` plus left with A or B, down (to enter pipes) and start (to
    leave the title screen; it also pauses play) (11 actions): what a whole
    game from power-on needs.
``full``
    every controller byte, action ``i`` being byte ``i`` (256 actions).

>>> from tanuvex_turbo import actions
>>> actions.action_set("simple")
array([  0, 128, 129, 130, 131,   1,  64], dtype=uint8)
>>> actions.describe(0x81)
'right+A'
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Union

import numpy as np

__all__ = [
    "A",
    "B",
    "SELECT",
    "START",
    "UP",
    "DOWN",
    "LEFT",
    "RIGHT",
    "NOOP",
    "BUTTONS",
    "ACTION_SETS",
    "action_set",
    "action_set_names",
    "buttons_to_byte",
    "byte_to_buttons",
    "describe",
    "parse_action",
    "resolve_action_set",
]

A = 0x01
B = 0x02
SELECT = 0x04
START = 0x08
UP = 0x10
DOWN = 0x20
LEFT = 0x40
RIGHT = 0x80
NOOP = 0x00

#: Button names in bit order (bit 0 first), as used by :func:`describe`.
BUTTONS: tuple[str, ...] = ("A", "B", "select", "start", "up", "down", "left", "right")

_BUTTON_BITS: dict[str, int] = {name.lower(): 1 << bit for bit, name in enumerate(BUTTONS)}
_BUTTON_BITS.update({"noop": 0, "none": 0})

# Order in which describe() names the buttons of a combination: direction first.
_DESCRIBE_ORDER = (RIGHT, LEFT, DOWN, UP, A, B, SELECT, START)

_RIGHT_ONLY = (NOOP, RIGHT, RIGHT | A, RIGHT | B, RIGHT | A | B)
_SIMPLE = _RIGHT_ONLY + (A, LEFT)
_COMPLEX = _SIMPLE + (LEFT | A, LEFT | B, LEFT | A | B, DOWN, UP)
_FULL_GAME = _SIMPLE + (LEFT | A, LEFT | B, DOWN, START)

#: The named action sets: name -> controller bytes, action index order.
ACTION_SETS: dict[str, tuple[int, ...]] = {
    "right_only": _RIGHT_ONLY,
    "simple": _SIMPLE,
    "complex": _COMPLEX,
    "full_game": _FULL_GAME,
    "full": tuple(range(256)),
}

ActionSetChoice = Union[str, Sequence[Union[int, str, Sequence[str]]]]


def action_set_names() -> list[str]:
    """The names accepted by :func:`action_set`, in a stable order."""
    return list(ACTION_SETS)


def action_set(name: str) -> np.ndarray:
    """The controller bytes of the named action set as a new ``uint8`` array.

    Raises:
        ValueError: ``name`` is not one of :func:`action_set_names`.
    """
    table = ACTION_SETS.get(name) if isinstance(name, str) else None
    if table is None:
        raise ValueError(
            f"unknown action set {name!r}: action_set must be one of {', '.join(ACTION_SETS)}, "
            "or a list of controller bytes or button combinations such as 'right+A'"
        )
    return np.array(table, dtype=np.uint8)


def buttons_to_byte(buttons: Iterable[str]) -> int:
    """The controller byte with the named buttons held (names are case-insensitive).

    ``buttons_to_byte(["right", "A"])`` is ``0x81``; an empty list is the no-op 0.

    Raises:
        ValueError: a name is not a button (see :data:`BUTTONS`).
    """
    value = 0
    for name in buttons:
        bit = _BUTTON_BITS.get(str(name).strip().lower())
        if bit is None:
            raise ValueError(f"unknown button {name!r}; buttons are: {', '.join(BUTTONS)}")
        value |= bit
    return value


def byte_to_buttons(value: int) -> list[str]:
    """The names of the buttons held in a controller byte, in bit order."""
    value = _check_byte(value)
    return [name for bit, name in enumerate(BUTTONS) if value & (1 << bit)]


def describe(value: int) -> str:
    """A short label for a controller byte: ``"right+A"``, ``"noop"``, ...

    Directions come first, then A, B, select and start.
    """
    value = _check_byte(value)
    if value == 0:
        return "noop"
    return "+".join(BUTTONS[bit.bit_length() - 1] for bit in _DESCRIBE_ORDER if value & bit)


def parse_action(text: str) -> int:
    """Parses one controller byte written as a number or as buttons joined by ``+``.

    Accepted forms: ``"129"``, ``"0x81"``, ``"right+A"``, ``"noop"``.

    Raises:
        ValueError: the text is neither a byte value nor a button combination.
    """
    text = text.strip()
    if not text:
        raise ValueError("empty action")
    try:
        number = int(text, 0)
    except ValueError:
        return buttons_to_byte(text.split("+"))
    return _check_byte(number)


def resolve_action_set(choice: ActionSetChoice) -> np.ndarray:
    """Turns an action-set name or a custom list into its controller bytes.

    ``choice`` is a name of :data:`ACTION_SETS`, or a non-empty sequence whose items
    are controller bytes (0..255), texts accepted by :func:`parse_action`, or
    sequences of button names. Returns a new ``uint8`` array.

    Raises:
        ValueError: an unknown action-set name, an empty list or an item that is not a controller byte.
    """
    if isinstance(choice, str):
        return action_set(choice)
    table = []
    for item in choice:
        if isinstance(item, str):
            table.append(parse_action(item))
        elif isinstance(item, (int, np.integer)):
            table.append(_check_byte(int(item)))
        else:
            table.append(buttons_to_byte(item))
    if not table:
        raise ValueError("an action set needs at least one action")
    return np.array(table, dtype=np.uint8)


def _check_byte(value: int) -> int:
    value = int(value)
    if not 0 <= value <= 255:
        raise ValueError(f"a controller byte lies in 0..255, got {value}")
    return value
