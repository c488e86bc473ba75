"""The documented path of :mod:`tanuvex_turbo.game.progress`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.game import progress

if TYPE_CHECKING:
    from tanuvex_turbo.game.progress import *  # noqa: F403

sys.modules[__name__] = progress
