"""``python -m cadentia.cli``: the command line."""

import sys

from . import main

sys.exit(main())
