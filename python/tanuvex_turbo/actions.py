"""The documented path of :mod:`tanuvex_turbo.game.actions`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.game import actions

if TYPE_CHECKING:
    from tanuvex_turbo.game.actions import *  # noqa: F403

sys.modules[__name__] = actions
