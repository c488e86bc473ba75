"""The ``tanuvex-turbo`` command.

Subcommands:

``check [ROM]``
    Is this file the supported cartridge image? Prints its size, digest and
    header, a clear verdict, and how to fix a file whose only fault is its
    header (``--fix OUT`` writes the corrected copy).
``bench``
    The environment benchmark (also ``python -m tanuvex_turbo.bench``).
``record``
    Plays a start state with a random or scripted policy and writes the
    display frames as an animated GIF or an MP4 video.
``explore``
    Searches a way through the game (archive exploration) and writes it as
    a replay file.
``replay FILE``
    Plays a replay file and checks that it reaches its target; ``--save-starts DIR``
    also writes the start state of every level it enters.

Each subcommand is a module of this package with an ``add_command``
function that adds its parser; ``support`` holds what they share (errors,
exit statuses, the cartridge and start-state options).

The cartridge image defaults to ``$TANUVEX_TURBO_ROM`` and the start states
to ``$TANUVEX_TURBO_STATES``.

Exit status: 0 success; 1 the cartridge image is not the supported one (or
the engine refused it, or the output pipe was closed); 2 usage errors, a
missing or unreadable input file, a missing optional dependency; 3 (``replay``
and ``explore``) the target was not reached; 130 interrupted.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from tanuvex_turbo.cli import bench, check, explore, record, replay
from tanuvex_turbo.cli.support import (
    EXIT_STATUS_HELP,
    PROG,
    CliError,
    guard,
    resolve_catalog,
    resolve_rom,
    run_engine,
)

__all__ = ["CliError", "build_parser", "guard", "main", "resolve_catalog", "resolve_rom", "run_engine"]

#: The subcommands, one module each, in the order of ``--help``.
SUBCOMMANDS = (check, bench, record, explore, replay)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tanuvex-turbo`` command."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tools for the batched emulation environment of the supported game.",
        epilog=EXIT_STATUS_HELP,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    for subcommand in SUBCOMMANDS:
        subcommand.add_command(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``tanuvex-turbo`` command; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    args.argv = argv
    return guard(lambda: args.handler(args))
