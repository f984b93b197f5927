"""Writes the installable add-on zip (`vellumcut blender-addon OUT.zip`)."""
from __future__ import annotations

import json
import os
import sys
import zipfile
from pathlib import Path

from .backend import ENVIRONMENT_FILE

PACKAGE_DIR = Path(__file__).resolve().parent
# Blender installs a zip by unpacking it into its add-ons folder, so every
# member sits under the add-on's module name.
ROOT = "vellumcut_blender"


def addon_files() -> list[Path]:
    """The add-on's own sources (compiled caches left out)."""
    return sorted(p for p in PACKAGE_DIR.glob("*.py"))


def write_addon_zip(out: str | os.PathLike, python: str | None = None) -> Path:
    """Write the add-on zip; `python` (default: this interpreter) is recorded as the
    environment the add-on runs the mesher with until its preferences say otherwise."""
    from vellumcut import __version__
    from vellumcut.presets import PRESETS

    out = Path(out)
    if out.suffix.lower() != ".zip":
        raise ValueError(f"the add-on file must end in .zip, got {out.name}")
    out.parent.mkdir(parents=True, exist_ok=True)
    interpreter = os.path.abspath(python or sys.executable)
    if not os.path.isfile(interpreter):
        raise ValueError(f"--python {python}: no such interpreter")
    # The presets' values go along, for the add-on's Preset menu to fill in
    # its options (Blender's Python may not import vellumcut).
    environment = {"python": interpreter, "vellumcut": __version__,
                   "python_version": ".".join(map(str, sys.version_info[:3])),
                   "presets": PRESETS}
    tmp = out.with_name(out.name + ".part")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for p in addon_files():
            z.write(p, f"{ROOT}/{p.name}")
        z.writestr(f"{ROOT}/{ENVIRONMENT_FILE}", json.dumps(environment, indent=1) + "\n")
    os.replace(tmp, out)
    return out
