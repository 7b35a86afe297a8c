import signal
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

# A test run started in the background by a shell without job control (or under
# nohup) inherits SIGINT ignored, and an ignored signal stays ignored across
# exec: the children that the tests stop with SIGINT would never see it.
# A caught signal is reset to its default by exec, so catching it here gives
# every child the default again (and with it Python's KeyboardInterrupt).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
