"""The smallest loop: random actions on eight lanes, printing each finished episode.

    python examples/random_agent.py [--steps 2000]

The cartridge and the start states come from TANUVEX_TURBO_ROM and
TANUVEX_TURBO_STATES (or --rom / --states).
"""

from __future__ import annotations

import argparse
import os

import numpy as np

from tanuvex_turbo import TurboVectorEnv


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000, help="batched steps (every lane takes one per step)")
    parser.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    parser.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    args = parser.parse_args()

    # Eight consoles from the start of level 1-1; an action is an index into the
    # "simple" action set. In SAME_STEP mode a lane whose episode ends starts
    # its next one in the same step, so the loop never resets by hand.
    env = TurboVectorEnv(
        args.rom, num_envs=8, states=args.states, start_state="1-1", action_set="simple", autoreset_mode="SameStep"
    )
    obs, info = env.reset(seed=0)
    episode_return = np.zeros(env.num_envs)
    for _ in range(args.steps):
        obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
        episode_return += reward
        for lane in np.flatnonzero(terminated | truncated):
            # The ended episode's last values are in info["final_info"].
            x_pos = info["final_info"]["x_pos"][lane]
            print(f"lane {lane}: episode over at x_pos {x_pos}, return {episode_return[lane]:.0f}")
            episode_return[lane] = 0
    print(f"{args.steps * env.num_envs} lane steps; observation batch {obs.shape} {obs.dtype}")
    env.close()


if __name__ == "__main__":
    main()
