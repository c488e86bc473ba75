"""Pieces shared by the subcommands of ``tanuvex-turbo`` (and ``python -m tanuvex_turbo.bench``).

Errors the commands report in one line, the exit statuses, where the
cartridge image and the start states come from, and the parent parser of
their ``--rom`` / ``--states`` / ``--state`` options.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, TypeVar

from tanuvex_turbo.game.cartridge import EXPECTED_SHA256, inspect_cartridge
from tanuvex_turbo.game.states import load_catalog

__all__ = [
    "EXIT_INTERRUPTED",
    "EXIT_NOT_REACHED",
    "EXIT_STATUS_HELP",
    "EXIT_USAGE",
    "EXIT_WRONG_CARTRIDGE",
    "FIRST_STATE_HELP",
    "PROG",
    "CliError",
    "cartridge_options",
    "catalog_for_start",
    "guard",
    "resolve_catalog",
    "resolve_rom",
    "run_engine",
]

PROG = "tanuvex-turbo"
EXIT_WRONG_CARTRIDGE = 1
EXIT_USAGE = 2
#: ``replay`` and ``explore``: the target was not reached.
EXIT_NOT_REACHED = 3
EXIT_INTERRUPTED = 130

#: Every exit status of the commands, in words.
EXIT_STATUS_HELP = (
    f"Exit status: 0 success; {EXIT_WRONG_CARTRIDGE} the cartridge image is not the supported one or the engine "
    f"refused it (also: the output pipe was closed); {EXIT_USAGE} usage error, a missing or unreadable input "
    f"file, a missing optional dependency; {EXIT_NOT_REACHED} (replay, explore) the target was not reached; "
    f"{EXIT_INTERRUPTED} interrupted (Ctrl-C)."
)

#: What ``--state`` means to the commands that start from the catalog's first state by default.
FIRST_STATE_HELP = (
    "name of the start state (default: the first of --states by name; power-on when no start states are given)"
)

T = TypeVar("T")


class CliError(Exception):
    """An error the command reports in one line and turns into an exit status."""

    def __init__(self, message: str, code: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.message = message
        self.code = code


def guard(action: Callable[[], int]) -> int:
    """Runs ``action``; reports a :class:`CliError` on stderr and returns its exit status."""
    try:
        return action()
    except CliError as error:
        print(f"{PROG}: error: {error.message}", file=sys.stderr)
        return error.code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. "| head"): stop quietly, and keep Python's
        # final flush of stdout from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def resolve_rom(path: str | None) -> str:
    """The cartridge image to use: ``path`` or ``$TANUVEX_TURBO_ROM``, checked to be the supported image.

    Raises:
        CliError: no path, a missing file (status 2) or the wrong image (status 1).
    """
    if path == "":
        raise CliError("the cartridge path is empty")
    path = path if path is not None else os.environ.get("TANUVEX_TURBO_ROM")
    if not path:
        raise CliError("no cartridge image given: pass --rom PATH or set TANUVEX_TURBO_ROM")
    if not os.path.isfile(path):
        raise CliError(f"cartridge image not found: {path}")
    try:
        report = inspect_cartridge(path, search_repair=False)
    except OSError as error:
        raise CliError(f"cannot read cartridge image {path}: {error.strerror or error}") from None
    if not report.supported:
        raise CliError(
            f"{path} is not the supported cartridge image (SHA-256 {report.sha256}, expected {EXPECTED_SHA256}); "
            f"run '{PROG} check {path}' to see why and how to fix it",
            EXIT_WRONG_CARTRIDGE,
        )
    return path


def resolve_catalog(states: str | None, state: str | None) -> dict[str, list]:
    """Engine catalog arguments with the chosen start state (name, or the first one) as the only entry.

    ``states`` defaults to ``$TANUVEX_TURBO_STATES``; without either, the
    catalog is empty (power-on start) and ``state`` must not be given.
    """
    states = states or os.environ.get("TANUVEX_TURBO_STATES")
    if not states:
        if state:
            raise CliError("--state needs start states: pass --states DIR or set TANUVEX_TURBO_STATES")
        return {}
    try:
        data, names = load_catalog(states)
    except FileNotFoundError as error:
        raise CliError(str(error)) from None
    except (ValueError, OSError) as error:
        raise CliError(f"cannot read start states from {states}: {error}") from None
    index = 0
    if state:
        if state not in names:
            raise CliError(f"unknown start state {state!r}; known: {', '.join(names)}")
        index = names.index(state)
    return {"state_catalog_data": [data[index]], "state_catalog_names": [names[index]]}


def catalog_for_start(states: str | None, start: str) -> dict[str, list]:
    """Engine catalog arguments for a search or a replay from ``start``: none from power-on, else
    :func:`resolve_catalog` of that state."""
    from tanuvex_turbo.explore.replay import POWER_ON

    return {} if start == POWER_ON else resolve_catalog(states, start)


def run_engine(action: Callable[[], T], rom_path: str) -> T:
    """Runs ``action``, turning the engine's cartridge refusals into :class:`CliError`."""
    try:
        return action()
    except RuntimeError as error:
        text = str(error)
        if text.startswith("failed to read ROM"):
            raise CliError(f"{rom_path}: {text}") from None
        if "ROM" in text or "iNES" in text or "mapper" in text:
            raise CliError(f"{rom_path}: {text}; run '{PROG} check {rom_path}'", EXIT_WRONG_CARTRIDGE) from None
        raise


def cartridge_options(state_help: str = FIRST_STATE_HELP) -> argparse.ArgumentParser:
    """A parent parser with the ``--rom``, ``--states`` and ``--state`` options every engine command takes;
    ``state_help`` says what ``--state`` does for the command (``argparse.SUPPRESS``: not listed)."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--rom", help="cartridge image (default: $TANUVEX_TURBO_ROM)")
    parser.add_argument("--states", help="start states: a directory or file (default: $TANUVEX_TURBO_STATES)")
    parser.add_argument("--state", help=state_help)
    return parser
