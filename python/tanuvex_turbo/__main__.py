"""``python -m tanuvex_turbo``: the ``tanuvex-turbo`` command."""

import sys

from tanuvex_turbo.cli import main

sys.exit(main())
