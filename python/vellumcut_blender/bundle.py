"""Writes the installable add-on zip (`vellumcut blender-addon OUT.zip`)."""
from __future__ import annotations

import json
import os
import sys
import zipfile
from pathlib import Path
from typing import Any

from .backend import ENVIRONMENT_FILE

PACKAGE_DIR = Path(__file__).resolve().parent
# Blender installs a zip by unpacking it into its add-ons folder, so every
# member sits under the add-on's module name.
ROOT = "vellumcut_blender"


def addon_files() -> list[Path]:
    """The add-on's own sources (compiled caches left out)."""
    return sorted(p for p in PACKAGE_DIR.glob("*.py"))


def mesher_options_record(mesher: Any) -> dict[str, Any]:
    """What the add-on's dialog needs of the mesher's options: {"defaults":
    mesher.defaults(), "limits": mesher.limits()} (`mesher` is vellumcut._mesher)."""
    return {"defaults": mesher.defaults(), "limits": mesher.limits()}


def write_addon_zip(out: str | os.PathLike, python: str | None = None) -> Path:
    """Write the add-on zip; `python` (default: this interpreter) is recorded as the
    environment the add-on runs the mesher with until its preferences say otherwise."""
    from vellumcut import __version__, _mesher
    from vellumcut.presets import PRESETS

    out = Path(out)
    if out.suffix.lower() != ".zip":
        raise ValueError(f"the add-on file must end in .zip, got {out.name}")
    out.parent.mkdir(parents=True, exist_ok=True)
    interpreter = os.path.abspath(python or sys.executable)
    if not os.path.isfile(interpreter):
        raise ValueError(f"--python {python}: no such interpreter")
    # The presets' values, and the mesher's defaults and limits, go along for
    # the add-on's dialog (Blender's Python may not import vellumcut).
    environment = {"python": interpreter, "vellumcut": __version__,
                   "python_version": ".".join(map(str, sys.version_info[:3])),
                   "presets": PRESETS, "options": mesher_options_record(_mesher)}
    tmp = out.with_name(out.name + ".part")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for p in addon_files():
            z.write(p, f"{ROOT}/{p.name}")
        z.writestr(f"{ROOT}/{ENVIRONMENT_FILE}", json.dumps(environment, indent=1) + "\n")
    os.replace(tmp, out)
    return out
