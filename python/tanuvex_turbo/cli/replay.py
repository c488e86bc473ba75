"""The ``replay`` subcommand of ``tanuvex-turbo``: does a replay file reach its target?

``replay FILE``
    Plays a replay file in a fresh environment, prints each level passed
    (``1-1``, ``1-2``, ...) and exits 0 only when the file's target is reached
    (status 3 otherwise); ``--save-starts DIR`` also writes the start state of
    every level it enters into DIR.
"""

from __future__ import annotations

import argparse
import os
from typing import Any

from tanuvex_turbo.cli.support import (
    EXIT_NOT_REACHED,
    EXIT_STATUS_HELP,
    CliError,
    cartridge_options,
    catalog_for_start,
    resolve_rom,
    run_engine,
)

__all__ = ["add_command"]


def add_command(commands: Any) -> None:
    """Adds ``replay`` to the subcommands of the ``tanuvex-turbo`` parser."""
    rep = commands.add_parser(
        "replay",
        parents=[cartridge_options(argparse.SUPPRESS)],
        help="play a replay file and check that it reaches its target",
        description="Plays a replay file in a fresh environment, from the start it names, and prints each level "
        f"passed. Exit status 0 when the target is reached, {EXIT_NOT_REACHED} when not.",
        epilog=EXIT_STATUS_HELP,
    )
    rep.add_argument("file", metavar="FILE", help="replay file")
    rep.add_argument(
        "--save-starts",
        metavar="DIR",
        help="also write the start state of every level the replay enters (DIR/W-S.state, at its first playable "
        "moment) into DIR",
    )
    rep.set_defaults(handler=_replay)


def _replay(args: argparse.Namespace) -> int:
    from tanuvex_turbo.explore import replay

    if args.state is not None:
        raise CliError("a replay starts from the start state its file names; drop --state")
    rom_path = resolve_rom(args.rom)
    try:
        recorded = replay.read_replay(args.file)
    except OSError as error:
        raise CliError(f"cannot read {args.file}: {error.strerror or error}") from None
    except ValueError as error:
        raise CliError(f"{args.file}: {error}") from None
    catalog = catalog_for_start(args.states, recorded.start)
    states = args.states or os.environ.get("TANUVEX_TURBO_STATES")
    folder = args.save_starts
    if folder is not None and states and os.path.isdir(folder) and os.path.isdir(states):
        if os.path.samefile(folder, states):
            raise CliError(f"--save-starts {folder} is the folder of the start states in use: name another folder")
    if folder is not None:  # before the replay plays, which may take a while
        _make_folder(folder)

    def show(name: str, step: int) -> None:
        print(f"{name}  (step {step})", flush=True)

    result = run_engine(lambda: replay.play_replay(recorded, rom_path, catalog, on_level=show), rom_path)
    if folder is not None:
        _save_starts(folder, recorded, rom_path, catalog)
    if result.reached:
        print(f"target {recorded.target} reached at step {result.target_step} of {len(recorded.actions)}")
        return 0
    print(f"target {recorded.target} NOT reached after {result.steps} steps")
    return EXIT_NOT_REACHED


def _make_folder(folder: str) -> None:
    """Makes ``folder`` (and its parents) unless it is one already; CliError when it cannot be."""
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise CliError(f"--save-starts {folder} is not a folder (a file, or a link to none)")
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot make the folder {folder} for --save-starts: {error.strerror or error}") from None


def _save_starts(folder: str, recorded: Any, rom_path: str, catalog: dict[str, list]) -> None:
    from tanuvex_turbo.explore import replay

    def show(start: Any, path: Any) -> None:
        print(f"{start.level}  start at step {start.step} (frame {start.frame}): {path}", flush=True)

    try:
        paths = replay.save_level_starts(recorded, rom_path, folder, catalog, on_start=show)
    except OSError as error:
        raise CliError(f"cannot write start states into {folder}: {error.strerror or error}") from None
    print(f"wrote {len(paths)} start states into {folder}")
