"""A Stable-Baselines3 vector environment over the batched engine.

:class:`TurboSB3VecEnv` is a ``stable_baselines3.common.vec_env.VecEnv`` whose
sub-environments are the lanes of one :class:`~tanuvex_turbo.TurboVectorEnv`
run in ``SAME_STEP`` autoreset mode, which is SB3's convention: a lane is
reset in the step that ends its episode, and the episode's last observation
is in ``infos[i]["terminal_observation"]``.

Stable-Baselines3 (and with it PyTorch) is an optional extra:
``pip install 'tanuvex_turbo[sb3]'``. Importing :mod:`tanuvex_turbo` never
imports it; this module does.

Example::

    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor
    from tanuvex_turbo.sb3 import TurboSB3VecEnv

    env = VecMonitor(TurboSB3VecEnv(rom_path, num_envs=8, states=states_dir, action_set="right_only"))
    PPO("CnnPolicy", env).learn(100_000)
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

try:
    from stable_baselines3.common.vec_env.base_vec_env import VecEnv, VecEnvIndices, VecEnvStepReturn
except ImportError as error:  # pragma: no cover - exercised only without Stable-Baselines3
    raise ImportError(
        "tanuvex_turbo.sb3 needs Stable-Baselines3 (and PyTorch): pip install 'tanuvex_turbo[sb3]'"
    ) from error

from tanuvex_turbo.env.arguments import parse_autoreset_mode
from tanuvex_turbo.env.vector_env import AutoresetMode, TurboVectorEnv
from tanuvex_turbo.sb3_infos import lane_dicts, sb3_step_infos

__all__ = ["TurboSB3VecEnv"]

# Attributes whose per-lane meaning differs from the vector environment's own.
_PER_LANE_ATTRIBUTES = {"observation_space": "single_observation_space", "action_space": "single_action_space"}


class TurboSB3VecEnv(VecEnv):
    """The lanes of one :class:`TurboVectorEnv` as a Stable-Baselines3 ``VecEnv``.

    Args:
        rom_path: path of the supported cartridge image (default: ``TANUVEX_TURBO_ROM``).
        num_envs: number of lanes.
        **kwargs: any other :class:`TurboVectorEnv` argument (``states``,
            ``start_state``, ``action_set``, ``max_episode_steps``,
            ``render_mode``, ``frame_stack``, ...). ``autoreset_mode`` is always
            ``SAME_STEP``; passing another mode raises ValueError.

    ``step_async`` starts every lane on the engine's worker threads and
    returns at once (the lanes run without the interpreter lock while the
    caller goes on); ``step_wait`` waits for all of them.

    Per lane and step, ``infos[i]`` holds the game values (``x_pos``,
    ``lives``, ... as Python numbers) and ``"TimeLimit.truncated"``; for a lane
    whose episode ended it also holds ``"terminal_observation"``, and its game
    values are those of the episode's last step; the new episode's first
    values are then in ``reset_infos[i]``.

    The engine stacks frames itself (``frame_stack``), so no ``VecFrameStack``
    is needed. The lanes share one environment: ``get_attr`` answers each lane
    with the shared environment's attribute (``observation_space`` and
    ``action_space`` with the single-lane spaces), ``env_method`` calls the
    method once and gives its result for every selected lane, and
    ``set_attr`` must address every lane. :attr:`env` is the underlying
    :class:`TurboVectorEnv` (for ``clone_states`` / ``restore_states`` and the
    engine).
    """

    def __init__(self, rom_path: str | os.PathLike[str] | None = None, num_envs: int = 8, **kwargs: Any):
        mode = kwargs.pop("autoreset_mode", AutoresetMode.SAME_STEP)
        if parse_autoreset_mode(mode) is not AutoresetMode.SAME_STEP:
            raise ValueError(f"TurboSB3VecEnv resets lanes in the step that ends them (SAME_STEP), got {mode!r}")
        self.env = TurboVectorEnv(rom_path, num_envs, autoreset_mode=AutoresetMode.SAME_STEP, **kwargs)
        self._sent = False  # step_async started the lanes; step_wait has not received them yet
        super().__init__(self.env.num_envs, self.env.single_observation_space, self.env.single_action_space)

    # ------------------------------------------------------------------ SB3 API

    def reset(self) -> np.ndarray:
        """Resets every lane with the seeds of :meth:`seed` and the options of ``set_options`` (used once)."""
        seeds = None if all(seed is None for seed in self._seeds) else list(self._seeds)
        obs, info = self.env.reset(seed=seeds, options=self._reset_options_for_env())
        self._sent = False  # lanes a step_async started were finished and dropped by the reset
        self.reset_infos = lane_dicts(info, self.num_envs)
        self._reset_seeds()
        self._reset_options()
        return obs

    def step_async(self, actions: np.ndarray) -> None:
        """Starts every lane with its action on the engine's worker threads and returns at once."""
        self.env.send(actions)
        self._sent = True

    def step_wait(self) -> VecEnvStepReturn:
        """Waits for every lane sent by :meth:`step_async`; the lanes' results in lane order."""
        if not self._sent:
            raise RuntimeError("call step_async() before step_wait()")
        # Cut short (Ctrl-C), the lanes stay sent: the next step_wait() returns them.
        obs, rewards, terminated, truncated, info = self.env.recv()
        self._sent = False
        info.pop("env_id")
        dones, infos, new_episodes = sb3_step_infos(terminated, truncated, info, self.num_envs)
        for lane, lane_info in new_episodes.items():
            self.reset_infos[lane] = lane_info
        return obs, rewards, dones, infos

    def close(self) -> None:
        self.env.close()

    def get_images(self) -> Sequence[np.ndarray | None]:
        if self.render_mode != "rgb_array":
            warnings.warn(f"The render mode is {self.render_mode}, but get_images() needs 'rgb_array'", stacklevel=2)
            return [None] * self.num_envs
        return list(self.env.render() or ())

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        value = getattr(self.env, _PER_LANE_ATTRIBUTES.get(attr_name, attr_name))
        return [value for _ in self._get_indices(indices)]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        if sorted(self._get_indices(indices)) != list(range(self.num_envs)):
            raise ValueError("the lanes share one environment: set_attr must address every lane (indices=None)")
        setattr(self.env, attr_name, value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        lanes = list(self._get_indices(indices))
        result = getattr(self.env, method_name)(*method_args, **method_kwargs)
        return [result for _ in lanes]

    def env_is_wrapped(self, wrapper_class: type, indices: VecEnvIndices = None) -> list[bool]:
        return [False for _ in self._get_indices(indices)]

    # ------------------------------------------------------------------ helpers

    def _reset_options_for_env(self) -> dict[str, Any] | None:
        """SB3's per-lane options as the vector environment's: ``{"state": ...}`` per lane becomes ``states``."""
        if not any(self._options):
            return None
        unknown = {key for options in self._options for key in options} - {"state"}
        if unknown:
            raise ValueError(f"unknown reset options: {', '.join(sorted(unknown))} (per lane, only 'state' is known)")
        return {"states": [options.get("state") for options in self._options]}
