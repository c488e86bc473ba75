"""The ``check`` subcommand: is this file the supported cartridge image, and if not, why not?

Prints the file's size, digest and header, a clear verdict, and how to fix a
file whose only fault is its header (``--fix OUT`` writes the corrected copy).
"""

from __future__ import annotations

import argparse
import os
from typing import Any

from tanuvex_turbo.cli.support import EXIT_WRONG_CARTRIDGE, PROG, CliError

__all__ = ["add_command"]


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
    from tanuvex_turbo.game.cartridge import EXPECTED_SHA256, _inspect

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
        from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv

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


def add_command(commands: Any) -> None:
    """Adds ``check`` to the subcommands of the ``tanuvex-turbo`` parser."""
    check = commands.add_parser(
        "check",
        help="is this the supported cartridge image?",
        description="Checks that a file is the supported cartridge image and explains why not.",
    )
    check.add_argument("rom", nargs="?", metavar="ROM", help="cartridge image (default: $TANUVEX_TURBO_ROM)")
    check.add_argument("--fix", metavar="OUT", help="when only the header is wrong, write a corrected copy to OUT")
    check.add_argument("--no-engine", action="store_true", help="do not also load the image into the engine")
    check.set_defaults(handler=_check)
