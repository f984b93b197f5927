"""The `vellumcut` command line (also `python -m vellumcut`)."""
from __future__ import annotations

import argparse
import glob
import textwrap
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence, TextIO

import vellumcut
from vellumcut import export

IMAGE_SUFFIXES = {".png", ".webp", ".tif", ".tiff", ".bmp"}

EPILOG = """\
examples:
  vellumcut earcut hero.png                    mesh one sprite into ./vellumcut-out/hero.json
  vellumcut earcut sprites/ -o meshes --jobs 4 every image in a folder, 4 processes
  vellumcut poisson 'art/**/*.png' --rpx 12 --preview
                                               globs (quoted, ** recurses); SVG/PNG previews
                                               and a quality report beside each mesh
  vellumcut outline hero.png --format godot    outlines as a Godot 4 scene (Polygon2D)
  vellumcut earcut hero.png --format obj --margin 0 --eps 1
  vellumcut mesh sprites/ --padding 1 --interior quality --spacing 12
                                               game-ready meshes: no pixel clipped, no slivers

Coordinates in JSON are mask pixels (x right, y down, margin included, integer
values on pixel centres). UVs: u = (x - m + 0.5) / width, v = (y - m + 0.5) /
height, m = max(margin, 0), v = 0 at the top row. OBJ flips y (and v) for
y-up tools; Godot scenes use image pixels, y down.

exit status: 0 when every input was processed, 1 when any failed, 2 on bad usage.
"""


@dataclass
class Job:
    mode: str
    source: str
    stem: str  # output path without suffix
    params: dict[str, Any]
    fmt: str
    preview: bool


@dataclass
class Outcome:
    source: str
    ok: bool
    message: str = ""
    outputs: list[str] = field(default_factory=list)
    triangles: int = 0


def process(job: Job) -> Outcome:
    """Mesh one file and write its outputs. Never raises: a failure comes back
    as an Outcome with its message, so a batch can go on."""
    try:
        mesh = vellumcut.run(job.mode, job.source, **job.params)
        outputs = []
        target = job.stem + export.FORMATS[job.fmt]
        export.write(mesh, job.fmt, target)
        outputs.append(target)
        if job.preview:
            from vellumcut import preview, quality

            try:
                rgba, opaque = quality.load_mask(job.source, mesh.border)
            except Exception:  # the core read it; an image we cannot decode is drawn without it
                rgba, opaque = None, None
            outputs += [str(p) for p in preview.write_previews(mesh, job.stem, rgba)]
            report = Path(job.stem + ".report.txt")
            report.write_text(quality.format_report(quality.quality(mesh, opaque),
                                                    Path(job.source).name), encoding="utf-8")
            outputs.append(str(report))
        return Outcome(job.source, True, "", outputs, mesh.triangle_count)
    except Exception as exc:  # noqa: BLE001 - reported per file
        return Outcome(job.source, False, f"{type(exc).__name__}: {exc}")


# --- inputs --------------------------------------------------------------------


def expand_inputs(items: Iterable[str]) -> tuple[list[str], list[Outcome]]:
    """Files, folders (their images, not recursive) and glob patterns, in the
    order given, each file once. Inputs that match nothing are failures."""
    files: list[str] = []
    problems: list[Outcome] = []
    seen: set[str] = set()

    def add(p: str) -> None:
        key = os.path.abspath(p)
        if key not in seen:
            seen.add(key)
            files.append(p)

    for item in items:
        if os.path.isdir(item):
            found = sorted(str(p) for p in Path(item).iterdir()
                           if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES)
            if not found:
                problems.append(Outcome(item, False, "folder holds no image files"))
            for p in found:
                add(p)
        elif os.path.exists(item):
            add(item)
        elif glob.has_magic(item):
            found = sorted(p for p in glob.glob(item, recursive=True) if os.path.isfile(p))
            if not found:
                problems.append(Outcome(item, False, "pattern matches no file"))
            for p in found:
                add(p)
        else:
            problems.append(Outcome(item, False, "no such file or folder"))
    return files, problems


def output_stems(files: Sequence[str], out_dir: Path) -> list[str]:
    """`out_dir/<name>`, with `-2`, `-3`, ... when two inputs share a name."""
    used: dict[str, int] = {}
    stems = []
    for f in files:
        name = Path(f).stem
        n = used.get(name, 0) + 1
        used[name] = n
        stems.append(str(out_dir / (name if n == 1 else f"{name}-{n}")))
    return stems


# --- running ---------------------------------------------------------------------


class Progress:
    """A one-line progress bar on a stream (stderr), redrawn in place."""

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total, self.stream, self.enabled = total, stream, enabled and total > 0
        self.done = self.failed = 0
        self.start = time.monotonic()

    def update(self, outcome: Outcome) -> None:
        self.done += 1
        self.failed += not outcome.ok
        if not self.enabled:
            return
        width = 28
        filled = round(width * self.done / self.total)
        bar = "#" * filled + "." * (width - filled)
        rate = self.done / max(time.monotonic() - self.start, 1e-9)
        name = Path(outcome.source).name[:30]
        self.stream.write(f"\r[{bar}] {self.done}/{self.total} {rate:5.1f}/s "
                          f"{self.failed} failed  {name:<30}")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


def run_jobs(jobs: list[Job], workers: int, on_done: Callable[[Outcome], None]) -> None:
    if workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            on_done(process(job))
        return
    pending = list(jobs)
    with ProcessPoolExecutor(max_workers=min(workers, len(jobs))) as pool:
        futures = {pool.submit(process, job): job for job in pending}
        try:
            for fut in as_completed(futures):
                on_done(fut.result())
                pending.remove(futures[fut])
        except BrokenProcessPool:
            pass  # a worker died (the native mesher can end its process); see below
    # Re-run what was left one file per fresh process, so the file that ends
    # its process is the only one reported and the rest still get done.
    for job in pending:
        try:
            with ProcessPoolExecutor(max_workers=1) as solo:
                on_done(solo.submit(process, job).result())
        except BrokenProcessPool:
            on_done(Outcome(job.source, False, "the worker process ended unexpectedly"))


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vellumcut",
        description="Outlines and triangle meshes of the opaque part of RGBA sprites.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"vellumcut {vellumcut.__version__}")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="image files, folders (their .png/.webp/.tif/.bmp files) or glob patterns")
    common.add_argument("-o", "--out", default="vellumcut-out", metavar="DIR",
                        help="output folder, created if needed (default: %(default)s)")
    common.add_argument("-f", "--format", default="json", choices=list(export.FORMATS),
                        help="json (default), obj (Wavefront, with UVs) or godot (Godot 4 .tscn "
                             "with one Polygon2D per part)")
    common.add_argument("--preview", action="store_true",
                        help="also write NAME.preview.svg, NAME.preview.png and NAME.report.txt")
    common.add_argument("-j", "--jobs", type=int, default=1, metavar="N",
                        help="process N files at once in worker processes (default: 1)")
    bar = common.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="always show the progress bar (default: only when stderr is a terminal)")
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    common.add_argument("-q", "--quiet", action="store_true", help="print failures only")
    common.add_argument("--eps", type=float, default=vellumcut.EPS,
                        help="outline simplification tolerance in pixels; poisson meshes the outline "
                             "as traced and ignores it (default: %(default)s)")
    common.add_argument("--margin", type=int, default=vellumcut.MARGIN,
                        help="transparent border in pixels added around the image; coordinates "
                             "include it, UVs remove it (default: %(default)s)")
    sub = parser.add_subparsers(dest="mode", required=True, metavar="COMMAND")
    sub.add_parser("outline", parents=[common], help="outer outline of every opaque island",
                   description=textwrap.fill("Outer outline of every opaque island (no holes, no triangles)."),
                   epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p = sub.add_parser("earcut", parents=[common], help="ear-clipping mesh of every opaque region",
                       description=textwrap.fill("Ear-clipping mesh of every opaque region, holes included: "
                                   "few vertices, long thin triangles."),
                       epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--max-area", "--maxA", dest="maxA", type=float, default=vellumcut.MAXA,
                   help="passed to triangulate_png as maxA; it currently has no effect "
                        "(default: %(default)s)")
    p = sub.add_parser("poisson", parents=[common],
                       help="evenly spread mesh of the largest island (Poisson-disk interior)",
                       description=textwrap.fill("Constrained Delaunay mesh of the largest opaque island, holes "
                                   "included, with Poisson-disk samples inside: even triangles "
                                   "that deform well. Interior vertices vary from run to run."),
                       epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rpx", type=int, default=vellumcut.RPX,
                   help="Poisson-disk radius in pixels: spacing of the interior vertices "
                        "(default: %(default)s)")
    p = sub.add_parser("mesh", parents=[common],
                       help="game-ready mesh of every island: no clipped pixels (mesh_sprite)",
                       description=textwrap.fill("Mesh of every opaque island, outlines on pixel edges simplified "
                                   "outwards only, so no opaque pixel is clipped; optional padding, "
                                   "vertex cap and Poisson or quality interiors. --eps is not used: "
                                   "see --tolerance."),
                       epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_mesh_options(p)
    return parser


def add_mesh_options(p: argparse.ArgumentParser) -> None:
    from vellumcut import sprite

    def opt_int(text: str) -> int | None:
        return None if text.lower() == "none" else int(text)

    def opt_float(text: str) -> float | None:
        return None if text.lower() == "none" else float(text)

    p.add_argument("--alpha-threshold", type=int, default=0, metavar="A",
                   help="a pixel is opaque when its alpha is above A, 0..254 (default: %(default)s)")
    p.add_argument("--tolerance", type=float, default=1.0, metavar="PX",
                   help="how far outlines may stray outwards from the pixels (default: %(default)s)")
    p.add_argument("--padding", type=float, default=0.0, metavar="PX",
                   help="mesh kept around every opaque pixel (default: %(default)s)")
    p.add_argument("--max-vertices", type=opt_int, default=None, metavar="N",
                   help="at most N outline vertices per part, at least 3 (default: no cap)")
    p.add_argument("--interior", choices=sprite.INTERIORS, default="none",
                   help="none: outline vertices only; poisson: Poisson-disk interior points; "
                        "quality: Triangle's quality refinement (default: %(default)s)")
    p.add_argument("--spacing", type=opt_float, default=None, metavar="PX",
                   help="interior point spacing (poisson, default 10) or triangle size bound "
                        "(quality, default: none)")
    p.add_argument("--min-angle", type=float, default=25.0, metavar="DEG",
                   help=f"smallest triangle angle of quality meshes, at most {sprite.MAX_MIN_ANGLE:g} "
                        "(default: %(default)s)")
    p.add_argument("--seed", type=opt_int, default=None,
                   help="seed of the Poisson points (default: a random one)")
    p.add_argument("--min-island-area", type=int, default=1, metavar="PX",
                   help="islands with fewer opaque pixels are dropped (default: %(default)s)")
    p.add_argument("--min-hole-area", type=int, default=sprite.MIN_HOLE_AREA, metavar="PX",
                   help="holes with fewer transparent pixels are filled (default: %(default)s)")


MESH_OPTIONS = ("alpha_threshold", "tolerance", "padding", "max_vertices", "interior", "spacing",
                "min_angle", "seed", "min_island_area", "min_hole_area")


def main(argv: Sequence[str] | None = None, stdout: TextIO | None = None,
         stderr: TextIO | None = None) -> int:
    out, err = stdout or sys.stdout, stderr or sys.stderr
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    params: dict[str, Any] = {"eps": args.eps, "margin": args.margin}
    if args.mode == "mesh":
        params = {name: getattr(args, name) for name in MESH_OPTIONS}
        params["margin"] = args.margin
        try:  # the options' own checks, once, before any file is read
            import numpy as np

            vellumcut.mesh_sprite(np.zeros((1, 1), np.uint8), **params)
        except (ValueError, TypeError) as exc:
            parser.error(str(exc))
    elif args.mode == "earcut":
        params["maxA"] = args.maxA
    elif args.mode == "poisson":
        params["rpx"] = args.rpx

    files, failures = expand_inputs(args.inputs)
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    inputs = {os.path.abspath(f) for f in files}
    jobs = []
    for f, stem in zip(files, output_stems(files, out_dir)):
        targets = [stem + export.FORMATS[args.format]]
        if args.preview:
            targets += [stem + ".preview.svg", stem + ".preview.png", stem + ".report.txt"]
        if any(os.path.abspath(t) in inputs for t in targets):
            failures.append(Outcome(f, False, "an output would overwrite an input; choose --out"))
            continue
        jobs.append(Job(args.mode, f, stem, params, args.format, args.preview))

    show_bar = args.progress if args.progress is not None else err.isatty()
    bar = Progress(len(jobs), err, show_bar and len(jobs) > 1)
    for problem in failures:
        err.write(f"error: {problem.source}: {problem.message}\n")

    def done(o: Outcome) -> None:
        bar.update(o)
        if not o.ok:
            failures.append(o)
            if bar.enabled:
                err.write("\r\x1b[K")
            err.write(f"error: {o.source}: {o.message}\n")
        elif not args.quiet and not bar.enabled:
            out.write(f"{o.source} -> {', '.join(o.outputs)}\n")

    run_jobs(jobs, args.jobs, done)
    bar.close()
    n_ok = bar.done - bar.failed
    if not args.quiet or failures:
        err.write(f"{n_ok} of {len(jobs)} file(s) done, {len(failures)} failed; "
                  f"outputs in {out_dir}\n")
    return 1 if failures or not jobs else 0


if __name__ == "__main__":
    sys.exit(main())
