"""`python -m tilu_cli ...` runs the `tilu` command."""
from tilu_cli import main

raise SystemExit(main())
