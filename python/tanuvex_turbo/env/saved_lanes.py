"""Saved lanes as objects: restorable at once in their own environment, bytes when asked.

:meth:`TurboVectorEnv.save_states <tanuvex_turbo.env.vector_env.TurboVectorEnv.save_states>`
returns :class:`SavedLane` objects. Each holds the engine's live snapshot of
the lane, so restoring it into the environment that saved it copies the lane
back without decoding anything, as often as wanted. :meth:`SavedLane.to_bytes`
gives the checked, compressed form of :mod:`tanuvex_turbo.game.lane_states`
(made once, on the first call), which any environment of the same
observation configuration restores, in this process or another, and which
pickling uses. In an observation-free environment (``observations=False``) a saved lane
carries one byte of observation besides the console.
"""

from __future__ import annotations

from typing import Any

from tanuvex_turbo.game.lane_states import pack_lane_state

__all__ = ["SavedLane"]


class SavedLane:
    """One saved lane: its live snapshot (for its own environment) and, on demand, its portable bytes."""

    __slots__ = ("_snapshot", "_owner", "_fingerprint", "_bytes")

    def __init__(self, snapshot: Any, owner: Any, fingerprint: bytes) -> None:
        self._snapshot = snapshot
        self._owner = owner
        self._fingerprint = fingerprint  # the observation configuration it was saved under
        self._bytes: bytes | None = None

    def to_bytes(self) -> bytes:
        """The checked, compressed bytes of this lane (what ``clone_states`` returns)."""
        if self._bytes is None:
            self._bytes = pack_lane_state(self._snapshot.to_bytes(), self._fingerprint)
        return self._bytes

    def snapshot_for(self, owner: object) -> Any:
        """The live snapshot when the environment whose token is ``owner`` saved it, else None."""
        return self._snapshot if owner is self._owner else None

    @property
    def nbytes(self) -> int:
        """Memory held: the live snapshot, plus the bytes once made."""
        return int(self._snapshot.nbytes) + (len(self._bytes) if self._bytes is not None else 0)

    def __bytes__(self) -> bytes:
        return self.to_bytes()

    def __reduce__(self) -> tuple[Any, ...]:
        return (bytes, (self.to_bytes(),))

    def __repr__(self) -> str:
        return f"SavedLane(nbytes={self.nbytes})"
