"""The record of finished work in an output folder, for incremental batches.

`OUT/.vellumcut-manifest.json` holds one entry per output stem: the SHA-256
of the input's bytes, a key of everything else that decides the outputs
(mode, mesher parameters, format, export options, previews, the vellumcut
version), the files written and, with previews, the figures the overview
page shows (`overview.figures`). An input is skipped when all three match
and every recorded output still exists. Failed and refused files are never
recorded, so they are tried again on the next run.
"""
from __future__ import annotations

import hashlib
import json
import os
import tempfile
import time
from pathlib import Path
from typing import Any

NAME = ".vellumcut-manifest.json"
FORMAT = 1


def file_digest(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest() if hasattr(hashlib, "file_digest") \
            else hashlib.sha256(f.read()).hexdigest()


def options_key(settings: dict[str, Any], version: str) -> str:
    """A stable digest of the settings that decide the outputs, and the version."""
    text = json.dumps({"settings": settings, "version": version}, sort_keys=True, default=str)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()[:32]


class Manifest:
    def __init__(self, out_dir: str | os.PathLike) -> None:
        self.out_dir = Path(out_dir)
        self.path = self.out_dir / NAME
        self.entries: dict[str, dict[str, Any]] = {}
        self.problem = ""  # why an existing manifest was not used
        self._dirty = False
        self._saved = time.monotonic()
        try:
            doc = json.loads(self.path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return
        except (OSError, ValueError) as exc:
            self.problem = f"unreadable ({type(exc).__name__}); every input is meshed again"
            return
        if isinstance(doc, dict) and doc.get("format") == FORMAT and isinstance(doc.get("entries"), dict):
            self.entries = doc["entries"]
        else:
            self.problem = "written by another version of its format; every input is meshed again"

    def unchanged(self, stem: str, digest: str, key: str) -> bool:
        e = self.entries.get(stem)
        if not e or e.get("sha256") != digest or e.get("options") != key:
            return False
        return all((self.out_dir / rel).is_file() for rel in e.get("outputs", ()))

    def record(self, stem: str, source: str, digest: str, key: str, version: str,
               outputs: list[str], figures: dict[str, Any] | None = None) -> None:
        """Record a finished input; `figures` (previews' figures) are kept for
        the overview page of a later run that skips it."""
        rel = [os.path.relpath(o, self.out_dir).replace(os.sep, "/") for o in outputs]
        self.entries[stem] = {"source": source, "sha256": digest, "options": key,
                              "version": version, "outputs": rel}
        if figures:
            self.entries[stem]["figures"] = figures
        self._dirty = True
        # A long batch that is interrupted keeps most of what it did.
        if time.monotonic() - self._saved > 30:
            self.save()

    def save(self) -> None:
        if not self._dirty:
            return
        doc = {"generator": "vellumcut", "format": FORMAT, "entries": self.entries}
        fd, tmp = tempfile.mkstemp(prefix=".manifest-", dir=self.out_dir)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(doc, f, ensure_ascii=False, separators=(",", ":"))
            os.replace(tmp, self.path)
        except BaseException:
            os.unlink(tmp)
            raise
        self._dirty = False
        self._saved = time.monotonic()
