"""``python -m tanuvex_turbo.bench``, the documented way to run :mod:`tanuvex_turbo.cli.bench`."""

from __future__ import annotations

import sys

from tanuvex_turbo.cli import bench

if __name__ == "__main__":
    sys.exit(bench.main())
sys.modules[__name__] = bench
