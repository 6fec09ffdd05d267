"""``python -m quorlin``: the same as the ``quorlin`` command."""

from quorlin.cli import main

raise SystemExit(main())
