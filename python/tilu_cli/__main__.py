"""`python -m tilu_cli ...` runs the `tilu` command."""
from tilu_cli import run

run()
