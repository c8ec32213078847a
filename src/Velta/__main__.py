"""``python -m Velta``: the command-line tool (see Velta.cli)."""

from Velta.cli import main

raise SystemExit(main())
