"""The teacher's command line: grade a class, write a gradebook and a report, estimate the cost.

    tovrane paper PAPER.pdf --subject S --language L --class-level C [--pages 1,3] [-o PAPER_JSON]
    tovrane grade PAPER_JSON SHEET.pdf... | SHEETS_DIR... -o OUT_DIR [--force]
    tovrane estimate PAPER.pdf|PAPER_JSON [SHEET.pdf|DIR...]
    tovrane demo [-o DIR]

Exit status: 0 when everything was graded, 1 when some answersheets (or questions) failed,
2 for usage errors, found before any work, 130 on Ctrl-C.
"""

from __future__ import annotations

import logging
import os
import sys
from typing import NoReturn, Optional, Sequence

import click

from tovrane_core import __version__

from .options import EXIT_INTERRUPTED, EXIT_OK
from .interrupt import interrupted_exit


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100})
@click.version_option(__version__, prog_name="tovrane", message="%(prog)s %(version)s")
def cli() -> None:
    """Grades school examinations with a large language model.

    Start with `tovrane demo`: it needs no key and no network.
    """


def _register() -> None:
    from .demo import demo_command
    from .estimate import estimate_command
    from .grade import grade_command
    from .paper import paper_command

    for command in (paper_command, grade_command, estimate_command, demo_command):
        cli.add_command(command)


_register()


def main(argv: Optional[Sequence[str]] = None) -> None:
    """Console script entry: runs one command and exits with its status.

    Given `argv` (a caller inside a Python process), it ends with SystemExit as usual.
    """
    try:
        status = cli.main(args=list(argv) if argv is not None else None, prog_name="tovrane",
                          standalone_mode=False)
    except click.exceptions.Abort:
        # Click turns Ctrl-C into Abort.
        interrupted_exit()
    except KeyboardInterrupt:
        interrupted_exit()
    except click.ClickException as err:
        err.show()
        sys.exit(err.exit_code)
    status = status if isinstance(status, int) else EXIT_OK
    if argv is None:
        leave(status)
    sys.exit(status)


def leave(status: int) -> NoReturn:
    """Ends the process once everything is written, without tearing the interpreter down.

    Unloading the model client's modules takes about a second after the work is done;
    every file of the run is complete and closed by now, so only the streams and the usage
    log need flushing.
    """
    sys.stdout.flush()
    sys.stderr.flush()
    logging.shutdown()
    os._exit(status)


__all__ = ["cli", "main", "EXIT_INTERRUPTED"]
