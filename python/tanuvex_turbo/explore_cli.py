"""The ``explore`` and ``replay`` subcommands of ``tanuvex-turbo``.

``explore``
    Searches a way to the target (``--target level|world|game|"level W-S"``)
    from power-on or from ``--state NAME``; writes the replay file, a JSON-lines
    log, optionally a plot of the levels passed against time, and the archive
    (``--archive FILE``, resumed when the file exists).
``replay FILE``
    Plays a replay file in a fresh environment, prints each level passed
    (``1-1``, ``1-2``, ...) and exits 0 only when the file's target is reached
    (status 3 otherwise).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from typing import Any

from tanuvex_turbo.command_support import CliError, cartridge_options, resolve_rom, run_engine

__all__ = ["EXIT_NOT_REACHED", "add_commands"]

#: Exit status of ``replay`` and ``explore`` when the target was not reached.
EXIT_NOT_REACHED = 3


def _catalog(states: str | None, start: str) -> dict[str, list]:
    from tanuvex_turbo.cli import resolve_catalog
    from tanuvex_turbo.replay import POWER_ON

    return {} if start == POWER_ON else resolve_catalog(states, start)


def _explore(args: argparse.Namespace) -> int:
    from tanuvex_turbo import explore, progress, replay

    rom_path = resolve_rom(args.rom)
    start = args.state or replay.POWER_ON
    catalog = _catalog(args.states, start)
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
    if args.archive:
        explorer.save(args.archive)
    for name, seconds, steps in result.levels_passed:
        print(f"passed {name} after {seconds:.1f} s, {steps} steps")
    if args.plot:
        _plot(result, args.plot)
    if result.replay is None:
        print(f"target {explorer.target} not reached in {result.seconds:.1f} s, {result.steps} steps")
        last = progress.parse_level(result.levels_passed[-1][0]) if result.levels_passed else None
        partial = None if last is None else explorer.replay_through(last)
        if partial is not None:
            replay.write_replay(args.output, partial)
            print(f"wrote {args.output}: the way through {partial.target} ({len(partial.actions)} actions)")
        return EXIT_NOT_REACHED
    replay.write_replay(args.output, result.replay)
    print(
        f"target {explorer.target} reached in {result.seconds:.1f} s, {result.steps} lane steps, "
        f"{result.cells} cells; "
        f"wrote {args.output} ({len(result.replay.actions)} actions)"
    )
    return 0


def _plot(result: Any, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("no plot: matplotlib is not installed", file=sys.stderr)
        return
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


def _replay(args: argparse.Namespace) -> int:
    from tanuvex_turbo import replay

    rom_path = resolve_rom(args.rom)
    try:
        recorded = replay.read_replay(args.file)
    except OSError as error:
        raise CliError(f"cannot read {args.file}: {error.strerror or error}") from None
    except ValueError as error:
        raise CliError(f"{args.file}: {error}") from None
    catalog = _catalog(args.states, recorded.start)

    def show(name: str, step: int) -> None:
        print(f"{name}  (step {step})", flush=True)

    result = run_engine(lambda: replay.play_replay(recorded, rom_path, catalog, on_level=show), rom_path)
    if result.reached:
        print(f"target {recorded.target} reached at step {result.target_step} of {len(recorded.actions)}")
        return 0
    print(f"target {recorded.target} NOT reached after {result.steps} steps")
    return EXIT_NOT_REACHED


def _pair(text: str) -> tuple[int, int]:
    low, _, high = text.partition(",")
    try:
        pair = (int(low), int(high or low))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected MIN,MAX, got {text!r}") from None
    if not 1 <= pair[0] <= pair[1]:
        raise argparse.ArgumentTypeError(f"expected 1 <= MIN <= MAX, got {text!r}")
    return pair


def add_commands(commands: Any) -> None:
    """Adds ``explore`` and ``replay`` to the subcommands of the ``tanuvex-turbo`` parser."""
    parent = cartridge_options()
    exp = commands.add_parser(
        "explore",
        parents=[parent],
        help="search a way through the game and write it as a replay file",
        description="Archive exploration from power-on (default) or --state NAME to the target.",
    )
    exp.add_argument(
        "--target",
        default="level",
        help="level, world, game, 'level W-S' or 'world W' " "(default: %(default)s, the start's own level)",
    )
    exp.add_argument("--output", "-o", default="explore.replay", help="replay file to write (default: %(default)s)")
    exp.add_argument("--log", help="append one JSON line per round to this file")
    exp.add_argument("--plot", help="write a plot of the levels passed against time (needs matplotlib)")
    exp.add_argument("--archive", help="save the archive here (and resume from it when it exists)")
    exp.add_argument("--save-every", type=int, default=200, help="save the archive every N rounds (default: 200)")
    exp.add_argument("--lanes", type=int, default=32, help="lanes (per actor with --actors; default: 32)")
    exp.add_argument("--actors", type=int, default=0, help="run the picks on this many Ray actors (default: none)")
    exp.add_argument("--seed", type=int, default=0)
    exp.add_argument("--frame-skip", type=int, default=4)
    exp.add_argument("--max-steps", type=int, help="stop after this many lane steps")
    exp.add_argument("--max-minutes", type=float, help="stop after this many minutes")
    exp.add_argument("--cell-x", type=int, default=32, help="pixels per cell column (default: 32)")
    exp.add_argument("--cell-y", type=int, default=32, help="pixels per cell row (default: 32)")
    exp.add_argument("--no-loop-counters", action="store_true", help="leave the loop counters out of the cells")
    exp.add_argument(
        "--pick-steps", type=_pair, default=(25, 100), metavar="MIN,MAX", help="steps per pick (default: 25,100)"
    )
    exp.add_argument("--repeat-prob", type=float, default=0.85, help="chance of repeating the last action")
    exp.add_argument("--quiet", action="store_true", help="no progress lines")
    exp.set_defaults(handler=_explore)

    rep = commands.add_parser(
        "replay",
        parents=[parent],
        help="play a replay file and check that it reaches its target",
        description="Plays a replay file in a fresh environment and prints each level passed. "
        f"Exit status 0 when the target is reached, {EXIT_NOT_REACHED} when not.",
    )
    rep.add_argument("file", metavar="FILE", help="replay file")
    rep.set_defaults(handler=_replay)
