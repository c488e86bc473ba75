"""A Gymnasium vector environment over the batched engine (Gymnasium >= 1.1: ``pip install tanuvex_turbo[gym]``).

:class:`TurboVectorEnv` wraps one ``_RetroVecEnv`` (a lane per sub-environment), which runs every rule of an
episode (``docs/environment.md``) in the call that steps; this class converts arguments (``docs/options.md``)
and arrays: action indices to controller bytes, the engine's arrays (bound once) to Gymnasium's results.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from typing import Any

import numpy as np

try:
    from gymnasium import spaces
    from gymnasium.vector import AutoresetMode, VectorEnv
    from gymnasium.vector.utils import batch_space
except ImportError as error:  # pragma: no cover - exercised only without gymnasium
    raise ImportError("tanuvex_turbo.vector_env needs Gymnasium >= 1.1: pip install 'tanuvex_turbo[gym]'") from error

from tanuvex_turbo._tanuvex_turbo import _RetroVecEnv
from tanuvex_turbo.env import _registration
from tanuvex_turbo.env._registration import register as register_env_id
from tanuvex_turbo.env.arguments import (
    action_bytes,
    check_arguments,
    check_reset_mask,
    episode_limit,
    lane_mask,
    open_engine,
)
from tanuvex_turbo.env.async_lanes import AsyncLanes
from tanuvex_turbo.env.guard import one_caller
from tanuvex_turbo.env.options import options_doc, signature
from tanuvex_turbo.env.saved_lanes import LaneSaver, SavedLane
from tanuvex_turbo.env.start_states import StartStates
from tanuvex_turbo.env.values import ReportedValues
from tanuvex_turbo.game.actions import describe
from tanuvex_turbo.game.fields import FRAME_RATE, INFO_FIELDS, PENDING_RESET_MESSAGE

__all__ = ["ENV_ID", "TurboVectorEnv", "AutoresetMode", "INFO_FIELDS", "PENDING_RESET_MESSAGE", "FRAME_RATE"]

#: Gymnasium id of :class:`TurboVectorEnv`, registered when the package is imported.
ENV_ID = _registration.ENV_ID


class TurboVectorEnv(VectorEnv):
    """``num_envs`` emulated consoles as one Gymnasium vector environment.

    ``rom_path`` defaults to ``$TANUVEX_TURBO_ROM``; ``num_envs`` is the lane
    count; every other argument is a keyword of :data:`~tanuvex_turbo.env.options.OPTIONS`
    (listed below and in ``docs/options.md``).

    Observations are ``uint8`` arrays ``(num_envs, frame_stack * k, H, W)``
    (``k`` 1 for gray, 3 for colour; ``(num_envs, frame_stack, 1, 2048)`` for
    ``"ram"``, ``(num_envs, frame_stack, 38, 32)`` for ``"tiles"``;
    ``docs/observations.md``), slot 0 the oldest. Rewards are ``float32``.
    ``info`` holds the ten game values of :data:`INFO_FIELDS`, the requested
    extra info and, with ``progress_info``, ``level_end`` and ``dying``, one
    entry per lane, each with its ``_name`` mask.

    Autoreset (``metadata["autoreset_mode"]``): ``NEXT_STEP`` resets an ended
    lane on its next step (first observation, reward 0, both flags false);
    ``SAME_STEP`` resets it in the step that ended it, the ended episode's
    last observation and info in ``info["final_obs"]`` / ``info["final_info"]``;
    ``DISABLED`` refuses to step until ``reset(options={"reset_mask": ...})``.
    Resets: ``reset(seed=s)`` seeds lane ``i`` with ``s + i``; ``options`` may
    hold ``reset_mask``, ``state`` or ``states`` (a start state chosen so
    stays the lane's for later resets). A ``"random"`` start state is drawn
    from :attr:`np_random` by ``reset()`` and from the lane's own random
    stream by an autoreset. With ``batch_size < num_envs`` the environment is
    asynchronous (:meth:`send`, :meth:`recv`; ``docs/async.md``).
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": ["rgb_array"]}
    metadata["render_fps"] = FRAME_RATE / 4

    def __init__(self, rom_path: str | os.PathLike[str] | None = None, num_envs: int = 8, **options: Any) -> None:
        arguments = check_arguments(rom_path, num_envs, options)
        values = self._options = arguments.values
        self._action_table = arguments.action_table
        self._raw_actions = len(self._action_table) == 256 and bool(np.all(self._action_table == np.arange(256)))
        self.autoreset_mode = arguments.autoreset_mode
        self._extra_layout = arguments.extra_layout
        engine = self._engine = open_engine(
            arguments.rom_source, arguments.rom_path, arguments.num_envs, **arguments.engine_arguments()
        )
        n = self.num_envs = engine.num_envs
        self.render_mode, self.copy, self.observations = values["render_mode"], values["copy"], values["observations"]
        self._guard = threading.RLock()  # held by the one thread inside a public method
        self.metadata = dict(type(self).metadata, autoreset_mode=self.autoreset_mode)
        self.metadata["render_fps"] = FRAME_RATE / engine.frame_skip
        self._starts = StartStates(engine.state_catalog, n)
        shape = self._obs_shape = tuple(engine.obs_shape())
        self.single_observation_space = spaces.Box(0, 255, shape[1:], np.uint8)
        self.observation_space = batch_space(self.single_observation_space, n)
        self.single_action_space = spaces.Discrete(len(self._action_table))
        self.action_space = batch_space(self.single_action_space, n)
        self._saver = LaneSaver(n, int(np.prod(shape[1:])), arguments.fingerprint(engine))

        # The arrays the engine writes: bound once, reused by every call.
        self._obs, self._actions = np.zeros(shape, np.uint8), np.zeros(n, np.uint8)
        self._values = ReportedValues(n, engine.extra_info_shape()[1], self.progress_info)
        self._finals = ReportedValues(n, engine.extra_info_shape()[1], self.progress_info) if self._same_step else None
        self._final_obs = np.zeros(shape, np.uint8) if self._same_step else None
        self._rewards, self._terminated, self._truncated = np.zeros(n, np.float32), np.zeros(n, bool), np.zeros(n, bool)
        finals = {} if self._finals is None else self._finals.bind_arguments("final_", self._final_obs)
        bound: dict[str, Any] = dict(obs=self._obs, rewards=self._rewards, terminated=self._terminated)
        bound.update(truncated=self._truncated, **self._values.info, **self._values.bind_arguments("", None))
        engine.bind_outputs(**bound, **finals)
        self._mask_names = tuple("_" + name for name in self._values.names(self._extra_layout))
        self._all_lanes = np.ones(n, np.bool_)
        self._reset_done = False
        self.batch_size = n if values["batch_size"] is None else values["batch_size"]
        self._lanes = AsyncLanes(n, self.batch_size, self._obs, engine.extra_info_shape()[1], self.progress_info)
        self._enter, self._hand_over = self._lanes.enter, self._lanes.hand_over
        self._frames: np.ndarray | None = None
        # Every lane's start state, the engine's own resets' too (None keeps the catalog's default).
        self._take_starts(self._starts.after(self._all_lanes, values["start_state"], "start_state"))

    # ------------------------------------------------------------------ properties

    @property
    def engine(self) -> _RetroVecEnv:
        """The wrapped ``_RetroVecEnv`` (for the engine's own methods; do not step it directly)."""
        self._check_open()
        return self._engine

    @property
    def state_names(self) -> list[str]:
        """Names of the start states in catalog order (empty without a catalog)."""
        return list(self._starts.names)

    @property
    def action_table(self) -> np.ndarray:
        """Controller byte of each action index (a copy)."""
        return self._action_table.copy()

    def get_action_meanings(self) -> list[str]:
        """The buttons of each action, in action order: ``["noop", "right", "right+A", ...]``."""
        return [describe(int(byte)) for byte in self._action_table]

    @property
    def start_states(self) -> list[int | str]:
        """Each lane's current start state: a catalog index, -1 for power-on, or ``"random"``."""
        return self._starts.per_lane()

    @property
    def max_episode_steps(self) -> int | None:
        """Steps after which an episode is truncated (None: no limit); may be changed."""
        return self._options["max_episode_steps"]

    @max_episode_steps.setter
    def max_episode_steps(self, value: int | None) -> None:
        value = episode_limit(value)
        self._engine.set_max_episode_steps(value)
        self._options["max_episode_steps"] = value

    end_on_life_loss = property(lambda self: self._options["end_on_life_loss"])
    episodic_life = property(lambda self: self._options["episodic_life"])
    end_on_level_end = property(lambda self: self._options["end_on_level_end"])
    progress_info = property(lambda self: self._options["progress_info"] or self._options["end_on_level_end"])
    _same_step = property(lambda self: self.autoreset_mode is AutoresetMode.SAME_STEP)

    # ------------------------------------------------------------------ Gymnasium API

    @one_caller
    def reset(self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None):
        """Resets all lanes, or those of ``options["reset_mask"]``; returns ``(obs, info)``.

        ``info`` masks are true for the reset lanes; lanes in flight are dropped;
        a refused reset changes nothing. Under ``episodic_life`` a lane whose
        episode ended by a lost life goes on unless a seed or a start state is given.
        """
        self._check_open()
        options = dict(options or {})
        mask = options.pop("reset_mask", None)
        mask = self._all_lanes if mask is None else check_reset_mask(mask, self.num_envs)
        go_on, seeds, generator, starts = self._starts.reset_choices(seed, options, mask)
        self._lanes.cancel(self._engine)
        self._commit_choices(generator, starts)
        indices = self._starts.for_reset(mask, lambda: self.np_random)
        self._engine.reset_masked_into(self._obs, mask, indices, [s if m else None for s, m in zip(seeds, mask)], go_on)
        return self._after_reset(mask)

    @one_caller
    def step(self, actions: Any, mask: Any | None = None, env_ids: Any = None):
        """Advances every lane by one action; returns ``(obs, rewards, terminated, truncated, info)``.

        ``mask`` (``bool``, one per lane) selects the lanes that advance: the
        others run no frame and draw no random number, their reward is 0 and
        the step does not count toward their ``max_episode_steps``; a lane
        whose episode ended is reset all the same. With ``batch_size <
        num_envs`` (or ``env_ids``) it is :meth:`send` of ``actions`` to
        ``env_ids`` (default: every lane not in flight) followed by :meth:`recv`.
        """
        self._check_open()
        if self.batch_size < self.num_envs or env_ids is not None:
            if mask is not None:
                raise ValueError("mask cannot be combined with env_ids or an asynchronous batch_size")
            if not self._reset_done:
                raise RuntimeError("call reset() before step()")
            self._send(actions, self._lanes.step_ids(env_ids, actions))
            return self._lanes.recv(self._engine, self._deliver)
        if not self._reset_done:
            raise RuntimeError("call reset() before step()")
        lanes = None if mask is None else lane_mask(mask, self.num_envs, "mask")
        action_bytes(self._action_table, self._raw_actions, actions, self.num_envs, out=self._actions)
        obs = np.empty(self._obs_shape, np.uint8) if self.copy else None
        self._engine.step(self._actions, lanes, obs)
        if lanes is not None:  # the engine leaves a lane's outputs as they were when it did not step it
            idle = ~lanes
            self._rewards[idle], self._terminated[idle], self._truncated[idle] = 0.0, False, False
        return self._result(self._obs if obs is None else obs)

    @one_caller
    def render(self) -> tuple[np.ndarray, ...] | None:
        """With ``render_mode="rgb_array"``: each lane's display frame, ``uint8`` 224 x 240 x 3 (RGB)."""
        self._check_open()
        if self.render_mode is None:
            return None
        if self._frames is None:
            self._frames = np.zeros(self._engine.rgb_frame_shape(), np.uint8)
        self._engine.rgb_frames_into(self._frames)
        return tuple(self._frames.copy())

    @one_caller
    def close_extras(self, **kwargs: Any) -> None:
        """Releases the engine and its lanes (lanes in flight are finished and dropped first)."""
        if self._engine is not None:
            self._lanes.cancel(self._engine)
        for unbind in self.__dict__.pop("_xla_unbinds", ()):
            unbind()  # the handles of xla() are refused from now on
        self._engine = None  # type: ignore[assignment]

    @one_caller
    def xla(self) -> tuple[Any, Any, Any, Any]:
        """``handle, recv, send, step``: the step as JAX functions for ``jax.jit`` (:mod:`tanuvex_turbo.env.xla`)."""
        from tanuvex_turbo.env.xla import xla_interface

        return xla_interface(self)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(num_envs={self.num_envs}, autoreset_mode={self.autoreset_mode.name})"

    # ------------------------------------------------------------------ asynchronous steps

    @one_caller
    def send(self, actions: Any, env_ids: Any = None) -> None:
        """Starts the lanes ``env_ids`` (default: the first ``len(actions)``) and returns at once.

        A lane whose episode ended is reset instead (refused under ``DISABLED``), a
        lane in flight cannot be sent again (RuntimeError); a refused send changes nothing.
        """
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() or async_reset() before send()")
        self._send(actions, self._lanes.send_ids(env_ids, actions))

    @one_caller
    def recv(self):
        """The first ``batch_size`` lanes to finish: ``(obs, rewards, terminated, truncated, info)``.

        Row ``i`` is lane ``info["env_id"][i]`` (lane order when ``batch_size == num_envs``); with
        ``copy=False`` the observation is a view of a buffer reused once ``num_envs`` more lanes have finished.
        """
        self._check_open()
        return self._lanes.recv(self._engine, self._deliver)

    @one_caller
    def async_reset(self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None):
        """Sends every lane a reset and returns at once; :meth:`recv` then returns their first observations.

        Takes the ``seed`` and ``options`` of :meth:`reset` (``state`` or ``states``; every lane is reset).
        """
        self._check_open()
        options = dict(options or {})
        if "reset_mask" in options:
            raise ValueError("async_reset() resets every lane: options['reset_mask'] is not accepted")
        go_on, seeds, generator, starts = self._starts.reset_choices(seed, options, self._all_lanes)
        self._lanes.cancel(self._engine)
        self._commit_choices(generator, starts)
        n = self.num_envs
        indices = self._starts.for_reset(self._all_lanes, lambda: self.np_random)
        resets = (indices, seeds, go_on)
        self._lanes.send(self._engine, np.arange(n, dtype=np.int32), np.zeros(n, np.uint8), resets)
        self._reset_done = True

    def _send(self, actions: Any, ids: np.ndarray) -> None:
        sent = action_bytes(self._action_table, self._raw_actions, actions, len(ids))
        self._lanes.settle(self._engine)
        self._lanes.check_idle(ids)
        self._lanes.send(self._engine, ids, sent)

    def _deliver(self, ids: np.ndarray, ring_rows: np.ndarray | None):
        """The result of a receive from the arrays it filled (again after Ctrl-C: it changes nothing they hold)."""
        lanes = self._lanes
        rewards, terminated, truncated, *info_arrays = lanes.recv_outputs
        if ring_rows is None:  # every lane: in lane order, as a synchronous step
            order = np.argsort(ids, kind="stable")
            for mine, got in zip((self._rewards, self._terminated, self._truncated), (rewards, terminated, truncated)):
                mine[:] = got[order]
            self._values.take(order, info_arrays, lanes.recv_extra, lanes.recv_progress)
            result = self._result(self._obs.copy() if self.copy else self._obs)
            result[4]["env_id"] = np.arange(self.num_envs, dtype=np.int32)
            return result
        info: dict[str, Any] = dict(zip(self._values.info, (a.copy() for a in info_arrays)))
        info.update(self._values.columns(self._extra_layout, lanes.recv_extra, lanes.recv_progress))
        info.update((name, np.ones(self.batch_size, np.bool_)) for name in self._mask_names)
        info["env_id"] = ids.copy()
        obs = ring_rows.copy() if self.copy and ring_rows.base is lanes.ring else ring_rows
        return obs, rewards.copy(), terminated.copy(), truncated.copy(), info

    # ------------------------------------------------------------------ results

    def _result(self, obs: np.ndarray):
        info = self._build_info(None)
        ended = self._terminated | self._truncated
        if self._finals is not None and ended.any():
            info.update(self._finals.final_entries(ended, self._final_obs, self._values, self._extra_layout))
            info["final_info"].update((name, ended.copy()) for name in self._mask_names)
        return obs, self._rewards.copy(), self._terminated.copy(), self._truncated.copy(), info

    def _after_reset(self, mask: np.ndarray):
        self._engine.values_into_bound()
        self._reset_done = True
        return (self._obs.copy() if self.copy else self._obs), self._build_info(mask)

    def _build_info(self, mask: np.ndarray | None) -> dict[str, Any]:
        """The info dict: every reported value with its ``_name`` mask (all lanes when ``mask`` is None)."""
        info = self._values.info_dict(self._extra_layout, None, None, copy=self.copy)
        info.update((name, (self._all_lanes if mask is None else mask).copy()) for name in self._mask_names)
        return info

    def _check_open(self) -> None:
        if self._engine is None:
            raise RuntimeError("the environment is closed")

    def _commit_choices(self, generator: Any, starts: tuple[np.ndarray, np.ndarray] | None) -> None:
        if generator is not None:
            self._np_random, self._np_random_seed = generator
        if starts is not None:
            self._take_starts(starts)

    def _take_starts(self, starts: tuple[np.ndarray, np.ndarray]) -> None:
        index, random = starts
        self._engine.set_start_states(np.ascontiguousarray(index, np.int32), np.ascontiguousarray(random))
        self._starts.take(starts)

    # ------------------------------------------------------------------ lane clones

    @one_caller
    def clone_states(self, mask: Any | None = None) -> list[bytes | None]:
        """The portable bytes of each lane of ``mask`` (all by default), ``None`` for the others.

        A clone (console, observation stack, start state, random stream) can be
        restored by :meth:`restore_states` in any environment of the same
        observation options; a lane awaiting reset cannot be cloned.
        """
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() before clone_states()")
        return self._saver.clone(self._engine, self._obs, lane_mask(mask, self.num_envs, "mask"))

    @one_caller
    def save_states(self, mask: Any | None = None) -> list[SavedLane | None]:
        """The lanes of ``mask`` as :class:`SavedLane` objects restored here undecoded; see :meth:`clone_states`."""
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() before save_states()")
        return self._saver.save(self._engine, self._obs, lane_mask(mask, self.num_envs, "mask"))

    @one_caller
    def restore_states(self, states: Sequence[bytes | SavedLane | None]) -> tuple[np.ndarray, dict[str, Any]]:
        """Puts lanes back where they were cloned (one entry per lane, None: left alone); returns ``(obs, info)``.

        A restored lane goes on exactly as the cloned lane would have and
        begins a new episode; its start state for later resets stays its own.
        A damaged entry, or one saved under other observation options, raises
        ValueError before any lane changes (:mod:`tanuvex_turbo.game.lane_states`).
        """
        self._check_open()
        n = self.num_envs
        mask, snapshots = self._saver.decode(self._engine, states)
        if not self._reset_done and not mask.all():
            raise RuntimeError("call reset() before restoring only some lanes")
        self._lanes.cancel(self._engine)
        self._engine.reset_mixed_into(self._obs, mask, np.full(n, -1, np.int32), [None] * n, snapshots)
        return self._after_reset(mask)


TurboVectorEnv.__init__.__signature__ = signature()  # type: ignore[attr-defined]
TurboVectorEnv.__doc__ = (TurboVectorEnv.__doc__ or "") + options_doc()

register_env_id()
