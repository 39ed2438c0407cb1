"""python -m tarvel_admin: the same as the tarvel-admin command."""

from tarvel_admin.cli import main

raise SystemExit(main())
