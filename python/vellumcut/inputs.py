"""What the command line's INPUT arguments name, and where each output goes.

Every input file gets a path relative to a root: a folder argument is the
root of what it holds, a glob pattern's root is the folder before its first
wildcard, a file argument's root is its own folder. Outputs mirror those
relative paths under `--out`, so `art/` with `-r` gives `out/chars/hero.json`
for `art/chars/hero.png`, whatever else is in the batch.
"""
from __future__ import annotations

import glob
import os
import stat
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable

IMAGE_SUFFIXES = (".png", ".webp", ".tif", ".tiff", ".bmp")


@dataclass
class Input:
    path: str  # as found (shown in messages)
    rel: str  # output stem relative to --out, "/"-separated


@dataclass
class Expansion:
    inputs: list[Input] = field(default_factory=list)
    failures: list[tuple[str, str]] = field(default_factory=list)  # (argument, message)
    warnings: list[tuple[str, str]] = field(default_factory=list)  # (path, message)


def _kind(mode: int) -> str:
    if stat.S_ISFIFO(mode):
        return "a FIFO (named pipe)"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def _is_image(name: str) -> bool:
    return name.lower().endswith(IMAGE_SUFFIXES)


def _stem(rel: str) -> str:
    p = Path(rel)
    return p.with_suffix("").as_posix() if p.suffix else p.as_posix()


def _glob_root(pattern: str) -> str:
    """The folder part of `pattern` before its first wildcard."""
    parts = Path(pattern).parts
    fixed = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        fixed.append(part)
    return str(Path(*fixed)) if fixed else "."


def expand(items: Iterable[str], recursive: bool = False,
           exclude: Iterable[str] = ()) -> Expansion:
    """Files, folders (recursively with `recursive`) and glob patterns, each
    file once, in the order given (folders sorted). Folders listed in
    `exclude` (the output folder) are never entered. Symbolic-link loops,
    FIFOs, sockets and devices are skipped with a warning; an argument that
    names nothing is a failure."""
    ex = Expansion()
    seen: set[str] = set()
    excluded = set()
    prefixes = tuple(os.path.join(os.path.abspath(d), "") for d in exclude)
    for d in exclude:
        try:
            st = os.stat(d)
            excluded.add((st.st_dev, st.st_ino))
        except OSError:
            pass

    def add(path: str, root: str, named: bool = False) -> None:
        if not named and os.path.abspath(path).startswith(prefixes):
            return  # a glob reaching into the output folder: its files are outputs
        # By the file itself: links (or a glob running round a link loop)
        # reaching it again add nothing.
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            ex.inputs.append(Input(path, _stem(os.path.relpath(path, root))))

    for item in items:
        if os.path.isdir(item):
            if not _walk_folder(item, recursive, excluded, ex, add):
                ex.failures.append((item, _empty_folder_message(item, recursive)))
        elif os.path.lexists(item):
            try:
                st = os.stat(item)
            except OSError as exc:
                what = "broken symbolic link" if os.path.islink(item) else (exc.strerror or str(exc))
                ex.failures.append((item, f"cannot open: {what}"))
                continue
            if stat.S_ISREG(st.st_mode):
                add(item, os.path.dirname(item) or ".", named=True)
            else:
                ex.warnings.append((item, f"{_kind(st.st_mode)}; skipped"))
        elif glob.has_magic(item):
            root = _glob_root(item)
            # Shallowest first: where ** runs round a link loop, a file is
            # taken (and a FIFO reported) at its shortest path.
            found = sorted(glob.glob(item, recursive=True), key=lambda p: (p.count(os.sep), p))
            files = 0
            reported: set[str] = set()
            for p in found:
                try:
                    st = os.stat(p)
                except OSError:
                    ex.warnings.append((p, "broken symbolic link; skipped"))
                    continue
                if not stat.S_ISREG(st.st_mode) and not stat.S_ISDIR(st.st_mode):
                    if os.path.realpath(p) in reported:
                        continue
                    reported.add(os.path.realpath(p))
                if stat.S_ISREG(st.st_mode):
                    add(p, root)
                    files += 1
                elif stat.S_ISDIR(st.st_mode):
                    if recursive:  # 'art/*' -r: the folders it matches, under the pattern's root
                        files += _walk_folder(p, True, excluded, ex, add, rel_root=root)
                else:
                    ex.warnings.append((p, f"{_kind(st.st_mode)}; skipped"))
            if not files:
                ex.failures.append((item, "the pattern matches no file; check it, and quote it "
                                          "so that the shell leaves ** to vellumcut"))
        else:
            ex.failures.append((item, "no such file or folder" + _near_miss(item)))
    return ex


def _near_miss(item: str) -> str:
    import difflib

    folder = os.path.dirname(item) or "."
    try:
        names = os.listdir(folder)
    except OSError:
        return ""
    close = difflib.get_close_matches(os.path.basename(item), names, n=1, cutoff=0.75)
    return f" (did you mean {os.path.join(os.path.dirname(item), close[0])}?)" if close else ""


def _empty_folder_message(folder: str, recursive: bool) -> str:
    exts = ", ".join(IMAGE_SUFFIXES)
    if recursive:
        return f"the folder and its subfolders hold no image file ({exts})"
    try:
        with os.scandir(folder) as found:  # closed even when any() stops early
            has_sub = any(e.is_dir() for e in found)
    except OSError:
        has_sub = False
    if has_sub:
        return (f"the folder holds no image file ({exts}) itself; add -r to mesh the images "
                "in its subfolders")
    return f"the folder holds no image file ({exts})"


def _walk_folder(root: str, recursive: bool, excluded: set, ex: Expansion, add,
                 rel_root: str | None = None) -> int:
    """Depth-first, names sorted; follows links to folders unless they lead
    back into a folder already being walked (a loop) or walked before.
    Returns the number of image files found."""
    found = 0
    st = os.stat(root)
    walked: dict[tuple[int, int], str] = {(st.st_dev, st.st_ino): root}
    stack = [(root, [(st.st_dev, st.st_ino)])]
    while stack:
        folder, ancestors = stack.pop()
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError as exc:
            ex.warnings.append((folder, f"cannot read the folder ({exc.strerror}); skipped"))
            continue
        subfolders = []
        for e in entries:
            try:
                est = os.stat(e.path)
            except OSError:
                if e.is_symlink():
                    ex.warnings.append((e.path, "broken symbolic link; skipped"))
                continue
            if stat.S_ISDIR(est.st_mode):
                if not recursive:
                    continue
                key = (est.st_dev, est.st_ino)
                if key in excluded:
                    continue
                if key in ancestors:
                    ex.warnings.append((e.path, f"symbolic link loop back to {walked[key]}; skipped"))
                elif key in walked:
                    ex.warnings.append((e.path, f"links to {walked[key]}, already walked; skipped"))
                else:
                    walked[key] = e.path
                    subfolders.append((e.path, ancestors + [key]))
            elif not _is_image(e.name):
                continue
            elif stat.S_ISREG(est.st_mode):
                add(e.path, rel_root or root)
                found += 1
            else:
                ex.warnings.append((e.path, f"{_kind(est.st_mode)}; skipped"))
        stack.extend(reversed(subfolders))
    return found
