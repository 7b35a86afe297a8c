"""How the example scripts end when a model cannot be used: one line on standard
error naming the model directory and a non-zero exit status, not a traceback.

    with exit_on_failure(model_dir):
        ...  # the script's work on the model

- a malformed model (tilu's PanicException): exit status 1;
- a file that is missing or cannot be read (OSError): exit status 1;
- Ctrl-C (KeyboardInterrupt): exit status 130, as a shell reports a command
  ended by SIGINT. tilu's calls stop at once on Ctrl-C.

The scripts import this file from their own folder, so they run from any
working directory; copy it along with a script.
"""
from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from typing import NoReturn

EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # 128 + SIGINT


def is_panic(error: BaseException) -> bool:
    """Whether `error` is tilu's PanicException, which is not a module attribute
    and derives from BaseException (so `except Exception` misses it)."""
    cls = type(error)
    return cls.__name__ == "PanicException" and cls.__module__ == "tilu"


def _end(message: str, status: int) -> NoReturn:
    print(f"{os.path.basename(sys.argv[0])}: {message}", file=sys.stderr)
    raise SystemExit(status)


@contextlib.contextmanager
def exit_on_failure(model: str) -> Iterator[None]:
    try:
        yield
    except KeyboardInterrupt:
        _end(f"interrupted while working on the model {model}", EXIT_INTERRUPTED)
    except OSError as e:
        _end(f"cannot read the model {model}: {e}", EXIT_FAILED)
    except BaseException as e:
        if not is_panic(e):
            raise
        # tilu has already written where it failed to standard error.
        _end(f"cannot use the model {model}: {e}", EXIT_FAILED)
