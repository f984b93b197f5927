"""How the add-on reaches the mesher: no `bpy` here, so it is tested outside Blender.

Two ways, chosen in the add-on's preferences:

* child process (the default): the interpreter of an environment that holds
  `vellumcut` runs `python -m vellumcut_blender.meshing` on a request file.
  Any Python version works, and a native fault cannot take Blender down.
* in-process: that environment's site-packages join Blender's `sys.path`
  and the mesher is imported. Faster for many small images, but only when
  the environment's Python has Blender's major.minor version (native
  extensions are built for one version), and `vellumcut`'s numpy and Pillow
  then live in Blender's process.

The environment is named by a path: a Python interpreter, a virtual
environment (or any prefix with bin/python), or a `vellumcut` console
script (its interpreter is read from the first line). Left empty, the
interpreter recorded by `vellumcut blender-addon` in environment.json is
used, then a `vellumcut` command on PATH, then Blender's own Python.
"""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

from . import meshing

ENVIRONMENT_FILE = "environment.json"
# A hung child would freeze Blender's interface; no sprite takes this long.
TIMEOUT_S = 600.0

SETUP_HINT = ("set the path of a Python environment that has vellumcut (or of its `vellumcut` "
              "command) in Edit > Preferences > Add-ons > vellumcut")


class MesherNotFound(RuntimeError):
    """No usable vellumcut environment; the message says what to set."""


class MesherFailed(RuntimeError):
    """The mesher refused the image or its process failed; the message is for the user."""


@dataclass(frozen=True)
class Mesher:
    python: str | None  # interpreter of the environment; None: Blender's own Python
    origin: str  # where it was found, for messages


def recorded_presets(addon_dir: str | os.PathLike) -> dict[str, dict[str, Any]]:
    """The mesher's presets recorded beside the add-on (name -> options), or {}."""
    try:
        with open(Path(addon_dir) / ENVIRONMENT_FILE, encoding="utf-8") as f:
            presets = json.load(f)["presets"]
    except (OSError, ValueError, KeyError, TypeError):
        return {}
    return presets if isinstance(presets, dict) else {}


class OptionsMissing(RuntimeError):
    """The add-on was not written by `vellumcut blender-addon`; the message says what to do."""


def mesher_option_rules(addon_dir: str | os.PathLike) -> dict[str, Any]:
    """The mesher's option defaults and limits, {"defaults": ..., "limits": ...}
    as `vellumcut._mesher` gives them: recorded beside the add-on by
    `vellumcut blender-addon`, else read from vellumcut when Blender's Python
    can import it. Raises OptionsMissing when neither is there."""
    try:
        with open(Path(addon_dir) / ENVIRONMENT_FILE, encoding="utf-8") as f:
            options = json.load(f)["options"]
        if isinstance(options, dict) and {"defaults", "limits"} <= set(options):
            return options
    except (OSError, ValueError, KeyError, TypeError):
        pass
    import importlib

    try:
        mesher = importlib.import_module("vellumcut._mesher")
    except ImportError:
        raise OptionsMissing("the add-on does not know the mesher's options: install the zip written "
                             "by `vellumcut blender-addon OUT.zip`") from None
    return {"defaults": mesher.defaults(), "limits": mesher.limits()}


def recorded_python(addon_dir: str | os.PathLike) -> str | None:
    """The interpreter `vellumcut blender-addon` recorded beside the add-on, if any."""
    try:
        with open(Path(addon_dir) / ENVIRONMENT_FILE, encoding="utf-8") as f:
            return str(json.load(f)["python"])
    except (OSError, ValueError, KeyError, TypeError):
        return None


def script_interpreter(path: str | os.PathLike) -> str | None:
    """The interpreter named on a console script's `#!` line, if it names a Python."""
    try:
        with open(path, "rb") as f:
            first = f.readline(4096)
    except OSError:
        return None
    if not first.startswith(b"#!"):
        return None
    words = first[2:].decode("utf-8", "replace").split()
    if not words:
        return None
    if os.path.basename(words[0]) == "env" and len(words) > 1:  # #!/usr/bin/env python3
        return shutil.which(words[1])
    return words[0] if "python" in os.path.basename(words[0]) else None


def interpreter_for(path: str | os.PathLike) -> str:
    """The Python interpreter that a preference path stands for; raises
    MesherNotFound with a reason when it stands for none."""
    p = Path(os.path.expanduser(os.fspath(path)))
    if p.is_dir():
        for cand in (p / "bin" / "python3", p / "bin" / "python", p / "Scripts" / "python.exe",
                     p / "python.exe"):
            if cand.is_file():
                return str(cand)
        raise MesherNotFound(f"no Python interpreter in the folder {p} (looked for bin/python3)")
    if not p.is_file():
        raise MesherNotFound(f"vellumcut not found: {p} does not exist; {SETUP_HINT}")
    if "python" in p.name.lower():
        return str(p)
    interp = script_interpreter(p)
    if interp is None:
        raise MesherNotFound(f"{p} is neither a Python interpreter nor a vellumcut command "
                             f"(no Python on its first line)")
    return interp


def find_mesher(setting: str, addon_dir: str | os.PathLike) -> Mesher:
    """The environment to use: the preference when set, else the automatic choice."""
    if setting.strip():
        return Mesher(interpreter_for(setting.strip()), "the add-on's preferences")
    recorded = recorded_python(addon_dir)
    if recorded and Path(recorded).is_file():
        return Mesher(recorded, f"the environment that wrote the add-on ({recorded})")
    command = shutil.which("vellumcut")
    if command:
        interp = script_interpreter(command)
        if interp:
            return Mesher(interp, f"the vellumcut command on PATH ({command})")
    if _importable_here():
        return Mesher(None, "Blender's own Python")
    where = f" (the recorded {recorded} is gone)" if recorded else ""
    raise MesherNotFound(f"vellumcut not found{where}: {SETUP_HINT}")


def _importable_here() -> bool:
    import importlib.util

    return importlib.util.find_spec("vellumcut") is not None


def _tail(text: str, lines: int = 6) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])


def run_child(python: str, request: Mapping[str, Any], timeout: float = TIMEOUT_S) -> dict[str, Any]:
    """Mesh through a child process of `python`; returns the result or raises MesherFailed."""
    with tempfile.TemporaryDirectory(prefix="vellumcut-blender-") as tmp:
        req, res = os.path.join(tmp, "request.json"), os.path.join(tmp, "result.json")
        with open(req, "w", encoding="utf-8") as f:
            json.dump(dict(request), f)
        env = dict(os.environ)
        # Blender sets PYTHONHOME/PYTHONPATH for its own interpreter; they
        # would point the environment's Python at the wrong standard library.
        for key in ("PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP"):
            env.pop(key, None)
        try:
            proc = subprocess.run([python, "-m", "vellumcut_blender.meshing", req, res],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  errors="replace", env=env, timeout=timeout)
        except FileNotFoundError:
            raise MesherNotFound(f"vellumcut not found: the interpreter {python} does not exist; "
                                 f"{SETUP_HINT}") from None
        except PermissionError:
            raise MesherNotFound(f"the interpreter {python} cannot be run; {SETUP_HINT}") from None
        except subprocess.TimeoutExpired:
            raise MesherFailed(f"the mesher took longer than {timeout:.0f} s and was stopped") from None
        if os.path.exists(res):
            try:
                with open(res, encoding="utf-8") as f:
                    result = json.load(f)
            except ValueError as exc:
                raise MesherFailed(f"the mesher wrote an unreadable result ({exc})") from None
            if "error" in result:
                raise MesherFailed(result["error"])
            return result
        err = proc.stderr
        if "No module named vellumcut_blender" in err or "No module named 'vellumcut" in err:
            raise MesherNotFound(f"vellumcut not found in the environment of {python}; install it "
                                 f"there (pip install vellumcut) or {SETUP_HINT}")
        raise MesherFailed(f"the mesher process ended with status {proc.returncode}"
                           + (f": {_tail(err)}" if err.strip() else ""))


_SITE_PATHS: dict[str, list[str]] = {}


def site_paths(python: str) -> list[str]:
    """The site-packages folders of another interpreter's environment, checked to
    be of this interpreter's major.minor version (asked once per interpreter)."""
    if python in _SITE_PATHS:
        return _SITE_PATHS[python]
    code = ("import json, sys, sysconfig; print(json.dumps({'version': list(sys.version_info[:2]), "
            "'paths': [p for p in sys.path if p and ('site-packages' in p or 'dist-packages' in p)]}))")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONHOME", "PYTHONPATH")}
    try:
        out = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env,
                             timeout=60, check=True).stdout
    except (OSError, subprocess.SubprocessError) as exc:
        raise MesherNotFound(f"cannot ask {python} for its paths ({exc}); {SETUP_HINT}") from None
    info = json.loads(out.strip().splitlines()[-1])
    have = tuple(info["version"])
    if have != tuple(sys.version_info[:2]):
        raise MesherNotFound(
            f"in-process meshing needs an environment of Python {sys.version_info[0]}."
            f"{sys.version_info[1]} (Blender's), but {python} is Python {have[0]}.{have[1]}; "
            f"use the child-process method instead")
    _SITE_PATHS[python] = [str(p) for p in info["paths"]]
    return _SITE_PATHS[python]


def run_in_process(python: str | None, request: Mapping[str, Any]) -> dict[str, Any]:
    """Mesh inside this process, first putting `python`'s environment on sys.path."""
    if python is not None:
        for p in site_paths(python):
            if p not in sys.path:
                sys.path.append(p)  # appended: Blender's own modules keep priority
    had_mp_main = "__mp_main__" in sys.modules
    try:
        import vellumcut  # noqa: F401
    except ImportError as exc:
        raise MesherNotFound(f"vellumcut cannot be imported in Blender's Python ({exc}); "
                             f"{SETUP_HINT}") from None
    finally:
        # vellumcut's batches import multiprocessing, which keeps the current
        # __main__ as sys.modules["__mp_main__"]. Under `blender --python
        # SCRIPT` that is the script's temporary module, which Blender frees
        # while the entry still points at it, and Blender 3.4 then crashes on
        # exit when it walks sys.modules. Nothing here starts processes by
        # spawning, so the alias is not needed.
        if not had_mp_main:
            sys.modules.pop("__mp_main__", None)
    result = meshing.run_request(request)
    if "error" in result:
        raise MesherFailed(result["error"])
    return result


def mesh_image(mesher: Mesher, image: str, options: Mapping[str, Any],
               in_process: bool = False) -> dict[str, Any]:
    """Mesh one image with `mesher`; raises MesherNotFound or MesherFailed."""
    request = {"protocol": meshing.PROTOCOL, "image": os.path.abspath(image), "options": dict(options)}
    if in_process or mesher.python is None:
        return run_in_process(mesher.python, request)
    return run_child(mesher.python, request)
