"""``python -m mirabund``: the command line."""

from ._cli import main

raise SystemExit(main())
