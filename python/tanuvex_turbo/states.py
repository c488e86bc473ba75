"""The documented path of :mod:`tanuvex_turbo.game.states`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.game import states

if TYPE_CHECKING:
    from tanuvex_turbo.game.states import *  # noqa: F403

sys.modules[__name__] = states
