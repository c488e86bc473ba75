"""A Gymnasium vector environment over the batched engine.

:class:`TurboVectorEnv` is a :class:`gymnasium.vector.VectorEnv` that wraps one
``_RetroVecEnv``: every lane of the engine is one sub-environment. It owns the
arrays the engine writes into (allocated once, reused on every step), turns
action indices into controller bytes through an action set, adds optional
time-limit truncation, and provides Gymnasium's three autoreset modes on top
of the engine's masked resets.

Gymnasium (>= 1.1) is an optional dependency: ``pip install tanuvex_turbo[gym]``.

Quick start::

    from tanuvex_turbo import TurboVectorEnv

    env = TurboVectorEnv(rom_path, num_envs=8, states="states/", action_set="simple")
    obs, info = env.reset(seed=0)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())

The episode model. The reward of a step is the sum over its emulated frames
of the forward movement of the horizontal scroll byte ``xscroll_lo``: per
frame, the byte's increase, floored at 0 and 0 on the frame where it wraps
around. Nothing else counts: no penalty for dying or for time, no bonus for
coins, score or the flag. An episode ends (``terminated``) when the lives
byte reads 0xFF, that is game over after the last life, or, with
``terminate_on_flag`` (the default), when ``x_pos`` reaches 3160 during a
frame, one constant for every level. No frame earns reward or reaches the
flag unless a game is being played (power-on lanes sit on the title screen
until Start is pressed). A lost life is not an episode end unless
``episodic_life=True`` (the game goes on in the next episode) or
``end_on_life_loss=True`` (the next episode reloads the start state). The
engine never truncates; ``max_episode_steps`` adds truncation in this class.
"""

from __future__ import annotations

import functools
import os
import threading
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

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
from tanuvex_turbo.env.episodes import EpisodeBook
from tanuvex_turbo.env.saved_lanes import LaneSaver, SavedLane
from tanuvex_turbo.env.start_states import StartStates, StateChoice
from tanuvex_turbo.game.actions import START, ActionSetChoice, describe
from tanuvex_turbo.game.fields import FRAME_RATE, INFO_FIELDS, PENDING_RESET_MESSAGE
from tanuvex_turbo.game.states import StatesSource

__all__ = ["ENV_ID", "TurboVectorEnv", "AutoresetMode", "INFO_FIELDS", "PENDING_RESET_MESSAGE", "FRAME_RATE"]

#: Gymnasium id of :class:`TurboVectorEnv`, registered when the package is imported, so that
#: ``gymnasium.make_vec("TanuvexTurbo-v0", num_envs=8, states=...)`` works.
ENV_ID = _registration.ENV_ID

#: The refusal of a call made while another thread is inside the same environment.
BUSY_MESSAGE = "another thread is using this environment; give each thread its own environment"

_Result = TypeVar("_Result")


def _one_caller(method: Callable[..., _Result]) -> Callable[..., _Result]:
    """Refuses a call while another thread is inside a public method of the same environment.

    The bookkeeping of lanes in flight, episodes and the engine's arrays is
    not shared safely between threads; a second thread is refused at once
    (RuntimeError), as the engine refuses a conflicting call, instead of
    corrupting it. The thread inside may call further methods.
    """

    @functools.wraps(method)
    def guarded(self: TurboVectorEnv, *args: Any, **kwargs: Any) -> _Result:
        guard = self._guard
        if not guard.acquire(blocking=False):
            raise RuntimeError(BUSY_MESSAGE)
        try:
            return method(self, *args, **kwargs)
        finally:
            guard.release()

    return guarded


class TurboVectorEnv(VectorEnv):
    """``num_envs`` emulated consoles as one Gymnasium vector environment.

    Args:
        rom_path: path of the supported cartridge image; defaults to the
            ``TANUVEX_TURBO_ROM`` environment variable.
        num_envs: number of lanes (sub-environments), 1 to :data:`~tanuvex_turbo.env.arguments.MAX_NUM_ENVS`.
        states: start states: a directory of ``*.state`` files, a file, a
            mapping ``name -> path or bytes``, or a sequence of paths or
            ``(name, path or bytes)`` pairs; gzip-compressed or raw. States read
            from files are named by their file names without suffix. ``None``
            (default) reads the ``TANUVEX_TURBO_STATES`` environment variable;
            without it, or with an empty sequence ``()``, every episode starts
            from the console's power-on state.
        start_state: the start state of every lane (a catalog name or index,
            ``"random"`` for a uniform draw at every reset), or a sequence with
            one such value per lane. Default: the entry named ``"1-1"`` when
            the catalog has one, otherwise the first entry.
        action_set: a name of :data:`tanuvex_turbo.game.actions.ACTION_SETS`
            (``"right_only"``, ``"simple"``, ``"complex"``, ``"full"``) or a
            custom list of controller bytes / button combinations. Actions are
            indices into it; ``"full"`` makes the action the raw controller byte.
        autoreset_mode: :class:`gymnasium.vector.AutoresetMode`, its value
            (``"NextStep"``, ``"SameStep"``, ``"Disabled"``) or its name in any
            case (``"SAME_STEP"``, ``"same_step"``): ``NEXT_STEP`` (default),
            ``SAME_STEP`` or ``DISABLED``.
        max_episode_steps: truncate an episode after this many steps (the
            engine itself never truncates). ``None``: no limit.
        end_on_life_loss: when true, a step in which a lane's ``lives`` value
            drops ends that lane's episode (``terminated``); its reset then
            loads its start state as any other, so every episode is one life
            from the start state. Default false: only game over (and the
            flag) ends an episode.
        episodic_life: when true, a lost life ends the episode
            (``terminated``) but does not reset the console: the lane's next
            episode (autoreset or ``reset()``) goes on where the game stands,
            with one life fewer; only game over, the flag, a time limit, or a
            ``reset`` given a seed or a start state loads the start state
            (the convention of ALE's and EnvPool's ``episodic_life``).
            Excludes ``end_on_life_loss``.
        render_mode: ``"rgb_array"`` to make :meth:`render` return each lane's
            display frame (224 x 240 x 3), or ``None``.
        copy: when true (default) the observation and info arrays returned by
            :meth:`reset` and :meth:`step` are fresh copies; when false they are
            the environment's own buffers, overwritten by the next call
            (zero-copy; do not modify the observation, the next step reads its
            older frames from it).
        extra_info: names (or ids) from :func:`extra_info_descriptors` to
            report in ``info`` next to the ten game values.
        seed: seed of the lanes' random generators at construction (lane ``i``
            gets ``seed + i``); ``None`` leaves it to the engine's clock-based default.
        obs_type: what an observation holds (``docs/observations.md``):
            ``"grayscale"`` (the picture in gray), ``"rgb"`` (the picture in
            colour, as ``grayscale=False``), ``"ram"`` (the console's 2 KiB
            work RAM after the step) or ``"tiles"`` (the picture processor's
            background tile numbers of the visible window and its sprite
            table, read without drawing). ``None`` (default): the picture,
            gray unless ``grayscale=False``. ``"ram"`` and ``"tiles"`` ignore
            the picture's arguments (``grayscale``, crops, resize,
            ``frame_maxpool``); ``frame_stack`` applies to every type.
        frame_skip, grayscale, frame_stack, terminate_on_flag, crop_top,
        crop_bottom, crop_left, crop_right, crop_mode, crop_fill, resize_width,
        resize_height, resize_algorithm, frame_maxpool, noop_reset_max,
        sticky_action_prob, num_threads: passed to the engine unchanged.
        observations: false for an observation-free environment: the engine
            then draws nothing for observations (the observation-shaping
            arguments above, ``obs_type`` included, are ignored), the observation is one ``(1, 1, 1)``
            byte that stays 0, and a saved lane carries that one byte.
        progress_info: add ``level_end`` and ``dying`` (``bool``, one per
            lane, see :mod:`tanuvex_turbo.game.progress`) to ``info``, read from
            the game's own state after every step and reset.
        end_on_level_end: end a lane's episode (``terminated``) on the step
            in which it reaches the goal of its level, the last level of a
            world included; implies ``progress_info``. Unlike
            ``terminate_on_flag`` (``x_pos`` >= 3160 on every level) it fires
            where the game itself ends the level.
        batch_size: lanes returned by :meth:`recv` (default ``num_envs``).
            Below ``num_envs`` the environment is asynchronous: :meth:`send`
            starts lanes and returns at once, :meth:`recv` returns the first
            ``batch_size`` lanes to finish with their ids in
            ``info["env_id"]``, and :meth:`step` is ``send`` + ``recv``
            (``autoreset_mode`` must then be ``NEXT_STEP``; docs/async.md).

    Observations are ``uint8`` arrays of shape ``(num_envs, frame_stack * k,
    resize_height, resize_width)`` with ``k`` 1 for gray and 3 for colour.
    Slot ``s`` (0 the oldest) of a lane holds, by ``obs_type``:

    - ``"grayscale"`` / ``"rgb"``: the picture as above.
    - ``"ram"``: shape ``(num_envs, frame_stack, 1, 2048)``; row 0 of a slot
      is the work RAM (CPU addresses 0x0000-0x07FF) at the end of the step
      (or reset), the same bytes as ``engine.ram_into``.
    - ``"tiles"``: shape ``(num_envs, frame_stack, 38, 32)``. Rows 0-29 are
      the background tile numbers, one byte per 8 x 8 cell of the 256 x 240
      screen, read from the nametables with the scroll the picture is drawn
      with: the top four rows (the status bar, screen rows 0-31) are never
      scrolled, cell ``(r, c)`` covering screen pixels ``x 8c..8c+7, y
      8r..8r+7``; the rows below follow the playfield's scroll ``(sx, sy)``,
      the grid aligned to it, cell ``(r, c)`` starting on screen at ``x = 8c
      - sx % 8`` and ``y = 32 + 8 (r - 4) - (32 + sy) % 8``; a fine scroll
      of ``f`` pixels leaves the last ``f`` screen columns (rows) in no
      cell. Every pixel of the 240 x 224 visible frame lies in a cell.
      Rows 30-37 are the 256 bytes of sprite memory as the console keeps
      them: 64 entries of (y, tile, attributes, x), eight entries a row;
      a sprite is drawn from screen row ``y + 1``. Nothing is drawn for it.
    Rewards are ``float32``: the forward scroll of the step, with no death or
    time penalty (the module documentation describes the episode model).
    ``info`` holds the ten game values of :data:`INFO_FIELDS` (and the
    requested extra info) as arrays with one entry per lane, each with its
    ``_name`` mask as Gymnasium's vector envs do.

    Resets: ``reset(seed=s)`` gives lane ``i`` the seed ``s + i``; a list gives
    one seed (or ``None``) per lane; ``None`` keeps the lanes' generators
    going. ``options`` may hold ``reset_mask`` (a ``bool`` array: reset only
    these lanes), ``state`` (one start state for every reset lane) or
    ``states`` (one per lane, ``None`` keeping a lane's start state). A start
    state chosen through ``options`` stays the lane's start state for later
    resets, autoresets included. Autoresets do not reseed: each lane's random
    stream (no-op frames after a reset, sticky actions) goes on, so a run
    started with ``reset(seed=...)`` is reproducible whatever the autoreset
    mode. ``"random"`` start states are drawn from :attr:`np_random`, which
    ``reset(seed=...)`` seeds too.
    """

    metadata: dict[str, Any] = {
        "autoreset_mode": AutoresetMode.NEXT_STEP,
        "render_modes": ["rgb_array"],
        "render_fps": FRAME_RATE / 4,
    }

    def __init__(
        self,
        rom_path: str | os.PathLike[str] | None = None,
        num_envs: int = 8,
        *,
        states: StatesSource | None = None,
        start_state: StateChoice | Sequence[StateChoice] = None,
        action_set: ActionSetChoice = "simple",
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        max_episode_steps: int | None = None,
        end_on_life_loss: bool = False,
        episodic_life: bool = False,
        render_mode: str | None = None,
        copy: bool = True,
        extra_info: Sequence[str | int] = (),
        seed: int | None = None,
        frame_skip: int = 4,
        grayscale: bool = True,
        frame_stack: int = 4,
        terminate_on_flag: bool = True,
        crop_top: int = 0,
        crop_bottom: int = 0,
        crop_left: int = 0,
        crop_right: int = 0,
        crop_mode: str = "remove",
        crop_fill: int = 0,
        resize_width: int = 84,
        resize_height: int = 84,
        resize_algorithm: str = "area",
        frame_maxpool: bool = False,
        noop_reset_max: int = 0,
        sticky_action_prob: float = 0.0,
        num_threads: int | None = None,
        observations: bool = True,
        obs_type: str | None = None,
        progress_info: bool = False,
        end_on_level_end: bool = False,
        batch_size: int | None = None,
    ) -> None:
        arguments = check_arguments(
            rom_path,
            num_envs,
            states=states,
            start_state=start_state,
            action_set=action_set,
            autoreset_mode=autoreset_mode,
            max_episode_steps=max_episode_steps,
            end_on_life_loss=end_on_life_loss,
            episodic_life=episodic_life,
            render_mode=render_mode,
            copy=copy,
            extra_info=extra_info,
            seed=seed,
            frame_skip=frame_skip,
            grayscale=grayscale,
            frame_stack=frame_stack,
            terminate_on_flag=terminate_on_flag,
            crop_top=crop_top,
            crop_bottom=crop_bottom,
            crop_left=crop_left,
            crop_right=crop_right,
            crop_mode=crop_mode,
            crop_fill=crop_fill,
            resize_width=resize_width,
            resize_height=resize_height,
            resize_algorithm=resize_algorithm,
            frame_maxpool=frame_maxpool,
            noop_reset_max=noop_reset_max,
            sticky_action_prob=sticky_action_prob,
            num_threads=num_threads,
            observations=observations,
            obs_type=obs_type,
            progress_info=progress_info,
            end_on_level_end=end_on_level_end,
            batch_size=batch_size,
        )
        game, observe, rules, running = arguments.game, arguments.observation, arguments.episodes, arguments.running
        self._action_table = game.action_table
        self.autoreset_mode = rules.autoreset_mode
        self._extra_layout = observe.extra_layout
        self._engine = open_engine(game.rom_source, game.rom_path, running.num_envs, **arguments.engine_arguments())
        engine = self._engine
        n = engine.num_envs
        self.num_envs = n
        self.render_mode = running.render_mode
        self.copy = running.copy
        self.observations = observe.observations
        # Each lane's episode state and the rules that end episodes, for every way of stepping.
        self._book = EpisodeBook(
            n,
            end_on_life_loss=rules.end_on_life_loss,
            episodic_life=rules.episodic_life,
            end_on_level_end=rules.end_on_level_end,
            progress_info=observe.progress_info,
            max_episode_steps=rules.max_episode_steps,
        )
        # A step, reset or restore whose bookkeeping was cut short (Ctrl-C) until _recover() catches up.
        self._journal: tuple[Any, ...] | None = None
        self._guard = threading.RLock()  # held by the one thread inside a public method
        self.metadata = dict(type(self).metadata)
        self.metadata["autoreset_mode"] = self.autoreset_mode
        self.metadata["render_fps"] = FRAME_RATE / engine.frame_skip

        self._starts = StartStates(engine.state_catalog, n)
        if not self._starts.names and not np.any(self._action_table & START):
            warnings.warn(
                "without start states every lane starts at power-on, on the title screen, and no action of this "
                "action set presses Start, so no game will begin (no reward, no episode end): pass states=... "
                "(or set TANUVEX_TURBO_STATES), or an action set with Start such as action_set='full_game'",
                UserWarning,
                stacklevel=2,
            )
        self._raw_actions = len(self._action_table) == 256 and bool(np.all(self._action_table == np.arange(256)))

        obs_shape = engine.obs_shape()
        self.single_observation_space = spaces.Box(0, 255, obs_shape[1:], np.uint8)
        self.observation_space = batch_space(self.single_observation_space, n)
        self.single_action_space = spaces.Discrete(len(self._action_table))
        self.action_space = batch_space(self.single_action_space, n)
        self._saver = LaneSaver(n, int(np.prod(obs_shape[1:])), observe.fingerprint(engine))

        # Arrays handed to the engine: allocated here, reused by every call.
        self._obs_shape = tuple(obs_shape)
        self._obs = np.zeros(obs_shape, np.uint8)
        self._actions = np.zeros(n, np.uint8)
        self._rewards = np.zeros(n, np.float32)
        self._terminated = np.zeros(n, np.bool_)
        self._truncated = np.zeros(n, np.bool_)
        self._info: dict[str, np.ndarray] = {name: np.zeros(n, dtype) for name, dtype in INFO_FIELDS}
        self._info_args = tuple(self._info.values())
        self._info_names = tuple(self._info)
        self._mask_names = tuple("_" + name for name in self._info) + tuple("_" + e[0] for e in self._extra_layout)
        self._ram = np.zeros(engine.ram_shape(), np.uint8) if self.progress_info else None
        if self.progress_info:
            self._mask_names += ("_level_end", "_dying")
        # The fifteen leading arguments of every engine step, in the engine's order.
        self._step_args: tuple[Any, ...] = (
            self._actions,
            self._obs,
            self._rewards,
            self._terminated,
            self._truncated,
            *self._info_args,
        )
        self._no_seeds: list[int | None] = [None] * n
        self._extra = np.zeros(engine.extra_info_shape(), np.int64)
        self._frames: np.ndarray | None = None

        self._all_lanes = np.ones(n, np.bool_)
        self._reset_done = False
        self._lanes = AsyncLanes(
            self._book,
            self._obs,
            running.batch_size,
            next_step=self.autoreset_mode is AutoresetMode.NEXT_STEP,
            autoreset_name=self.autoreset_mode.name,
            extra_layout=self._extra_layout,
            extra_columns=self._extra.shape[1],
            ram_columns=engine.ram_shape()[1] if self.progress_info else None,
            info_names=self._info_names,
            mask_names=self._mask_names,
        )
        self.batch_size = self._lanes.batch_size
        if game.start_state is not None:
            self._starts.take(self._starts.after(np.ones(n, np.bool_), game.start_state, "start_state"))

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

    # ------------------------------------------------------------------ Gymnasium API

    @_one_caller
    def reset(
        self,
        *,
        seed: int | Sequence[int | None] | None = None,
        options: dict[str, Any] | None = None,
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Resets all lanes, or those of ``options["reset_mask"]``; returns ``(obs, info)``.

        ``info`` masks (``_name`` entries) are true for the lanes that were reset.
        Lanes in flight (asynchronous stepping) are finished first and their
        results dropped. A refused reset changes nothing.
        """
        self._check_open()
        n = self.num_envs
        options = dict(options or {})
        mask = options.pop("reset_mask", None)
        mask = np.ones(n, np.bool_) if mask is None else check_reset_mask(mask, n)
        go_on, seeds, generator, starts = self._starts.reset_choices(seed, options, mask)
        # Everything is checked: from here on the environment changes.
        self._recover()
        self._commit_choices(generator, starts)
        self._lanes.cancel(self._engine)
        self._reset_lanes(mask, [seeds[i] if mask[i] else None for i in range(n)], go_on)
        self._reset_done = True
        return (self._obs.copy() if self.copy else self._obs), self._build_info(mask)

    @_one_caller
    def step(
        self, actions: Any, mask: Any | None = None, env_ids: Any = None
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Advances every lane by one action; returns ``(obs, rewards, terminated, truncated, info)``.

        ``mask`` (``bool``, one per lane; None: every lane) selects the lanes
        that advance: the others run no frame and draw no random number,
        their observation and game values stay, their reward is 0 and the
        step does not count toward their ``max_episode_steps``. A lane whose
        episode ended is still reset as its autoreset mode says.

        The handling of lanes whose episode ended follows ``metadata["autoreset_mode"]``:

        - ``NEXT_STEP``: the step after the one that ended a lane resets it and
          returns its first observation, reward 0 and both flags false.
        - ``SAME_STEP``: the step that ends a lane resets it at once and
          returns the new episode's first observation; the last observation
          and info of the ended episode are in ``info["final_obs"]`` and
          ``info["final_info"]`` (with ``_final_obs`` / ``_final_info`` masks).
        - ``DISABLED``: nothing is reset; stepping again before the ended lanes
          were reset with ``reset(options={"reset_mask": mask})`` raises
          RuntimeError.

        With ``batch_size < num_envs`` it is :meth:`send` of ``actions`` to
        ``env_ids`` followed by :meth:`recv`; ``env_ids`` defaults to every
        lane not in flight: after a reset every lane (``num_envs`` actions),
        after a :meth:`recv` the lanes it returned. Otherwise ``env_ids`` must
        be None.
        """
        self._check_open()
        if self.batch_size < self.num_envs or env_ids is not None:
            if mask is not None:
                raise ValueError("mask cannot be combined with env_ids or an asynchronous batch_size")
            return self._step_async(actions, env_ids)
        if not self._reset_done:
            raise RuntimeError("call reset() before step()")
        lanes = None if mask is None else lane_mask(mask, self.num_envs, "mask")
        self._set_actions(actions)
        self._recover()
        book = self._book
        mode = self.autoreset_mode
        if book.any_needs_reset:
            if mode is AutoresetMode.DISABLED:
                raise RuntimeError(PENDING_RESET_MESSAGE)
            if mode is AutoresetMode.SAME_STEP:
                # Only after an interrupted call: those lanes' episodes ended unseen.
                self._reset_lanes(book.needs_reset.copy(), self._no_seeds)
        obs = self._new_obs()
        self._run_step(lanes, obs)
        info = self._build_info(None)
        if mode is AutoresetMode.SAME_STEP and book.any_needs_reset:
            info = self._reset_same_step(obs)
        return self._step_result(obs, info)

    @_one_caller
    def render(self) -> tuple[np.ndarray, ...] | None:
        """With ``render_mode="rgb_array"``: a tuple of each lane's display frame, ``uint8`` 224 x 240 x 3 (RGB).

        The display frame is the whole visible picture of the console, of the
        last two emulated frames the one with more visible sprites. Returns
        None when ``render_mode`` is None.
        """
        self._check_open()
        if self.render_mode is None:
            return None
        if self._frames is None:
            self._frames = np.zeros(self._engine.rgb_frame_shape(), np.uint8)
        self._engine.rgb_frames_into(self._frames)
        return tuple(self._frames.copy())

    @_one_caller
    def close_extras(self, **kwargs: Any) -> None:
        """Releases the engine and its lanes (lanes in flight are finished and dropped first)."""
        if self._engine is not None:
            self._recover()
            self._lanes.cancel(self._engine)
        for unbind in self.__dict__.pop("_xla_unbinds", ()):
            unbind()  # the handles of xla() are refused from now on
        self._engine = None  # type: ignore[assignment]

    @_one_caller
    def xla(self) -> tuple[Any, Any, Any, Any]:
        """``handle, recv, send, step``: the step as compiled JAX functions (XLA FFI calls on the CPU).

        EnvPool's convention: ``step(handle, actions) -> (handle, (obs,
        reward, terminated, truncated, info))``, usable in ``jax.jit`` and
        ``lax.scan``; the lanes go on from where this environment stands
        (call :meth:`reset` first). Needs JAX (``pip install
        'tanuvex_turbo[jax]'``) and an extension built with it;
        :mod:`tanuvex_turbo.env.xla` describes the handle, the refusals and ``vmap``.
        """
        from tanuvex_turbo.env.xla import xla_interface

        return xla_interface(self)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(num_envs={self.num_envs}, autoreset_mode={self.autoreset_mode.name})"

    # ------------------------------------------------------------------ episode rules

    @property
    def max_episode_steps(self) -> int | None:
        """Steps after which an episode is truncated (None: no limit)."""
        return self._book.max_episode_steps

    @max_episode_steps.setter
    def max_episode_steps(self, value: int | None) -> None:
        self._book.max_episode_steps = episode_limit(value)

    @property
    def end_on_life_loss(self) -> bool:
        return self._book.end_on_life_loss

    @property
    def episodic_life(self) -> bool:
        return self._book.episodic_life

    @property
    def end_on_level_end(self) -> bool:
        return self._book.end_on_level_end

    @property
    def progress_info(self) -> bool:
        return self._book.progress_info

    # ------------------------------------------------------------------ steps

    def _run_step(self, lanes: np.ndarray | None, obs: np.ndarray | None) -> None:
        """One synchronous step of the lanes of ``lanes`` (None: every lane), its episodes booked.

        Under NEXT_STEP a lane whose episode ended comes back freshly reset
        (or, after a lost life under episodic_life, as it stands) and
        unstepped: its reward is 0, both flags false.
        """
        book = self._book
        n = self.num_envs
        started = book.needs_reset.copy() if book.any_needs_reset else None
        stepped = np.ones(n, np.bool_) if lanes is None else lanes.copy()
        if started is not None:
            stepped &= ~started
        # A step cut short (Ctrl-C) is caught up by _recover(); rewards the
        # engine has not written are NaN, so it can tell whether it ran.
        self._rewards.fill(np.nan)
        self._journal = ("step", stepped, started)
        if started is not None:
            restart = started & ~book.life_ended
            if restart.any():
                self._engine.reset_masked_into(self._obs, restart, self._start_indices(restart), self._no_seeds)
            self._engine.info_into(*self._info_args)  # the started lanes' values are those after their reset
        self._engine.step_masked_into(*self._step_args, None if stepped.all() else stepped, obs)  # type: ignore[call-arg]
        self._book_step(stepped, started)

    def _book_step(self, stepped: np.ndarray, started: np.ndarray | None) -> None:
        """Books the episodes of the step the engine ran (journal "step"); clears the journal."""
        self._rewards[~stepped] = 0.0
        outcome = self._book.outcome(
            slice(None), stepped, started, self._terminated, self._truncated, self._info["lives"], self._read_ram()
        )
        self._journal = ("commit", outcome)
        self._book.commit(outcome)
        self._terminated[:] = outcome.terminated
        self._truncated[:] = outcome.truncated
        self._journal = None

    def _recover(self) -> None:
        """Catches up on an engine call whose bookkeeping was cut short (Ctrl-C).

        Every call that reads or changes lanes runs this first. A step the
        engine ran is booked as if nothing had happened; a reset cut short
        leaves its lanes to be reset again; the asynchronous lanes catch up on
        their own calls (:meth:`AsyncLanes.recover`).
        """
        journal = self._journal
        if journal is not None:
            kind = journal[0]
            if kind == "commit":
                self._book.commit(journal[1])
            elif kind == "step":
                stepped, started = journal[1], journal[2]
                ran = not np.isnan(self._rewards[stepped]).any() if stepped.any() else False
                if ran:
                    self._book_step(stepped, started)
                elif started is not None:
                    self._book.needs_reset[started] = True
            elif kind == "reset":
                self._book.needs_reset[journal[1]] = True
            self._journal = None
        if self._lanes.journal is not None:
            self._lanes.recover(self._engine, self.copy, self._full_batch)

    def _new_obs(self) -> np.ndarray | None:
        """The array a step returns its observation in when copying (the engine fills it), else None."""
        return np.empty(self._obs_shape, np.uint8) if self.copy else None

    def _read_ram(self) -> np.ndarray | None:
        """Every lane's work RAM when progress signals are on, else None."""
        if self._ram is None:
            return None
        self._engine.ram_into(self._ram)
        return self._ram

    def _step_result(self, obs: np.ndarray | None, info: dict[str, Any]):
        return (
            self._obs if obs is None else obs,
            self._rewards.copy(),
            self._terminated.copy(),
            self._truncated.copy(),
            info,
        )

    def _set_actions(self, actions: Any) -> None:
        action_bytes(self._action_table, self._raw_actions, actions, self.num_envs, out=self._actions)

    # ------------------------------------------------------------------ resets

    def _reset_lanes(self, mask: np.ndarray, seeds: list[int | None], go_on: bool = True) -> None:
        """Starts a new episode on the lanes of ``mask``: each loads its start state, but with
        ``go_on`` a lane whose episode ended by a lost life (episodic_life) plays on in its game."""
        restart = mask & ~self._book.goes_on(mask) if go_on else mask
        self._journal = ("reset", mask.copy())
        if restart.any():
            self._engine.reset_masked_into(self._obs, restart, self._start_indices(restart), seeds)
        self._begin_episodes(mask)
        self._journal = None

    def _begin_episodes(self, mask: np.ndarray) -> None:
        """Books new episodes on the lanes of ``mask`` from the engine's values after their reset or restore."""
        self._engine.info_into(*self._info_args)
        self._book.start(mask, self._info["lives"], self._read_ram())

    def _commit_choices(self, generator: Any, starts: tuple[np.ndarray, np.ndarray] | None) -> None:
        """Makes a checked reset's choices the environment's: the random generator, the start states."""
        if generator is not None:
            self._np_random, self._np_random_seed = generator
        if starts is not None:
            self._starts.take(starts)

    def _start_indices(self, mask: np.ndarray) -> np.ndarray:
        """Catalog index per lane for a reset of ``mask``; random lanes draw a new one from :attr:`np_random`."""
        return self._starts.for_reset(mask, self._generator)

    def _generator(self) -> np.random.Generator:
        return self.np_random

    # ------------------------------------------------------------------ outputs

    def _build_info(self, mask: np.ndarray | None, always_copy: bool = False) -> dict[str, Any]:
        """The info dict: every game value with its ``_name`` mask (all lanes when ``mask`` is None)."""
        arrays: Sequence[np.ndarray] = self._info_args
        if always_copy or self.copy:
            arrays = [array.copy() for array in arrays]
        info: dict[str, Any] = dict(zip(self._info_names, arrays))
        mask = self._all_lanes if mask is None else mask
        if self.progress_info:
            info.update(self._book.progress_of(slice(None)))
        info.update((name, mask.copy()) for name in self._mask_names)
        layout = self._extra_layout
        if layout:
            self._engine.extra_info_into(self._extra)
            for name, _, offset, count, dtype in layout:
                column = self._extra[:, offset] if count == 1 else self._extra[:, offset : offset + count]
                info[name] = column.astype(dtype)
        return info

    def _check_open(self) -> None:
        if self._engine is None:
            raise RuntimeError("the environment is closed")

    # ------------------------------------------------------------------ asynchronous steps

    @_one_caller
    def send(self, actions: Any, env_ids: Any = None) -> None:
        """Starts the lanes ``env_ids`` with ``actions`` (one per lane) and returns at once.

        ``env_ids`` defaults to the first ``len(actions)`` lanes. The lanes
        run on the engine's worker threads while the caller goes on; their
        results come back through :meth:`recv`. A lane whose episode ended is
        reset instead (its action is ignored) and comes back with its first
        observation, reward 0 and both flags false (``NEXT_STEP``); with
        ``DISABLED`` sending to it raises RuntimeError. A lane still in
        flight cannot be sent again before it was received (RuntimeError);
        nothing changes when a send is refused.
        """
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() or async_reset() before send()")
        lanes = self._lanes
        ids = lanes.send_ids(env_ids, actions)
        sent = action_bytes(self._action_table, self._raw_actions, actions, len(ids))
        self._recover()
        lanes.check_idle(ids)
        starts = self._book.needs_reset[ids]
        if starts.any() and self.autoreset_mode is AutoresetMode.DISABLED:
            raise RuntimeError(PENDING_RESET_MESSAGE)
        lanes.send(self._engine, ids, sent, starts, None, True, self._start_indices)

    @_one_caller
    def recv(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """The first ``batch_size`` lanes to finish: ``(obs, rewards, terminated, truncated, info)``.

        Waits (without holding the interpreter lock) until that many lanes
        sent by :meth:`send` or :meth:`async_reset` have finished. Row ``i``
        of every result belongs to lane ``info["env_id"][i]``; with
        ``batch_size == num_envs`` the rows are in lane order. ``info`` holds
        the game values of those lanes (and their ``_name`` masks, all true).
        With ``copy=False`` the observation is a view of a buffer the
        environment reuses once ``num_envs`` more lanes have finished (a
        fresh array when the batch wraps around the end of that buffer).
        Episodes end by the same rules as in :meth:`step`.
        """
        self._check_open()
        self._recover()
        return self._lanes.recv(self._engine, self.copy, self._full_batch)

    def _full_batch(
        self, rewards: np.ndarray, terminated: np.ndarray, truncated: np.ndarray, values: list[np.ndarray]
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """The result of a receive of every lane, booked, in lane order: as a synchronous step's."""
        self._rewards[:] = rewards
        self._terminated[:] = terminated
        self._truncated[:] = truncated
        for array, value in zip(self._info_args, values):
            array[:] = value
        obs_out = self._obs.copy() if self.copy else None
        info = self._build_info(None)
        if self.autoreset_mode is AutoresetMode.SAME_STEP and self._book.any_needs_reset:
            info = self._reset_same_step(obs_out)
        info["env_id"] = np.arange(self.num_envs, dtype=np.int32)
        return self._step_result(obs_out, info)

    @_one_caller
    def async_reset(self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None):
        """Sends every lane a reset and returns at once; :meth:`recv` then returns their first observations.

        Takes the ``seed`` and ``options`` of :meth:`reset` (``state`` or
        ``states``; every lane is reset, and under ``episodic_life`` a lane
        whose game goes on goes on, as with :meth:`reset`). Lanes still in
        flight are finished first and their results dropped. A refused reset
        changes nothing.
        """
        self._check_open()
        options = dict(options or {})
        if "reset_mask" in options:
            raise ValueError("async_reset() resets every lane: options['reset_mask'] is not accepted")
        go_on, seeds, generator, starts = self._starts.reset_choices(seed, options, self._all_lanes)
        self._recover()
        self._commit_choices(generator, starts)
        self._lanes.cancel(self._engine)
        n = self.num_envs
        ids = np.arange(n, dtype=np.int32)
        self._lanes.send(
            self._engine, ids, np.zeros(n, np.uint8), np.ones(n, np.bool_), seeds, go_on, self._start_indices
        )
        self._reset_done = True

    def _step_async(self, actions: Any, env_ids: Any):
        if not self._reset_done:
            raise RuntimeError("call reset() before step()")
        self._recover()
        ids = self._lanes.step_ids(env_ids, actions)
        self.send(actions, ids)
        return self.recv()

    def _reset_same_step(self, obs: np.ndarray | None) -> dict[str, Any]:
        """SAME_STEP after the lanes' step: resets the ended lanes now; returns the step's info with their finals."""
        ended = self._book.needs_reset.copy()
        lanes = np.flatnonzero(ended)
        final_obs = np.full(self.num_envs, None, dtype=object)
        finals = (self._obs if obs is None else obs)[lanes]  # a copy of the ended lanes' rows
        for row, lane in enumerate(lanes):
            final_obs[lane] = finals[row]
        final_info = self._build_info(ended, always_copy=True)
        self._reset_lanes(ended, self._no_seeds)
        if obs is not None:
            obs[lanes] = self._obs[lanes]
        info = self._build_info(None)
        info["final_obs"] = final_obs
        info["_final_obs"] = ended
        info["final_info"] = final_info
        info["_final_info"] = ended.copy()
        return info

    # ------------------------------------------------------------------ lane clones

    @_one_caller
    def clone_states(self, mask: Any | None = None) -> list[bytes | None]:
        """The portable snapshot bytes of each lane of ``mask`` (all lanes by default), ``None`` for the others.

        A clone holds the lane's whole console, its observation stack, its
        start-state index and its random stream: the engine's portable
        snapshot, zlib-compressed, with a checksum and the fingerprint of this
        environment's observation configuration (:mod:`tanuvex_turbo.game.lane_states`).
        The bytes are portable: they can be stored, or restored by
        :meth:`restore_states` in any lane of any environment of the same
        cartridge with the same observation configuration (frame skip, colour,
        frame stack, max-pool, crop, resize, ``observations``), in this
        process or another. Cloning changes nothing. A lane whose episode
        ended and has not been reset yet (``NEXT_STEP`` or ``DISABLED``
        autoreset) cannot be cloned: RuntimeError.
        """
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() before clone_states()")
        return self._saver.clone(self._engine, self._obs, lane_mask(mask, self.num_envs, "mask"))

    @_one_caller
    def save_states(self, mask: Any | None = None) -> list[SavedLane | None]:
        """Saves the lanes of ``mask`` (all by default) as :class:`~tanuvex_turbo.env.saved_lanes.SavedLane` objects.

        :meth:`restore_states` of this environment puts such a lane back
        without decoding anything; ``SavedLane.to_bytes()`` gives the portable
        form of :meth:`clone_states` for other environments and processes.
        The rules of :meth:`clone_states` apply.
        """
        self._check_open()
        if not self._reset_done:
            raise RuntimeError("call reset() before save_states()")
        return self._saver.save(self._engine, self._obs, lane_mask(mask, self.num_envs, "mask"))

    @_one_caller
    def restore_states(self, states: Sequence[bytes | SavedLane | None]) -> tuple[np.ndarray, dict[str, Any]]:
        """Puts lanes back where they were cloned; returns ``(obs, info)`` like :meth:`reset`.

        ``states`` holds one entry per lane: bytes from :meth:`clone_states`
        (of this or any other environment of the same cartridge and
        observation configuration, any lane), a ``SavedLane`` from :meth:`save_states`
        (restored without decoding when this environment saved it), or
        ``None`` to leave the lane alone. A
        restored lane goes on exactly as the cloned lane would have: same
        observation stack, console and random stream. For the wrapper it starts
        a new episode (``max_episode_steps`` counts from the restore); its
        start state for later resets stays its own. ``info`` masks are
        true for the restored lanes. A damaged blob (checksum), one saved under
        another observation configuration (fingerprint), or a foreign one (the
        engine's message) raises ValueError before any lane changes.

        The engine's own uncompressed snapshot bytes
        (``ZuboLiveSnapshot.to_bytes()``) are accepted too, but they carry
        neither checksum nor fingerprint: only their structure is checked (the
        engine's header, an observation of this environment's length, a console
        that decodes, a start-state index inside the catalog), so a changed
        byte, or a lane of another configuration with the same observation
        size, is restored as given. Checked bytes of the first version (no
        fingerprint) are checked for damage only. :mod:`tanuvex_turbo.game.lane_states`
        lists what each form checks.
        """
        self._check_open()
        n = self.num_envs
        mask, snapshots = self._saver.decode(self._engine, states)
        if not self._reset_done and not mask.all():
            raise RuntimeError("call reset() before restoring only some lanes")
        self._recover()
        self._journal = ("reset", mask.copy())
        self._engine.reset_mixed_into(self._obs, mask, np.full(n, -1, np.int32), [None] * n, snapshots)
        self._begin_episodes(mask)  # a restored lane's lives are the baseline of end_on_life_loss
        self._journal = None
        self._reset_done = True
        return (self._obs.copy() if self.copy else self._obs), self._build_info(mask)


register_env_id()
