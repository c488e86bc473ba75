"""Archive exploration from the library: find the end of a level, save the replay, check it.

    python examples/explore_level.py --state 1-1 --target level --out level.txt

The cartridge and the start states come from $TANUVEX_TURBO_ROM and
$TANUVEX_TURBO_STATES (see docs/explore.md).
"""

from __future__ import annotations

import argparse
import os

from tanuvex_turbo import explore, replay


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--state", default="1-1", help="start state name, or power-on")
    parser.add_argument("--target", default="level", help="level, world, game or 'level W-S'")
    parser.add_argument("--lanes", type=int, default=32)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--out", default="found.txt")
    args = parser.parse_args()
    rom_path = os.environ["TANUVEX_TURBO_ROM"]

    def show(explorer: explore.Explorer) -> None:
        if explorer.round % 50 == 0:
            status = explorer.status()
            print(
                f"round {status['round']}: {status['seconds']:.1f} s, {status['steps']} lane steps, "
                f"{status['cells']} cells, highest level {status['highest_level']}",
                flush=True,
            )

    result, _ = explore.explore(
        rom_path,
        start=args.state,
        target=args.target,
        lanes=args.lanes,
        seed=args.seed,
        max_seconds=args.minutes * 60,
        # a finer cell and longer picks than the defaults, as an example
        spec=explore.CellSpec(x_bucket=24, y_bucket=32),
        policy=explore.Policy(min_steps=30, max_steps=120),
        on_round=show,
    )
    if not result.reached:
        raise SystemExit(f"not reached in {result.seconds:.0f} s ({result.steps} lane steps)")
    replay.write_replay(args.out, result.replay)
    checked = replay.play_replay(result.replay, rom_path, replay.start_catalog(args.state))
    print(f"{args.out}: {len(result.replay.actions)} actions, levels {', '.join(checked.levels_passed)}")


if __name__ == "__main__":
    main()
