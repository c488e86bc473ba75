"""What the engine reports beside a lane's observation and reward, as the arrays it writes.

:class:`ReportedValues` holds one set of those arrays (the ten game values,
the extra info rows, the progress signals) for every lane, and turns them
into the ``info`` entries of a step: one for the lanes' current values,
another, under ``SAME_STEP``, for the values of the episodes a step ended.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from tanuvex_turbo.game.fields import INFO_FIELDS

__all__ = ["ReportedValues"]


class ReportedValues:
    """The arrays of what the engine reports beside observation and reward: game values, extra info, progress."""

    def __init__(self, n: int, extra_columns: int, progress: bool) -> None:
        self.info: dict[str, np.ndarray] = {name: np.zeros(n, dtype) for name, dtype in INFO_FIELDS}
        self.extra = np.zeros((n, extra_columns), np.int64) if extra_columns else None
        self.progress: tuple[Any, Any] = (np.zeros(n, np.bool_), np.zeros(n, np.bool_)) if progress else (None, None)

    def bind_arguments(self, prefix: str, obs: np.ndarray | None) -> dict[str, Any]:
        """``bind_outputs`` keywords for these arrays (``prefix`` "final_": the ended episodes' values)."""
        out: dict[str, Any] = {f"{prefix}extra_info": self.extra, f"{prefix}level_end": self.progress[0]}
        out[f"{prefix}dying"] = self.progress[1]
        if prefix:
            out.update(final_obs=obs, final_info=tuple(self.info.values()))
        return out

    def names(self, layout: list) -> list[str]:
        progress = ["level_end", "dying"] if self.progress[0] is not None else []
        return list(self.info) + [entry[0] for entry in layout] + progress

    def columns(self, layout: list, extra: np.ndarray | None, progress: tuple) -> dict[str, np.ndarray]:
        """The extra info entries and progress signals of ``extra`` / ``progress`` rows, as fresh arrays."""
        out: dict[str, Any] = {}
        for name, _, offset, count, dtype in layout:
            assert extra is not None
            out[name] = (extra[:, offset] if count == 1 else extra[:, offset : offset + count]).astype(dtype)
        if progress[0] is not None:
            out.update(level_end=progress[0].copy(), dying=progress[1].copy())
        return out

    def info_dict(
        self, layout: list, ended: np.ndarray | None, current: ReportedValues | None, copy: bool = True
    ) -> dict:
        """Every value by name; with ``ended``, these rows for the ended lanes and ``current``'s for the others."""
        if ended is None:
            info: dict[str, Any] = {name: (a.copy() if copy else a) for name, a in self.info.items()}
            info.update(self.columns(layout, self.extra, self.progress))
            return info
        assert current is not None
        mine, now = self.info_dict(layout, None, None), current.info_dict(layout, None, None)
        return {name: np.where(ended.reshape(-1, *[1] * (mine[name].ndim - 1)), mine[name], now[name]) for name in mine}

    def take(self, order: np.ndarray, info: list, extra: np.ndarray | None, progress: tuple) -> None:
        """Rows ``order`` of a receive's arrays into these."""
        for mine, given in zip(self.info.values(), info):
            mine[:] = given[order]
        if self.extra is not None and extra is not None:
            self.extra[:] = extra[order]
        for mine, given in zip(self.progress, progress):
            if mine is not None:
                mine[:] = given[order]

    def final_entries(self, ended: np.ndarray, final_obs: Any, current: ReportedValues, layout: list) -> dict:
        """``SAME_STEP``'s ``final_obs`` and ``final_info`` (with their masks) for the lanes of ``ended``."""
        observations = np.full(len(ended), None, dtype=object)
        for lane in np.flatnonzero(ended):
            observations[lane] = final_obs[lane].copy()
        final_info = self.info_dict(layout, ended, current)
        return {"final_obs": observations, "_final_obs": ended, "final_info": final_info, "_final_info": ended.copy()}
