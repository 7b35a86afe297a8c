import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pytest  # noqa: E402

from helpers import panic_type  # noqa: E402


@pytest.fixture(scope="session")
def panic_exc():
    """The PanicException type of tilu (obtained by provoking one)."""
    return panic_type()
