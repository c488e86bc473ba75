"""One thread at a time inside an environment: the others are refused at once, not made to wait."""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, TypeVar

__all__ = ["BUSY_MESSAGE", "one_caller"]

#: The refusal of a call made while another thread is inside the same environment.
BUSY_MESSAGE = "another thread is using this environment; give each thread its own environment"

_Result = TypeVar("_Result")


def one_caller(method: Callable[..., _Result]) -> Callable[..., _Result]:
    """Refuses a call while another thread is inside a public method (or the engine) of the same environment.

    The environment's ``_enter()`` runs first and ``_hand_over(result)``
    last, after the lock is given back: a result is handed over (a receive's
    batch counts as delivered) only on the line that returns it.
    """

    @functools.wraps(method)
    def guarded(self: Any, *args: Any, **kwargs: Any) -> _Result:
        if not self._guard.acquire(blocking=False):
            raise RuntimeError(BUSY_MESSAGE)
        try:
            self._enter()
            result = method(self, *args, **kwargs)
        except RuntimeError as error:
            if str(error) in ("Already borrowed", "Already mutably borrowed"):  # a raw engine call of another thread
                raise RuntimeError(BUSY_MESSAGE) from None
            raise
        finally:
            self._guard.release()
        return self._hand_over(result)

    return guarded
