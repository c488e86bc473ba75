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

The cartridge image defaults to ``$TANUVEX_TURBO_ROM`` and the start states
to ``$TANUVEX_TURBO_STATES``.

Exit status: 0 success; 1 the cartridge image is not the supported one (or
the engine refused it, or the output pipe was closed); 2 usage errors, a
missing or unreadable input file, a missing optional dependency; 3 (``replay``
and ``explore``) the target was not reached; 130 interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from tanuvex_turbo import bench, explore_cli
from tanuvex_turbo.command_support import (
    EXIT_STATUS_HELP,
    EXIT_WRONG_CARTRIDGE,
    PROG,
    CliError,
    cartridge_options,
    guard,
    resolve_catalog,
    resolve_rom,
    run_engine,
)

__all__ = ["CliError", "build_parser", "guard", "main", "resolve_catalog", "resolve_rom", "run_engine"]


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
    from tanuvex_turbo.cartridge import EXPECTED_SHA256, _inspect

    if args.rom == "":
        raise CliError("the cartridge path is empty")
    path = args.rom if args.rom is not None else os.environ.get("TANUVEX_TURBO_ROM")
    if not path:
        raise CliError("no cartridge image given: pass ROM or set TANUVEX_TURBO_ROM")
    if not os.path.exists(path):
        raise CliError(f"cartridge image not found: {path}")
    try:
        report, data = _inspect(path, search_repair=True)
    except OSError as error:
        raise CliError(f"cannot read cartridge image {path}: {error.strerror or error}") from None
    print(f"file:     {path} ({report.size} bytes)")
    print(f"sha256:   {report.sha256}")
    print(f"expected: {EXPECTED_SHA256}")
    print(f"header:   {_describe_header(report)}")
    if report.header is not None:
        what = "the 16 header bytes" if report.header.magic_ok else "the first 16 bytes"
        print(f"bytes:    {data[:16].hex(' ')}  ({what})")
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
    from tanuvex_turbo.record import make_policy, record, replay_recording_options

    rom_path = resolve_rom(args.rom)
    if args.replay:
        chosen = [name for name in ("policy", "state", "frame_skip") if getattr(args, name) is not None]
        if chosen:
            raise CliError(f"--replay plays the file's own inputs; drop --{chosen[0].replace('_', '-')}")
        try:
            options = replay_recording_options(args.replay, args.states)
        except ValueError as error:
            raise CliError(f"{args.replay}: {error}") from None
        except OSError as error:
            raise CliError(f"cannot read {args.replay}: {error.strerror or error}") from None
        if args.steps is not None:
            options["steps"] = args.steps
        start = options["catalog"].get("state_catalog_names", ["power-on"])[0]
    else:
        catalog = resolve_catalog(args.states, args.state)
        try:
            policy = make_policy(args.policy or "random", args.action_set, args.seed)
        except (ValueError, KeyError) as error:
            raise CliError(str(error).strip("'\"")) from None
        except OSError as error:
            raise CliError(f"cannot read the script: {error}") from None
        options = {
            "policy": policy,
            "steps": 300 if args.steps is None else args.steps,
            "catalog": catalog,
            "frame_skip": 4 if args.frame_skip is None else args.frame_skip,
            "stop_on_done": args.stop_on_done,
        }
        start = catalog.get("state_catalog_names", ["power-on"])[0]
    progress = not args.no_progress and options["steps"] >= 200
    try:
        result = run_engine(
            lambda: record(
                rom_path,
                args.output,
                fps=args.fps,
                every=args.every,
                scale=args.scale,
                seed=args.seed + 1,
                progress=progress,
                **options,
            ),
            rom_path,
        )
    except ImportError as error:
        raise CliError(str(error)) from None
    except ValueError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"cannot write {args.output}: {error.strerror or error}") from None
    print(
        f"wrote {result.path}: {result.frames} frames at {result.fps:.1f} fps from {result.steps} steps "
        f"of start state {start}; {result.episodes_ended} episode(s) ended"
    )
    return 0


# ---------------------------------------------------------------------- parser


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tanuvex-turbo`` command."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tools for the batched emulation environment of the supported game.",
        epilog=EXIT_STATUS_HELP,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    check = commands.add_parser(
        "check",
        help="is this the supported cartridge image?",
        description="Checks that a file is the supported cartridge image and explains why not.",
    )
    check.add_argument("rom", nargs="?", metavar="ROM", help="cartridge image (default: $TANUVEX_TURBO_ROM)")
    check.add_argument("--fix", metavar="OUT", help="when only the header is wrong, write a corrected copy to OUT")
    check.add_argument("--no-engine", action="store_true", help="do not also load the image into the engine")
    check.set_defaults(handler=_check)

    bench_parser = commands.add_parser(
        "bench",
        parents=[cartridge_options()],
        help="environment benchmark (steps/s, frames/s)",
        description=bench.__doc__.split("\n\n")[0],
    )
    bench.add_arguments(bench_parser)
    bench_parser.set_defaults(handler=lambda args: bench.execute(args, " ".join([PROG] + args.argv)))

    rec = commands.add_parser(
        "record",
        parents=[cartridge_options()],
        help="play a start state and write an animated GIF or MP4",
        description="Plays a start state with a policy and writes the display frames.",
    )
    rec.add_argument("output", metavar="OUT", help="output file, .gif or .mp4")
    rec.add_argument("--steps", type=int, help="steps to play (default: 300, or the whole replay)")
    rec.add_argument(
        "--policy",
        help="random, noop, hold:ACTION (e.g. hold:right+B) or script:FILE (default: random)",
    )
    rec.add_argument(
        "--replay",
        metavar="FILE",
        help="play a replay file (from 'tanuvex-turbo explore') from its own start, to its end",
    )
    rec.add_argument("--action-set", default="simple", help="action set of the random policy (default: %(default)s)")
    rec.add_argument("--seed", type=int, default=0, help="seed of the random policy (default: %(default)s)")
    rec.add_argument("--frame-skip", type=int, help="frames per step (default: 4)")
    rec.add_argument("--every", type=int, default=1, help="keep the frame of every N-th step (default: %(default)s)")
    rec.add_argument("--fps", type=float, help="frames per second of the output (default: real game speed)")
    rec.add_argument("--scale", type=int, default=1, help="enlarge frames by this integer factor (default: 1)")
    rec.add_argument("--stop-on-done", action="store_true", help="stop when the episode ends instead of resetting")
    rec.add_argument("--no-progress", action="store_true", help="no progress bar")
    rec.set_defaults(handler=_record)

    explore_cli.add_commands(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``tanuvex-turbo`` command; returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(argv)
    args.argv = argv
    return guard(lambda: args.handler(args))


if __name__ == "__main__":
    sys.exit(main())
