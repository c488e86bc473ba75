"""The documented path of :mod:`tanuvex_turbo.explore.replay`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.explore import replay

if TYPE_CHECKING:
    from tanuvex_turbo.explore.replay import *  # noqa: F403

sys.modules[__name__] = replay
