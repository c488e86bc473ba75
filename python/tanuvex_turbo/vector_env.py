"""The documented path of :mod:`tanuvex_turbo.env.vector_env`: importing it gives that module itself."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

from tanuvex_turbo.env import vector_env

if TYPE_CHECKING:
    from tanuvex_turbo.env.vector_env import *  # noqa: F403

sys.modules[__name__] = vector_env
