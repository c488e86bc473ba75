"""Lanes over several Ray actors, and an archive of game states restored on any actor.

    python examples/ray_scale_out.py --smoke                  # local Ray on 127.0.0.1
    python examples/ray_scale_out.py --address auto --actors 8 --lanes 256   # an existing cluster

RayVectorEnv splits the lanes into contiguous shards, one TurboVectorEnv per
actor. The driver keeps an archive of the furthest state reached so far (the
snapshot bytes of one lane); every round, all lanes restart from it, on
whichever actor they live, and explore on at random. Restored lanes go on
exactly as the cloned lane would have. Needs: pip install 'tanuvex_turbo[ray]'.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--address", default=None, help="Ray cluster address; default: a local Ray on 127.0.0.1")
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--lanes", type=int, default=16)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--steps", type=int, default=100, help="random steps per round")
    parser.add_argument("--rom", default=os.environ.get("TANUVEX_TURBO_ROM"))
    parser.add_argument("--states", default=os.environ.get("TANUVEX_TURBO_STATES"))
    args = parser.parse_args()
    if args.smoke:
        args.lanes, args.rounds, args.steps = 8, 3, 40

    if not args.address:
        # A local Ray on the loopback address only. Without this variable Ray
        # replaces the 127.0.0.1 given to ray.init by the machine's outward
        # address and listens there; it is read when Ray is first imported.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    import ray

    from tanuvex_turbo.ray import RayVectorEnv

    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1", log_to_driver=False)

    # The cartridge and the start states are read here and sent to the actors
    # once; the actors need no access to these files.
    env = RayVectorEnv(
        args.rom,
        num_envs=args.lanes,
        num_actors=args.actors,
        states=args.states,
        start_state="1-1",
        action_set="right_only",
        autoreset_mode="SameStep",
    )
    print(env)
    rng = np.random.default_rng(0)
    obs, info = env.reset(seed=0)
    best_x, best_state = -1, None
    start = time.time()
    for round_ in range(args.rounds):
        for _ in range(args.steps):
            # Mostly right, right+A or right+B: random play with a forward bias.
            actions = rng.choice(5, size=env.num_envs, p=[0.05, 0.3, 0.3, 0.2, 0.15])
            obs, reward, terminated, truncated, info = env.step(actions)
        lane = int(np.argmax(info["x_pos"]))
        if info["x_pos"][lane] > best_x:
            best_x = int(info["x_pos"][lane])
            mask = np.zeros(env.num_envs, bool)
            mask[lane] = True
            best_state = env.clone_states(mask)[lane]
        # Every lane, on every actor, restarts from the furthest state so far.
        obs, info = env.restore_states([best_state] * env.num_envs)
        assert (info["x_pos"] == best_x).all() and (obs == obs[0]).all()
        print(f"round {round_ + 1}: furthest x_pos {best_x} (snapshot of {len(best_state):,} bytes)")
    steps = args.rounds * args.steps * env.num_envs
    print(f"{steps:,} lane steps in {time.time() - start:.1f} s over {args.actors} actors")
    env.close()
    ray.shutdown()


if __name__ == "__main__":
    main()
