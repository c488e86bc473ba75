"""``python -m tanuvex_turbo``: the ``tanuvex-turbo`` command."""

from __future__ import annotations

import sys

from tanuvex_turbo.cli import main

sys.exit(main())
