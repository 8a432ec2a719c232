"""``python -m quoranth_replay``: the same as the ``quoranth-replay`` command."""

import sys

from .cli import main

sys.exit(main())
