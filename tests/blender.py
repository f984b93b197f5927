"""Run Blender headless from the tests and read back what a script reports.

    from blender import run_blender
    report = run_blender(blender_path, SCRIPTS / "import_report.py", "a.glb", "b.obj")

The script runs as `blender -b --factory-startup --python SCRIPT -- ARGS` in
a subprocess with a timeout, and reports by printing one line that starts
with `REPORT_PREFIX` followed by JSON (use `report()` from
`blender_scripts/_report.py`, or print it yourself). Blender's own chatter
on stdout is ignored; a script that raises makes Blender exit non-zero
(`--python-exit-code`) and the error is raised here with its output.

The `blender` fixture gives the path of the executable. When Blender is
missing it skips the test with the reason, except when the environment
variable CI is set (to anything but "", "0" or "false"): there the client
tests must run, so a missing Blender fails them.
"""
from __future__ import annotations

import json
import os
import shutil
import subprocess
from pathlib import Path
from typing import Any

import pytest

REPORT_PREFIX = "@@VELLUMCUT-REPORT@@ "
SCRIPTS = Path(__file__).resolve().parent / "blender_scripts"
DEFAULT_TIMEOUT = 600.0


class BlenderError(RuntimeError):
    """Blender failed, timed out or printed no report."""


def find_blender() -> str | None:
    """The executable named by $BLENDER, else `blender` on PATH."""
    named = os.environ.get("BLENDER")
    if named:
        return named if shutil.which(named) else None
    return shutil.which("blender")


def in_ci() -> bool:
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


def run_blender(executable: str, script: str | os.PathLike, *args: str,
                timeout: float = DEFAULT_TIMEOUT) -> Any:
    """Run SCRIPT in a fresh headless Blender and return its decoded report.

    `--factory-startup` keeps the user's preferences and add-ons out, so the
    result does not depend on the machine's Blender set-up.
    """
    cmd = [executable, "-b", "--factory-startup", "--python-exit-code", "3",
           "--python", os.fspath(script), "--", *map(os.fspath, args)]
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env,
                              stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as exc:
        raise BlenderError(f"Blender did not finish {Path(script).name} within {timeout:.0f} s") from exc
    reports = [line[len(REPORT_PREFIX):] for line in proc.stdout.splitlines()
               if line.startswith(REPORT_PREFIX)]
    if proc.returncode != 0 or len(reports) != 1:
        tail = "\n".join((proc.stdout + proc.stderr).splitlines()[-40:])
        raise BlenderError(f"{' '.join(cmd)} exited with {proc.returncode} and "
                           f"{len(reports)} report line(s):\n{tail}")
    return json.loads(reports[0])


def require_blender() -> str:
    """Path of the Blender executable; skips the test (fails it in CI) when there is none."""
    exe = find_blender()
    if exe is None:
        reason = "Blender is not installed (apt-get install blender, or set $BLENDER)"
        if in_ci():
            pytest.fail(f"{reason}; CI is set, so the Blender client tests must run")
        pytest.skip(reason)
    return exe


@pytest.fixture(scope="session")
def blender() -> str:
    """Path of the Blender executable; skips (or fails in CI) when there is none."""
    return require_blender()
