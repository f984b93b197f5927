"""The command line run in this process, as a user would run the console
script: `vellumcut.cli.main` with the arguments as strings, its output
captured (argparse's own refusals included), and the result shaped like
`subprocess.run`'s, so tests read the same either way."""
from __future__ import annotations

import contextlib
import io
import os
import subprocess
from typing import Iterator


@contextlib.contextmanager
def _cwd(path) -> Iterator[None]:
    if path is None:
        yield
        return
    before = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(before)


def run_cli(*argv, cwd=None) -> subprocess.CompletedProcess:
    from vellumcut.cli import main

    args = [str(a) for a in argv]
    out, err = io.StringIO(), io.StringIO()
    with _cwd(cwd), contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            rc = main(args, out, err)
        except SystemExit as exc:  # argparse's usage errors and --help
            rc = exc.code if isinstance(exc.code, int) else 1
    return subprocess.CompletedProcess(["vellumcut", *args], rc, out.getvalue(), err.getvalue())
