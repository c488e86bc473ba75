"""The documented path of :mod:`tanuvex_turbo.explore.demo_starts`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.explore import demo_starts

if TYPE_CHECKING:
    from tanuvex_turbo.explore.demo_starts import *  # noqa: F403

sys.modules[__name__] = demo_starts
