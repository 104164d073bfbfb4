"""``python -m quorlin_track`` runs the command line (the same as ``quorlin-track``)."""

import sys

from .cli import main

sys.exit(main())
