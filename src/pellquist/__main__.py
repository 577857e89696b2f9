"""``python -m pellquist``: the same as the ``pellquist`` command."""

import sys

from .cli import main

sys.exit(main())
