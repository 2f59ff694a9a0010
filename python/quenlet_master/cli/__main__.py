"""``python -m quenlet_master.cli``: the same as the installed ``quenlet-packages``."""

from quenlet_master.cli import main

raise SystemExit(main())
