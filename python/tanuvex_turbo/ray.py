"""The lanes of one vector environment spread over Ray actors.

:class:`RayVectorEnv` is a :class:`gymnasium.vector.VectorEnv` whose lanes are
split into contiguous shards; each shard is a :class:`TurboVectorEnv` owned by
one Ray actor, on this machine or on any node of a cluster. A step sends every
shard its slice of the actions at once and gathers the results in lane order
with one ``ray.get``. Seeds, start states and reset options are passed on so
that lane *i* gets exactly what it would get in one process: with the same
arguments, seeds and actions, observations, rewards, flags and infos equal
those of one in-process :class:`TurboVectorEnv` bit for bit.

The cartridge image and the start states are read once on the driver and put
into Ray's object store once (``ray.put``); the actors need no shared file
system, only the package installed.

Ray is an optional extra: ``pip install 'tanuvex_turbo[ray]'``. Importing
:mod:`tanuvex_turbo` never imports it; this module does.

Example::

    import ray
    from tanuvex_turbo.ray import RayVectorEnv

    ray.init()                                  # or ray.init(address="auto") on a cluster
    env = RayVectorEnv(rom_path, num_envs=64, num_actors=4, states=states_dir)
    obs, info = env.reset(seed=0)
    obs, rewards, terminated, truncated, info = env.step(env.action_space.sample())
"""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Sequence
from typing import Any

import numpy as np

try:
    import ray
except ImportError as error:  # pragma: no cover - exercised only without Ray
    raise ImportError("tanuvex_turbo.ray needs Ray: pip install 'tanuvex_turbo[ray]'") from error

from gymnasium.vector import VectorEnv
from gymnasium.vector.utils import batch_space

from tanuvex_turbo.env.arguments import (
    action_bytes,
    check_num_envs,
    check_reset_mask,
    lane_mask,
    open_engine,
    whole_number,
)
from tanuvex_turbo.env.start_states import StartStates
from tanuvex_turbo.env.vector_env import AutoresetMode, TurboVectorEnv
from tanuvex_turbo.game.cartridge import rom_path_and_source
from tanuvex_turbo.game.fields import PENDING_RESET_MESSAGE
from tanuvex_turbo.game.lane_states import lane_state_payloads
from tanuvex_turbo.game.states import load_catalog

__all__ = ["LanesLostError", "RayVectorEnv", "shard_sizes"]

_FINAL_KEYS = ("final_obs", "_final_obs", "final_info", "_final_info")
# How Ray reports an actor whose process is gone (killed, out of memory, its node lost).
_ACTOR_DEATHS = (ray.exceptions.RayActorError, ray.exceptions.OutOfMemoryError)
#: Most new actors tried in a row for one dead actor (each dying at once), as the search does.
MAX_RESTART_TRIES = 4


class LanesLostError(RuntimeError):
    """An actor of a :class:`RayVectorEnv` died, and with it the lanes it held.

    Attributes:
        lanes: the lanes of the dead actors, in order.
        restarted: True when new actors took their place (``restart_dead_actors=True``),
            the lanes reset to their start states; False when the environment cannot go on.
    """

    def __init__(self, message: str, lanes: list[int], restarted: bool) -> None:
        super().__init__(message)
        self.lanes = lanes
        self.restarted = restarted


def shard_sizes(num_envs: int, num_actors: int) -> list[int]:
    """Lanes per shard: contiguous, sizes differing by at most one, the larger shards first."""
    if num_actors < 1 or num_actors > num_envs:
        raise ValueError(f"num_actors must be between 1 and num_envs ({num_envs}), got {num_actors}")
    base, extra = divmod(num_envs, num_actors)
    return [base + (1 if shard < extra else 0) for shard in range(num_actors)]


class _Shard:
    """Runs inside a Ray actor: one TurboVectorEnv over one shard's lanes."""

    def __init__(self, cartridge: bytes, catalog: Any, num_envs: int, kwargs: dict[str, Any]):
        # An error here would kill the actor and reach the driver as ActorDiedError;
        # kept, it is raised by describe(), the driver's first call, as itself.
        self.error: BaseException | None = None
        # The engine reads its cartridge image from a file, once, at construction.
        handle, path = tempfile.mkstemp(suffix=".nes")
        try:
            with os.fdopen(handle, "wb") as file:
                file.write(cartridge)
            # The actor's results are serialised before its next call runs, so
            # the environment's own buffers can be returned without a copy.
            self.env = TurboVectorEnv(path, num_envs, states=catalog, copy=False, **kwargs)
        except Exception as error:
            self.error = error
        finally:
            os.unlink(path)

    def describe(self) -> dict[str, Any]:
        if self.error is not None:
            raise self.error
        env = self.env
        return {
            "single_observation_space": env.single_observation_space,
            "single_action_space": env.single_action_space,
            "metadata": env.metadata,
            "state_names": env.state_names,
            "action_meanings": env.get_action_meanings(),
        }

    def reset(self, seed: Any, options: dict[str, Any] | None):
        return self.env.reset(seed=seed, options=options)

    def step(self, actions: np.ndarray):
        return self.env.step(actions)

    def render(self):
        return self.env.render()

    def clone_states(self, mask: np.ndarray) -> list[bytes | None]:
        return self.env.clone_states(mask)

    def check_states(self, states: list[bytes | None], first_lane: int) -> None:
        self.env._saver.decode(self.env._engine, states, first_lane)

    def restore_states(self, states: list[bytes | None]):
        return self.env.restore_states(states)


class RayVectorEnv(VectorEnv):
    """``num_envs`` lanes over ``num_actors`` Ray actors, as one Gymnasium vector environment.

    Args:
        rom_path: path of the supported cartridge image on the driver
            (default: ``TANUVEX_TURBO_ROM``); its bytes are sent to the actors.
        num_envs: number of lanes.
        num_actors: number of shards (actors); lanes ``0 .. k-1`` go to the
            first actor, the next ones to the second, and so on
            (:func:`shard_sizes`).
        actor_options: options of every actor, as for Ray's ``.options()``:
            ``num_cpus`` (default 1), ``resources``, ``scheduling_strategy``
            (placement groups, node affinity), ...; or a list with one such
            dict per actor. Without a ``scheduling_strategy``, the CPUs asked
            for must be free in the cluster: otherwise the constructor refuses
            (RuntimeError) instead of waiting for actors Ray cannot place.
        start_timeout: seconds to wait for every actor to build its
            environment; after that a TimeoutError names the actors that did
            not answer.
        restart_dead_actors: what happens when an actor dies (its process
            killed, out of memory, its node lost). False (default): the call
            that finds it dead raises :class:`LanesLostError` naming its lanes,
            and so does every later call: the environment cannot go on. True:
            a new actor takes its place, its lanes reset to their start states
            (those chosen through reset options included). A ``step`` reports
            their episodes as truncated, as a time limit would (the other
            shards' results of that step are kept; the final observation and
            values are the last ones returned for those lanes), and goes on.
            Any other call raises :class:`LanesLostError` (``restarted``
            true); the next ``step`` then reports the truncation, and after
            ``reset`` or ``restore_states`` call ``reset()`` again.
            A new actor that dies at once is replaced in turn, up to
            MAX_RESTART_TRIES (4) new actors. :attr:`actor_restarts` counts the new actors.
        **kwargs: any other :class:`TurboVectorEnv` argument. ``states`` is
            read on the driver and sent as bytes. ``num_threads`` defaults to
            each actor's ``num_cpus``. ``seed`` gives lane ``i`` the seed
            ``seed + i`` as in one process. ``copy`` has no effect: returned
            arrays are always the caller's own.

    Ray must be running (``ray.init(...)``) or Ray starts a local instance on
    first use as usual. ``clone_states`` / ``restore_states`` work as on
    :class:`TurboVectorEnv`; a clone taken on one actor can be restored on any
    other. ``start_state="random"`` draws each shard's start states from that
    shard's own generator, so those draws (alone) differ from one process.
    """

    def __init__(
        self,
        rom_path: str | os.PathLike[str] | None = None,
        num_envs: int = 8,
        num_actors: int = 2,
        *,
        actor_options: dict[str, Any] | Sequence[dict[str, Any]] | None = None,
        start_timeout: float = 300.0,
        restart_dead_actors: bool = False,
        **kwargs: Any,
    ) -> None:
        num_envs = check_num_envs(num_envs)
        rom_path, rom_source = rom_path_and_source(rom_path)
        # Opened once here so that a wrong image is refused with the message
        # one process gives (naming the file and what to do), before any actor starts.
        open_engine(rom_source, rom_path, 1, num_threads=1)
        with open(rom_path, "rb") as file:
            cartridge = file.read()
        self.num_envs = int(num_envs)
        self._sizes = shard_sizes(self.num_envs, int(num_actors))
        self._offsets = np.cumsum([0] + self._sizes)
        if actor_options is None or isinstance(actor_options, dict):
            per_actor = [dict(actor_options or {}) for _ in self._sizes]
        else:
            per_actor = [dict(options) for options in actor_options]
            if len(per_actor) != len(self._sizes):
                raise ValueError(
                    f"actor_options must hold one dict per actor ({len(self._sizes)}), got {len(per_actor)}"
                )

        # Start states are resolved here, as one process would resolve them,
        # and sent as bytes; () tells the actors to use none (and not to read
        # TANUVEX_TURBO_STATES where they run).
        states = kwargs.pop("states", None)
        if states is None:
            states = os.environ.get("TANUVEX_TURBO_STATES") or None
        data, names = load_catalog(states)
        catalog: Any = dict(zip(names, data)) if names else ()
        seed = kwargs.pop("seed", None)
        if seed is not None:
            seed = whole_number(seed, "seed")
        kwargs.pop("copy", None)
        # The lanes' start states, kept here too: reset options are checked
        # before any shard resets, and a replacement actor restarts its lanes from them.
        self._starts = StartStates(names, self.num_envs)
        start_state = kwargs.pop("start_state", None)
        self._starts.take(self._starts.after(np.ones(self.num_envs, np.bool_), start_state, "start_state"))

        for options in per_actor:
            options.setdefault("num_cpus", 1)
        cartridge_ref = ray.put(cartridge)  # starts a local Ray when none is running
        catalog_ref = ray.put(catalog)
        if not any("scheduling_strategy" in options for options in per_actor):
            _check_free_cpus([float(options["num_cpus"]) for options in per_actor])
        actor_class = ray.remote(_Shard)
        self._actors = []
        # What a replacement actor needs: Ray's class, and each shard's options and arguments.
        self._actor_class = actor_class
        self._spawn: list[tuple[dict[str, Any], tuple[Any, ...]]] = []
        self._start_timeout = float(start_timeout)
        self.restart_dead_actors = bool(restart_dead_actors)
        self.actor_restarts = 0
        # Shards whose actor died: for good (no restarts), or replaced with their
        # lanes reset, (obs, info), the truncation of their episodes not reported yet.
        self._dead: dict[int, BaseException] = {}
        self._lost: dict[int, tuple[np.ndarray, dict[str, Any]]] = {}
        # NEXT_STEP: replaced shards whose reset observation the next step returns.
        self._fresh: dict[int, tuple[np.ndarray, dict[str, Any]]] = {}
        for shard, (size, options) in enumerate(zip(self._sizes, per_actor)):
            shard_kwargs = dict(kwargs)
            shard_kwargs.setdefault("num_threads", max(1, int(options["num_cpus"])))
            offset = int(self._offsets[shard])
            if names:
                shard_kwargs["start_state"] = self._starts.per_lane()[offset : offset + size]
            # Lane i's generator is seeded with seed + i (a seed of 0 asks the
            # engine for a clock-based one), wherever the lane runs.
            if seed is not None:
                shard_kwargs["seed"] = seed + offset
            elif offset:
                shard_kwargs["seed"] = offset
            self._spawn.append((options, (cartridge_ref, catalog_ref, size, shard_kwargs)))
            self._actors.append(actor_class.options(**options).remote(cartridge_ref, catalog_ref, size, shard_kwargs))

        description = self._first_answers(float(start_timeout))
        self.single_observation_space = description["single_observation_space"]
        self.single_action_space = description["single_action_space"]
        self.metadata = description["metadata"]
        self.autoreset_mode = self.metadata["autoreset_mode"]
        self.render_mode = kwargs.get("render_mode")
        self.state_names: list[str] = description["state_names"]
        self._action_meanings: list[str] = description["action_meanings"]
        self._action_indices = np.arange(len(self._action_meanings), dtype=np.uint8)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._last_obs: list[np.ndarray] | None = None
        self._last_info: list[dict[str, Any]] | None = None
        # Lanes that ended with autoresets disabled: every shard refuses to
        # step until they are reset, so the driver refuses before any steps.
        self._pending = np.zeros(self.num_envs, np.bool_)

    # ------------------------------------------------------------------ Gymnasium API

    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: dict[str, Any] | None = None,
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """As :meth:`TurboVectorEnv.reset`: seeds, ``reset_mask``, ``state`` and ``states`` reach each lane's shard."""
        n = self.num_envs
        options = dict(options or {})
        mask = options.pop("reset_mask", None)
        mask = np.ones(n, np.bool_) if mask is None else check_reset_mask(mask, n)
        # Checked here as one process checks them: a shard refusing alone would leave the others reset.
        seeds, _, starts = self._starts.reset_choices(seed, dict(options), mask)[1:]
        per_lane_states = options.get("states")
        if per_lane_states is not None and not isinstance(per_lane_states, (str, int, np.integer)):
            per_lane_states = list(per_lane_states)
        self._check_alive()
        calls = {}
        for shard, actor, lanes in self._shards():
            if not mask[lanes].any():
                continue
            shard_options = dict(options, reset_mask=mask[lanes].copy())
            if isinstance(per_lane_states, list):
                shard_options["states"] = per_lane_states[lanes]
            if seed is None or isinstance(seed, (int, np.integer)):
                shard_seed = None if seed is None else int(seed) + lanes.start
            else:
                shard_seed = seeds[lanes]
            calls[shard] = actor.reset.remote(shard_seed, shard_options)
        results = self._answers(calls, "reset", changes_lanes=True)
        if starts is not None:
            self._starts.take(starts)
        self._follow_replaced(results, mask)
        self._pending &= ~mask
        return self._gather_changed(results)

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """As :meth:`TurboVectorEnv.step`: every shard steps at once; results come back in lane order."""
        if self._last_obs is None:
            raise RuntimeError("call reset() before step()")
        self._check_alive()
        actions = self._check_actions(actions)
        if self._pending.any():
            raise RuntimeError(PENDING_RESET_MESSAGE)
        fresh, lost = self._fresh, dict(self._lost)
        calls = {
            shard: actor.step.remote(actions[lanes])
            for shard, actor, lanes in self._shards()
            if shard not in fresh and shard not in lost
        }
        answers = self._answers(calls, "step", lost=lost)
        self._fresh, self._lost = {}, {}
        results = []
        for shard, size in enumerate(self._sizes):
            if shard in answers:
                results.append(answers[shard])
            elif shard in fresh:  # the step after a truncation: the new episode's first observation
                obs, info = fresh[shard]
                results.append(
                    (obs, np.zeros(size, np.float32), np.zeros(size, np.bool_), np.zeros(size, np.bool_), info)
                )
            else:
                results.append(self._truncation(shard, *lost[shard]))
        obs, info = self._gather([r[0] for r in results], [r[4] for r in results])
        rewards = np.concatenate([r[1] for r in results])
        terminated = np.concatenate([r[2] for r in results])
        truncated = np.concatenate([r[3] for r in results])
        if self.autoreset_mode is AutoresetMode.DISABLED:
            self._pending = terminated | truncated
        return obs, rewards, terminated, truncated, info

    def render(self) -> tuple[np.ndarray, ...] | None:
        """With ``render_mode="rgb_array"``: each lane's display frame, as :meth:`TurboVectorEnv.render`."""
        if self.render_mode is None:
            return None
        self._check_alive()
        frames: list[np.ndarray] = []
        answers = self._answers({shard: actor.render.remote() for shard, actor, _ in self._shards()}, "render")
        for shard in range(len(self._actors)):
            frames.extend(np.array(frame) for frame in answers[shard])
        return tuple(frames)

    def close_extras(self, **kwargs: Any) -> None:
        """Ends the actors."""
        actors, self._actors = self._actors, []
        for actor in actors:
            try:
                ray.kill(actor)
            except Exception:  # Ray may already be shut down; the actors went with it
                pass

    def __repr__(self) -> str:
        return f"{type(self).__name__}(num_envs={self.num_envs}, num_actors={len(self._sizes)})"

    def get_action_meanings(self) -> list[str]:
        """As :meth:`TurboVectorEnv.get_action_meanings`."""
        return list(self._action_meanings)

    # ------------------------------------------------------------------ lane clones

    def clone_states(self, mask: Any | None = None) -> list[bytes | None]:
        """As :meth:`TurboVectorEnv.clone_states`; the bytes come back to the driver."""
        if self._last_obs is None:
            raise RuntimeError("call reset() before clone_states()")
        self._check_alive()
        mask = lane_mask(mask, self.num_envs, "mask")
        calls = {
            shard: actor.clone_states.remote(mask[lanes].copy())
            for shard, actor, lanes in self._shards()
            if mask[lanes].any()
        }
        results = self._answers(calls, "clone_states")
        clones: list[bytes | None] = []
        for shard, size in enumerate(self._sizes):
            clones.extend(results.get(shard, [None] * size))
        return clones

    def restore_states(self, states: Sequence[bytes | None]) -> tuple[np.ndarray, dict[str, Any]]:
        """As :meth:`TurboVectorEnv.restore_states`; any clone can be restored in any lane of any actor.

        Every shard checks its blobs before any shard restores, so a damaged
        blob changes nothing anywhere.
        """
        states = lane_state_payloads(states, self.num_envs)
        given = np.array([state is not None for state in states], np.bool_)
        if self._last_obs is None and not given.all():
            raise RuntimeError("call reset() before restoring only some lanes")
        self._check_alive()
        shards = [(shard, actor, lanes) for shard, actor, lanes in self._shards() if given[lanes].any()]
        self._answers(
            {shard: actor.check_states.remote(states[lanes], lanes.start) for shard, actor, lanes in shards},
            "restore_states",
        )
        results = self._answers(
            {shard: actor.restore_states.remote(states[lanes]) for shard, actor, lanes in shards},
            "restore_states",
            changes_lanes=True,
        )
        self._follow_replaced(results, given)
        self._pending &= ~given
        return self._gather_changed(results)

    @property
    def start_states(self) -> list[int | str]:
        """Each lane's current start state, as :attr:`TurboVectorEnv.start_states`."""
        self._check_alive()
        return self._starts.per_lane()

    # ------------------------------------------------------------------ helpers

    def _first_answers(self, timeout: float) -> dict[str, Any]:
        """Every actor's description, or the error that says which actors failed or did not answer."""
        calls = [actor.describe.remote() for actor in self._actors]
        ready, _ = ray.wait(calls, num_returns=len(calls), timeout=timeout)
        done = set(ready)
        late = [shard for shard, call in enumerate(calls) if call not in done]
        try:
            if late:
                offsets = self._offsets
                lanes = [f"actor {shard} (lanes {offsets[shard]}..{offsets[shard + 1] - 1})" for shard in late]
                raise TimeoutError(
                    f"{len(late)} of {len(calls)} Ray actors did not answer within {timeout:g} s: {', '.join(lanes)}; "
                    "Ray may be unable to place them (see ray.available_resources()) or their processes are "
                    "still starting: raise start_timeout=, or use fewer actors"
                )
            for shard, call in enumerate(calls):
                try:
                    _get(call)
                except _ACTOR_DEATHS as error:
                    lost = {shard: error}
                    raise LanesLostError(f"{self._naming(lost)} while starting", self._lanes_of(lost), False) from error
            return _get(calls[0])
        except BaseException:
            self.close_extras()
            raise

    def _answers(
        self,
        calls: dict[int, Any],
        what: str,
        changes_lanes: bool = False,
        lost: dict[int, tuple[np.ndarray, dict[str, Any]]] | None = None,
    ) -> dict[int, Any]:
        """Each shard's answer to its call of ``what``; handles the actors found dead.

        Without ``restart_dead_actors`` a dead actor raises :class:`LanesLostError`
        (now and at every later call). With it, new actors replace the dead
        ones; for ``step`` (``lost`` given) their reset lanes are added to
        ``lost``, any other call raises LanesLostError once they are.
        ``changes_lanes``: the other shards' lanes changed with this call,
        which the caller will not see: a full ``reset()`` must come next.
        """
        answers, dead = {}, {}
        for shard, call in calls.items():
            try:
                answers[shard] = _get(call)
            except _ACTOR_DEATHS as error:
                dead[shard] = error
        if not dead:
            return answers
        if not self.restart_dead_actors:
            self._dead.update(dead)
            self._check_alive()
        for shard, death in dead.items():
            restarted = self._restart(shard, death)
            if lost is not None:
                lost[shard] = restarted
            elif self._last_obs is not None:
                self._lost[shard] = restarted
        if lost is not None:
            return answers
        if changes_lanes:
            self._last_obs = self._last_info = None
            self._lost.clear()
            self._fresh.clear()
        again = (
            "; call reset() before going on"
            if changes_lanes
            else ": the next step() reports their episodes as truncated"
        )
        raise LanesLostError(
            f"{self._naming(dead)} during {what}(); new actors took their place, with these lanes reset{again}",
            self._lanes_of(dead),
            restarted=True,
        ) from next(iter(dead.values()))

    def _restart(self, shard: int, error: BaseException) -> tuple[np.ndarray, dict[str, Any]]:
        """A new actor for ``shard`` in place of its dead one: its lanes reset; their (obs, info).

        A new actor that dies at once is replaced in turn, up to MAX_RESTART_TRIES new actors.
        """
        for tries in range(1, MAX_RESTART_TRIES + 1):
            try:
                ray.kill(self._actors[shard])  # gone already, or unreachable: make sure
            except Exception:
                pass
            options, arguments = self._spawn[shard]
            actor = self._actors[shard] = self._actor_class.options(**options).remote(*arguments)
            self.actor_restarts += 1
            lanes = slice(int(self._offsets[shard]), int(self._offsets[shard + 1]))
            described = actor.describe.remote()
            choices = {"states": self._starts.per_lane()[lanes]} if self.state_names else None
            reset = actor.reset.remote(None, choices)
            try:
                ready, _ = ray.wait([reset], timeout=self._start_timeout)
                if not ready:
                    raise TimeoutError(f"its new actor did not answer within {self._start_timeout:g} s")
                _get(described)
                return _get(reset)
            except BaseException as failure:
                if isinstance(failure, _ACTOR_DEATHS) and tries < MAX_RESTART_TRIES:
                    continue
                self._dead[shard] = error
                tried = f"none of {tries} new actors" if tries > 1 else "no new actor"
                raise LanesLostError(
                    f"{self._naming({shard: error})}, and {tried} could take its place: {failure}",
                    self._lanes_of({shard: error}),
                    restarted=False,
                ) from failure
        raise AssertionError("unreachable")

    def _truncation(self, shard: int, obs: np.ndarray, info: dict[str, Any]):
        """A step's result for the lanes of a replaced actor: their episodes truncated, as the autoreset mode wants.

        ``obs`` / ``info``: the lanes after their reset; the final observation
        and values are the last ones returned for them.
        """
        assert self._last_obs is not None and self._last_info is not None  # step() runs after a reset
        size = self._sizes[shard]
        last_obs = self._last_obs[shard]
        last_info = {k: (np.ones_like(v) if k.startswith("_") else v) for k, v in self._last_info[shard].items()}
        rewards, terminated, truncated = np.zeros(size, np.float32), np.zeros(size, np.bool_), np.ones(size, np.bool_)
        if self.autoreset_mode is AutoresetMode.SAME_STEP:
            final_obs = np.empty(size, dtype=object)
            for lane in range(size):
                final_obs[lane] = last_obs[lane]
            info = {**info, "final_obs": final_obs, "_final_obs": truncated.copy()}
            info.update(final_info=last_info, _final_info=truncated.copy())
            return obs, rewards, terminated, truncated, info
        if self.autoreset_mode is AutoresetMode.NEXT_STEP:
            self._fresh[shard] = (obs, info)
        return last_obs, rewards, terminated, truncated, last_info

    def _follow_replaced(self, results: dict[int, Any], changed: np.ndarray) -> None:
        """After a reset or restore, what the next step returns for a replaced shard.

        A shard whose every lane changed has no episode left to cut, nor a
        first observation to return; otherwise its lanes are returned as they are now.
        """
        for shard, _, lanes in self._shards():
            for waiting in (self._lost, self._fresh):
                if shard in waiting and shard in results:
                    if changed[lanes].all():
                        del waiting[shard]
                    else:
                        waiting[shard] = results[shard]

    def _check_alive(self) -> None:
        """Refuses every call once an actor died for good, before any shard is asked anything."""
        if self._dead:
            raise LanesLostError(
                f"{self._naming(self._dead)}: its lanes are lost and this environment cannot go on; close it "
                "(pass restart_dead_actors=True to go on with new actors and those lanes reset)",
                self._lanes_of(self._dead),
                restarted=False,
            ) from next(iter(self._dead.values()))

    def _naming(self, dead: dict[int, BaseException]) -> str:
        offsets = self._offsets
        actors = [
            f"actor {shard} (lanes {offsets[shard]}..{offsets[shard + 1] - 1}, {type(error).__name__})"
            for shard, error in sorted(dead.items())
        ]
        return f"Ray {' and '.join(actors)} died"

    def _lanes_of(self, dead: dict[int, BaseException]) -> list[int]:
        return [
            lane for shard in sorted(dead) for lane in range(int(self._offsets[shard]), int(self._offsets[shard + 1]))
        ]

    def _shards(self):
        for shard, actor in enumerate(self._actors):
            yield shard, actor, slice(int(self._offsets[shard]), int(self._offsets[shard + 1]))

    def _check_actions(self, actions: Any) -> np.ndarray:
        # Refused here, before any shard steps: a shard that refused alone
        # would leave the others one step ahead.
        return action_bytes(self._action_indices, False, actions, self.num_envs)

    def _unchanged(self, shard: int) -> tuple[np.ndarray, dict[str, Any]]:
        """A shard that no call touched: its last observation and values, its masks false."""
        if self._last_obs is None or self._last_info is None:
            raise RuntimeError("call reset() before resetting only some lanes")
        info = {name: (np.zeros_like(v) if name.startswith("_") else v) for name, v in self._last_info[shard].items()}
        return self._last_obs[shard], info

    def _gather_changed(
        self, results: dict[int, tuple[np.ndarray, dict[str, Any]]]
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """The shards of ``results`` as they answered, the others unchanged, joined as :meth:`_gather` does."""
        answers = [results.get(shard) or self._unchanged(shard) for shard in range(len(self._sizes))]
        return self._gather([obs for obs, _ in answers], [info for _, info in answers])

    def _gather(self, observations: list[np.ndarray], infos: list[dict[str, Any]]) -> tuple[np.ndarray, dict[str, Any]]:
        """Joins the shards' results in lane order and remembers each shard's last observation and values."""
        self._last_obs = observations
        self._last_info = [{k: v for k, v in info.items() if k not in _FINAL_KEYS} for info in infos]
        if any("final_info" in info for info in infos):
            # A shard where no lane ended reports no final values; one process
            # reports the lanes' current values there, with masks false.
            infos = [
                info if "final_info" in info else {**info, "final_info": self._unchanged(shard)[1]}
                for shard, info in enumerate(infos)
            ]
        return np.concatenate(observations), _merge_infos(infos, self._sizes)


def _get(calls: Any) -> Any:
    """``ray.get``, with an exception raised inside an actor re-raised as itself (same type, same message)."""
    try:
        return ray.get(calls)
    except ray.exceptions.RayTaskError as error:
        cause = getattr(error, "cause", None)
        if isinstance(cause, Exception):
            raise cause from None
        raise


def _check_free_cpus(requested: list[float]) -> None:
    """Refuses actors that Ray could not place now: their first call would wait for ever."""
    need = sum(requested)
    total = ray.cluster_resources().get("CPU", 0.0)
    free = ray.available_resources().get("CPU", 0.0)
    # CPUs of actors just ended come back within moments.
    deadline = time.monotonic() + 10.0
    while need > free and need <= total and time.monotonic() < deadline:
        time.sleep(0.2)
        free = ray.available_resources().get("CPU", 0.0)
    if need > free:
        raise RuntimeError(
            f"RayVectorEnv needs {need:g} CPUs for {len(requested)} actors "
            f"(num_cpus {', '.join(f'{cpus:g}' for cpus in requested)}), but the Ray cluster has {free:g} free "
            f"of {total:g}: use fewer actors (num_actors=) or fewer CPUs each (actor_options={{'num_cpus': ...}}), "
            "or start Ray with more (ray.init(num_cpus=...))"
        )


def _merge_infos(infos: list[dict[str, Any]], sizes: list[int]) -> dict[str, Any]:
    """Concatenates per-shard Gymnasium vector infos; a key missing in a shard is zero, None or false there."""
    keys: list[str] = []
    for info in infos:
        keys.extend(key for key in info if key not in keys)
    merged: dict[str, Any] = {}
    for key in keys:
        sample = next(info[key] for info in infos if key in info)
        if isinstance(sample, dict):
            merged[key] = _merge_infos([info.get(key, {}) for info in infos], sizes)
            continue
        parts = []
        for info, size in zip(infos, sizes):
            if key in info:
                parts.append(np.asarray(info[key]))
            elif sample.dtype == object:
                parts.append(np.full(size, None, dtype=object))
            else:
                parts.append(np.zeros((size,) + sample.shape[1:], sample.dtype))
        merged[key] = np.concatenate(parts)
    return merged
