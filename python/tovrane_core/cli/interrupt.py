"""Ctrl-C: stop at once, keep what is finished, exit 130."""

from __future__ import annotations

import os
import sys
import threading
from typing import NoReturn

from .options import EXIT_INTERRUPTED

INTERRUPTED = ("Interrupted. Every finished output is kept; run the same command again to go on "
               "where it stopped.")


def interrupted_exit() -> NoReturn:
    print(INTERRUPTED, file=sys.stderr, flush=True)
    sys.stdout.flush()
    busy = [t for t in threading.enumerate()
            if t is not threading.main_thread() and t.is_alive() and not t.daemon]
    if busy:
        # A page reader thread may be inside OCR, which only the main thread can interrupt;
        # waiting for it would not be prompt. Every file we write is complete or absent, so
        # leaving without the interpreter's clean-up loses nothing.
        os._exit(EXIT_INTERRUPTED)
    sys.exit(EXIT_INTERRUPTED)
