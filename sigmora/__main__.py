"""``python -m sigmora``: the same as the ``sigmora`` command."""

import sys

from sigmora.cli import main

sys.exit(main())
