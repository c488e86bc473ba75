"""Plays a fixed game and writes a digest of every step, to compare builds.

    python scripts/step-digest.py OUT [--steps 1000]

Constructs ``TurboVectorEnv`` from $TANUVEX_TURBO_ROM and
$TANUVEX_TURBO_STATES (8 lanes, a seeded reset with random no-op starts),
steps it with actions drawn from a seeded generator, and writes one line per
step to OUT: the SHA-256 of that step's observations, rewards and episode
flags. Two installs (the source build and a wheel) that play alike write the
same file. Prints the package's path, the observation shape and the reward
sum, so that the run doubles as a smoke test of the quick start.
"""

from __future__ import annotations

import argparse
import hashlib

import numpy as np

import tanuvex_turbo
from tanuvex_turbo import TurboVectorEnv


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--steps", type=int, default=1000)
    args = parser.parse_args()

    env = TurboVectorEnv(num_envs=8, noop_reset_max=30)
    rng = np.random.default_rng(7)
    obs, _ = env.reset(seed=0)
    total = 0.0
    with open(args.out, "w") as out:
        for _ in range(args.steps):
            actions = rng.integers(0, env.single_action_space.n, size=env.num_envs)
            obs, rewards, terminated, truncated, _ = env.step(actions)
            digest = hashlib.sha256()
            for array in (obs, rewards, terminated, truncated):
                digest.update(np.ascontiguousarray(array).tobytes())
            out.write(digest.hexdigest() + "\n")
            total += float(np.sum(rewards))
    env.close()
    print(f"{tanuvex_turbo.__file__}: {args.steps} steps, observations {obs.shape} {obs.dtype}, reward sum {total:g}")


if __name__ == "__main__":
    main()
