"""The ``explore`` subcommand of ``tanuvex-turbo``: archive exploration.

``explore``
    Searches a way to the target (``--target level|world|game|"level W-S"``)
    from power-on or from ``--state NAME``; writes the replay file, a JSON-lines
    log, optionally a plot of the levels passed against time, and the archive
    (``--archive FILE``, resumed when the file exists).
"""

from __future__ import annotations

import argparse
import json
import math
import time
from typing import Any, Callable

from tanuvex_turbo.cli.support import (
    EXIT_INTERRUPTED,
    EXIT_NOT_REACHED,
    EXIT_STATUS_HELP,
    CliError,
    cartridge_options,
    catalog_for_start,
    resolve_rom,
    run_engine,
)

__all__ = ["EXIT_NOT_REACHED", "MAX_LANES", "MAX_PICK_STEPS", "add_command"]

#: Most lanes of one engine (per actor with --actors).
MAX_LANES = 4096
#: Most Ray actors.
MAX_ACTORS = 256
#: Longest pick: a pick of MAX_PICK_STEPS steps at 4 frames each plays more than ten minutes of a level's clock.
MAX_PICK_STEPS = 10_000
#: Widest cell, in pixels (a position is 16 bits).
MAX_CELL_SIZE = 1 << 16


def _explore(args: argparse.Namespace) -> int:
    from tanuvex_turbo import explore
    from tanuvex_turbo.explore import replay
    from tanuvex_turbo.game import progress

    if args.plot:  # before the search, which may be long
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise CliError("--plot needs matplotlib: pip install matplotlib") from None
    rom_path = resolve_rom(args.rom)
    start = args.state or replay.POWER_ON
    catalog = catalog_for_start(args.states, start)
    try:
        spec = explore.CellSpec(args.cell_x, args.cell_y, not args.no_loop_counters)
        policy = explore.Policy(
            min_steps=args.pick_steps[0], max_steps=args.pick_steps[1], repeat_prob=args.repeat_prob
        )
        if args.actors:
            import ray

            if not ray.is_initialized():
                ray.init(num_cpus=max(2, args.actors), include_dashboard=False, _node_ip_address="127.0.0.1")
    except ImportError as error:
        raise CliError(f"--actors needs Ray: pip install 'tanuvex_turbo[ray]' ({error})") from None
    log = open(args.log, "a", encoding="utf-8") if args.log else None  # noqa: SIM115
    shown = [0.0]

    def on_round(explorer: Any) -> None:
        status = explorer.status()
        if log is not None:
            log.write(json.dumps(status) + "\n")
            log.flush()
        if args.archive and args.save_every and explorer.round % args.save_every == 0:
            explorer.save(args.archive)
        now = time.monotonic()
        if not args.quiet and (now - shown[0] >= 2 or status["target_reached"]):
            shown[0] = now
            passed = status["levels_passed"]
            print(
                f"{status['seconds']:8.1f} s  round {status['round']:6d}  steps {status['steps']:10d}  "
                f"{status['steps_per_second']:8.0f} steps/s  cells {status['cells']:6d}  "
                f"highest {status['highest_level']}  passed {passed[-1] if passed else '-'}",
                flush=True,
            )

    try:
        result, explorer = run_engine(
            lambda: explore.explore(
                rom_path,
                start=start,
                target=args.target,
                catalog=catalog,
                lanes=args.lanes,
                actors=args.actors,
                frame_skip=args.frame_skip,
                spec=spec,
                policy=policy,
                seed=args.seed,
                max_steps=args.max_steps,
                max_seconds=None if args.max_minutes is None else args.max_minutes * 60,
                resume=args.archive,
                on_round=on_round,
            ),
            rom_path,
        )
    except ValueError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"{error.filename}: {error.strerror}" if error.filename else str(error)) from None
    finally:
        if log is not None:
            log.close()
    # Ctrl-C stopped the search: keep what it found, as a budget stop does, and the archive even
    # when none was asked for, so that nothing done is lost.
    archive = args.archive or (f"{args.output}.archive" if result.interrupted else None)
    if archive:
        explorer.save(archive)
    for name, seconds, steps in result.levels_passed:
        print(f"passed {name} after {seconds:.1f} s, {steps} steps")
    if args.plot:
        _plot(result, args.plot)
    if result.replay is None:
        stopped = "interrupted" if result.interrupted else "not reached"
        print(f"target {explorer.target} {stopped} in {result.seconds:.1f} s, {result.steps} steps")
        last = progress.parse_level(result.levels_passed[-1][0]) if result.levels_passed else None
        partial = None if last is None else explorer.replay_through(last)
        if partial is not None:
            replay.write_replay(args.output, partial)
            print(f"wrote {args.output}: the way through {partial.target} ({len(partial.actions)} actions)")
        if not result.interrupted:
            return EXIT_NOT_REACHED
        if partial is None:
            print("no level passed yet: no replay written")
        print(f"saved the archive of {result.rounds} rounds to {archive}; resume with --archive {archive}")
        return EXIT_INTERRUPTED
    replay.write_replay(args.output, result.replay)
    print(
        f"target {explorer.target} reached in {result.seconds:.1f} s, {result.steps} lane steps, "
        f"{result.cells} cells; "
        f"wrote {args.output} ({len(result.replay.actions)} actions)"
    )
    return 0


def _plot(result: Any, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    times = [0.0] + [seconds / 60 for _, seconds, _ in result.levels_passed]
    counts = list(range(len(times)))
    figure, axes = plt.subplots(figsize=(6, 3.5))
    axes.step(times + [result.seconds / 60], counts + [counts[-1]], where="post")
    axes.set_xlabel("minutes")
    axes.set_ylabel("levels passed")
    names = [name for name, _, _ in result.levels_passed]
    # Past a handful of levels, name only the first of each world and the last.
    shown = [k for k, name in enumerate(names, start=1) if len(names) <= 8 or name.endswith("-1") or k == len(names)]
    axes.set_yticks(shown, [names[k - 1] for k in shown]) if names else None
    axes.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def _whole(low: int, high: float = math.inf) -> Callable[[str], int]:
    """An argparse type: a whole number from ``low`` to ``high``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if not low <= value <= high:
            bounds = f"at least {low}" if high == math.inf else f"from {low} to {high}"
            raise argparse.ArgumentTypeError(f"expected a whole number {bounds}, got {text!r}")
        return value

    return parse


def _real(low: float, high: float, low_open: bool = False) -> Callable[[str], float]:
    """An argparse type: a finite number from ``low`` (excluded when ``low_open``) to ``high``."""

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
        if not (math.isfinite(value) and (low < value if low_open else low <= value) and value <= high):
            bounds = f"above {low}" if low_open else f"from {low} to {high}"
            raise argparse.ArgumentTypeError(f"expected a number {bounds}, got {text!r}")
        return value

    return parse


def _pair(text: str) -> tuple[int, int]:
    low, _, high = text.partition(",")
    try:
        pair = (int(low), int(high or low))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN,MAX, got {text!r}") from None
    if not 1 <= pair[0] <= pair[1] <= MAX_PICK_STEPS:
        raise argparse.ArgumentTypeError(f"expected 1 <= MIN <= MAX <= {MAX_PICK_STEPS}, got {text!r}")
    return pair


def add_command(commands: Any) -> None:
    """Adds ``explore`` to the subcommands of the ``tanuvex-turbo`` parser."""
    from tanuvex_turbo.explore.replay import MAX_FRAME_SKIP

    exp = commands.add_parser(
        "explore",
        parents=[cartridge_options("name of the start state (default: power-on, whatever --states holds)")],
        help="search a way through the game and write it as a replay file",
        description="Archive exploration from power-on (default) or --state NAME to the target.",
        epilog=EXIT_STATUS_HELP,
    )
    exp.add_argument(
        "--target",
        default="level",
        help="level, world, game, 'level W-S' or 'world W' (default: %(default)s, the start's own level)",
    )
    exp.add_argument("--output", "-o", default="explore.replay", help="replay file to write (default: %(default)s)")
    exp.add_argument("--log", help="append one JSON line per round to this file")
    exp.add_argument("--plot", help="write a plot of the levels passed against time (needs matplotlib)")
    exp.add_argument(
        "--archive",
        help="save the archive here (and resume from it when it exists); Ctrl-C saves it too, "
        "without this option to OUTPUT.archive",
    )
    exp.add_argument(
        "--save-every",
        type=_whole(0),
        default=200,
        help="save the archive every N rounds, 0: only at the end (default: 200)",
    )
    exp.add_argument(
        "--lanes", type=_whole(1, MAX_LANES), default=32, help="lanes (per actor with --actors; default: 32)"
    )
    exp.add_argument(
        "--actors",
        type=_whole(0, MAX_ACTORS),
        default=0,
        help="run the picks on this many Ray actors (default: none)",
    )
    exp.add_argument("--seed", type=_whole(0), default=0, help="seed of the search (default: 0)")
    exp.add_argument("--frame-skip", type=_whole(1, MAX_FRAME_SKIP), default=4, help="frames per step (default: 4)")
    exp.add_argument("--max-steps", type=_whole(1), help="stop after this many lane steps")
    exp.add_argument("--max-minutes", type=_real(0, math.inf, low_open=True), help="stop after this many minutes")
    exp.add_argument("--cell-x", type=_whole(1, MAX_CELL_SIZE), default=32, help="pixels per cell column (default: 32)")
    exp.add_argument("--cell-y", type=_whole(1, MAX_CELL_SIZE), default=32, help="pixels per cell row (default: 32)")
    exp.add_argument("--no-loop-counters", action="store_true", help="leave the loop counters out of the cells")
    exp.add_argument(
        "--pick-steps", type=_pair, default=(25, 100), metavar="MIN,MAX", help="steps per pick (default: 25,100)"
    )
    exp.add_argument(
        "--repeat-prob", type=_real(0, 1), default=0.85, help="chance of repeating the last action (default: 0.85)"
    )
    exp.add_argument("--quiet", action="store_true", help="no progress lines")
    exp.set_defaults(handler=_explore)
