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

The cartridge image defaults to ``$TANUVEX_TURBO_ROM`` and the start states
to ``$TANUVEX_TURBO_STATES``.

Exit status: 0 success; 1 the cartridge image is not the supported one (or
the engine refused it); 2 usage errors, a missing file, a missing optional
dependency.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Callable, Dict, List, Optional, Sequence, TypeVar

__all__ = ["CliError", "build_parser", "guard", "main", "resolve_catalog", "resolve_rom", "run_engine"]

PROG = "tanuvex-turbo"
EXIT_WRONG_CARTRIDGE = 1
EXIT_USAGE = 2

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
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. "| head"): stop quietly, and keep Python's
        # final flush of stdout from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def resolve_rom(path: Optional[str]) -> str:
    """The cartridge image to use: ``path`` or ``$TANUVEX_TURBO_ROM``, checked to be the supported image.

    Raises:
        CliError: no path, a missing file (status 2) or the wrong image (status 1).
    """
    from tanuvex_turbo.cartridge import EXPECTED_SHA256, inspect_cartridge

    path = path or os.environ.get("TANUVEX_TURBO_ROM")
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


def resolve_catalog(states: Optional[str], state: Optional[str]) -> Dict[str, List]:
    """Engine catalog arguments with the chosen start state (name, or the first one) as the only entry.

    ``states`` defaults to ``$TANUVEX_TURBO_STATES``; without either, the
    catalog is empty (power-on start) and ``state`` must not be given.
    """
    from tanuvex_turbo.states import load_catalog

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


# ---------------------------------------------------------------------- check


def _describe_header(report) -> str:
    header = report.header
    if header is None:
        return "none (the file is shorter than 16 bytes)"
    if not header.magic_ok:
        return "not an iNES header (no 'NES\\x1a' magic)"
    return (
        f"iNES, {header.prg_banks} x 16 KiB PRG, {header.chr_banks} x 8 KiB CHR, mapper {header.mapper}, "
        f"{'vertical' if header.vertical_mirroring else 'horizontal'} mirroring, "
        f"{'a' if header.trainer else 'no'} trainer"
    )


def _check(args: argparse.Namespace) -> int:
    from tanuvex_turbo.cartridge import EXPECTED_SHA256, inspect_cartridge

    path = args.rom or os.environ.get("TANUVEX_TURBO_ROM")
    if not path:
        raise CliError("no cartridge image given: pass ROM or set TANUVEX_TURBO_ROM")
    if not os.path.exists(path):
        raise CliError(f"cartridge image not found: {path}")
    try:
        report = inspect_cartridge(path)
    except OSError as error:
        raise CliError(f"cannot read cartridge image {path}: {error.strerror or error}") from None
    print(f"file:     {path} ({report.size} bytes)")
    print(f"sha256:   {report.sha256}")
    print(f"expected: {EXPECTED_SHA256}")
    print(f"header:   {_describe_header(report)}")
    if report.header is not None:
        with open(path, "rb") as handle:
            what = "the 16 header bytes" if report.header.magic_ok else "the first 16 bytes"
            print(f"bytes:    {handle.read(16).hex(' ')}  ({what})")
    engine_error = None
    if not args.no_engine:
        from tanuvex_turbo import _RetroVecEnv

        try:
            _RetroVecEnv(path, 1, num_threads=1)
            print("engine:   loads it")
        except RuntimeError as error:
            engine_error = str(error)
            print(f"engine:   refuses it: {engine_error}")
    if report.supported:
        if engine_error is not None:
            print("result:   NOT usable: the digest matches but the engine refuses the file")
            return EXIT_WRONG_CARTRIDGE
        print("result:   OK, this is the supported cartridge image")
        if args.fix:
            print("fix:      nothing to fix; no file written")
        return 0
    if report.repair is not None:
        print("result:   NOT the supported image as it is, but the program and pattern data are right:")
        for note in report.repair_notes:
            print(f"          - {note}")
        for problem in report.header_problems:
            print(f"          - as it is, the engine would also refuse its header: {problem}")
        if args.fix:
            if os.path.abspath(args.fix) == os.path.abspath(path):
                raise CliError("--fix must name a new file, not the image itself")
            with open(args.fix, "wb") as handle:
                handle.write(report.repair)
            print(f"fix:      wrote the corrected image to {args.fix} (its SHA-256 is the expected one)")
            return 0
        print(f"fix:      run '{PROG} check {path} --fix FIXED.nes' to write a corrected copy, then use FIXED.nes")
        return EXIT_WRONG_CARTRIDGE
    print("result:   NOT the supported cartridge image: the digest of the whole file differs, and no")
    print("          standard header over this file's data gives the expected digest, so the program or")
    print("          pattern data differ (another dump, a revision, a hack or another game)")
    for problem in report.header_problems:
        print(f"          - the engine would also refuse it: {problem}")
    if args.fix:
        print("fix:      no header repair can make this file the supported image; no file written")
    return EXIT_WRONG_CARTRIDGE


# ---------------------------------------------------------------------- record


def _record(args: argparse.Namespace) -> int:
    from tanuvex_turbo.record import make_policy, record

    rom_path = resolve_rom(args.rom)
    catalog = resolve_catalog(args.states, args.state)
    try:
        policy = make_policy(args.policy, args.action_set, args.seed)
    except (ValueError, KeyError) as error:
        raise CliError(str(error).strip("'\"")) from None
    except OSError as error:
        raise CliError(f"cannot read the script: {error}") from None
    progress = not args.no_progress and args.steps >= 200
    try:
        result = run_engine(
            lambda: record(
                rom_path, args.output, policy=policy, steps=args.steps, catalog=catalog, frame_skip=args.frame_skip,
                fps=args.fps, every=args.every, scale=args.scale, seed=args.seed + 1, stop_on_done=args.stop_on_done,
                progress=progress,
            ),
            rom_path,
        )
    except ImportError as error:
        raise CliError(str(error)) from None
    except ValueError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    start = catalog.get("state_catalog_names", ["power-on"])[0]
    print(
        f"wrote {result.path}: {result.frames} frames at {result.fps:.1f} fps from {result.steps} steps "
        f"of start state {start}; {result.episodes_ended} episode(s) ended"
    )
    return 0


# ---------------------------------------------------------------------- parser


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tanuvex-turbo`` command."""
    from tanuvex_turbo import bench

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tools for the batched emulation environment of the supported game.",
        epilog="Exit status: 0 success, 1 wrong cartridge image, 2 usage error or missing file.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    check = commands.add_parser("check", help="is this the supported cartridge image?",
                                description="Checks that a file is the supported cartridge image and explains why not.")
    check.add_argument("rom", nargs="?", metavar="ROM", help="cartridge image (default: $TANUVEX_TURBO_ROM)")
    check.add_argument("--fix", metavar="OUT", help="when only the header is wrong, write a corrected copy to OUT")
    check.add_argument("--no-engine", action="store_true", help="do not also load the image into the engine")
    check.set_defaults(handler=_check)

    bench_parser = commands.add_parser("bench", help="environment benchmark (steps/s, frames/s)",
                                       description=bench.__doc__.split("\n\n")[0])
    bench.add_arguments(bench_parser)
    bench_parser.set_defaults(handler=lambda args: bench.execute(args, " ".join([PROG] + args.argv)))

    rec = commands.add_parser("record", help="play a start state and write an animated GIF or MP4",
                              description="Plays a start state with a policy and writes the display frames.")
    rec.add_argument("output", metavar="OUT", help="output file, .gif or .mp4")
    rec.add_argument("--rom", help="cartridge image (default: $TANUVEX_TURBO_ROM)")
    rec.add_argument("--states", help="start states: a directory or file (default: $TANUVEX_TURBO_STATES)")
    rec.add_argument("--state", help="name of the start state (default: the first one)")
    rec.add_argument("--steps", type=int, default=300, help="steps to play (default: %(default)s)")
    rec.add_argument("--policy", default="random",
                     help="random, noop, hold:ACTION (e.g. hold:right+B) or script:FILE (default: %(default)s)")
    rec.add_argument("--action-set", default="simple", help="action set of the random policy (default: %(default)s)")
    rec.add_argument("--seed", type=int, default=0, help="seed of the random policy (default: %(default)s)")
    rec.add_argument("--frame-skip", type=int, default=4, help="frames per step (default: %(default)s)")
    rec.add_argument("--every", type=int, default=1, help="keep the frame of every N-th step (default: %(default)s)")
    rec.add_argument("--fps", type=float, help="frames per second of the output (default: real game speed)")
    rec.add_argument("--scale", type=int, default=1, help="enlarge frames by this integer factor (default: 1)")
    rec.add_argument("--stop-on-done", action="store_true", help="stop when the episode ends instead of resetting")
    rec.add_argument("--no-progress", action="store_true", help="no progress bar")
    rec.set_defaults(handler=_record)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the ``tanuvex-turbo`` command; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    args.argv = argv
    return guard(lambda: args.handler(args))


if __name__ == "__main__":
    sys.exit(main())
