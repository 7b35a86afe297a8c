"""Run by the Python a wheel is tested on: fails unless tilu is imported from
the folder argv[1] (the wheel's installed copy, not a checkout). Instant."""
import os
import sys

import tilu

where = os.path.normcase(os.path.abspath(tilu.__file__))
if not where.startswith(os.path.normcase(os.path.abspath(sys.argv[1])) + os.sep):
    sys.exit(f"tilu imported from {where}")
print("tilu from", tilu.__file__)
