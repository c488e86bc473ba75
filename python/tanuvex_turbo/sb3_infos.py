"""The per-lane infos of :class:`tanuvex_turbo.sb3.TurboSB3VecEnv`, kept apart from Stable-Baselines3.

SB3's ``VecEnv`` reports one info dict per lane; for a lane whose episode
ended in the step, that dict is the ended episode's (with the last
observation under ``"terminal_observation"``), and ``"TimeLimit.truncated"``
says whether the end was the time limit alone. This module needs neither
SB3 nor PyTorch, so the conventions can be checked without them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["lane_dicts", "sb3_step_infos"]


def lane_dicts(info: dict[str, Any], n: int) -> list[dict[str, Any]]:
    """Gymnasium's vector info (arrays with ``_name`` masks) as one dict per lane, for the masked-in lanes."""
    lanes: list[dict[str, Any]] = [{} for _ in range(n)]
    for name, values in info.items():
        if name.startswith("_") or name in ("final_obs", "final_info"):
            continue
        mask = info.get("_" + name)
        values = values.tolist() if isinstance(values, np.ndarray) else values
        for lane in range(n):
            if mask is None or mask[lane]:
                lanes[lane][name] = values[lane]
    return lanes


def sb3_step_infos(
    terminated: np.ndarray, truncated: np.ndarray, info: dict[str, Any], n: int
) -> tuple[np.ndarray, list[dict[str, Any]], dict[int, dict[str, Any]]]:
    """``(dones, infos, new_episode_infos)`` of one ``SAME_STEP`` step of ``n`` lanes.

    ``new_episode_infos`` maps each lane that ended to the info of its new
    episode's first observation (SB3 keeps it in ``reset_infos``).
    """
    dones = terminated | truncated
    infos = lane_dicts(info, n)
    new_episodes: dict[int, dict[str, Any]] = {}
    if dones.any():
        final_infos = lane_dicts(info["final_info"], n)
        for lane in np.flatnonzero(dones).tolist():
            new_episodes[lane] = infos[lane]
            infos[lane] = final_infos[lane]
            infos[lane]["terminal_observation"] = info["final_obs"][lane]
    for i, lane_info in enumerate(infos):
        lane_info["TimeLimit.truncated"] = bool(truncated[i] and not terminated[i])
    return dones, infos, new_episodes
