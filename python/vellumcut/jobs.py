"""Batches: one job per sprite, run here, in worker processes or on any
`concurrent.futures.Executor` (a Dask cluster's included).

`process(job)` is what a worker runs. It never raises: whatever goes wrong
with one file comes back as an `Outcome` with an English message, so a batch
goes on and reports every file the same way wherever it ran.
"""
from __future__ import annotations

import os
import time
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from vellumcut import messages, modes

DONE, FAILED, EMPTY, SKIPPED = "done", "failed", "empty", "skipped"


@dataclass
class Job:
    mode: str
    source: str  # the input as the user named it (messages)
    path: str  # what the worker opens (absolute when it runs elsewhere)
    stem: str | None  # output path without suffix; None: return the mesh, write nothing
    params: dict[str, Any] = field(default_factory=dict)
    fmt: str = "json"
    export_options: dict[str, Any] = field(default_factory=dict)
    preview: bool = False
    allow_empty: bool = False


@dataclass
class Outcome:
    source: str
    status: str  # DONE, FAILED, EMPTY (refused empty mesh) or SKIPPED (unchanged)
    message: str = ""
    outputs: list[str] = field(default_factory=list)
    triangles: int = 0
    mesh: Any = None  # the SpriteMesh, when the job wrote nothing
    seconds: float = 0.0
    warnings: list[str] = field(default_factory=list)  # the mesh's own (a vertex budget's overdraw)
    figures: dict[str, Any] | None = None  # for the overview page (`overview.figures`), with previews

    @property
    def ok(self) -> bool:
        return self.status in (DONE, SKIPPED)


def is_empty(mesh: Any) -> bool:
    """No part at all, or (for the meshers) parts without a single triangle."""
    return modes.get(mesh.mode).is_empty(mesh)


def process(job: Job) -> Outcome:
    """Mesh one file and write its outputs; never raises."""
    import vellumcut

    start = time.perf_counter()
    mode = modes.get(job.mode)
    try:
        mesh = vellumcut.run(job.mode, job.path, **job.params)
        mesh.source = job.path
    except Exception as exc:  # noqa: BLE001 - reported per file
        return Outcome(job.source, FAILED, mode.explain(exc, job.path, job.params))
    if mode.is_empty(mesh) and not job.allow_empty:
        return Outcome(job.source, EMPTY, mode.why_empty(mesh, job.path))
    warnings = list(getattr(mesh, "warnings", []))
    if job.stem is None:
        return Outcome(job.source, DONE, "", [], mesh.triangle_count, mesh,
                       time.perf_counter() - start, warnings)
    figures: dict[str, Any] = {}
    try:
        outputs = write_outputs(job, mesh, figures)
    except OSError as exc:
        return Outcome(job.source, FAILED, messages.write_error(exc))
    except Exception as exc:  # noqa: BLE001 - an exporter or preview fault stays per file
        return Outcome(job.source, FAILED, mode.explain(exc, job.path, job.params))
    return Outcome(job.source, DONE, "", outputs, mesh.triangle_count, None,
                   time.perf_counter() - start, warnings, figures or None)


def write_outputs(job: Job, mesh: Any, figures: dict[str, Any] | None = None) -> list[str]:
    """Write the job's outputs; with previews, `figures` (when given) is
    filled with the sprite's figures for the overview page."""
    from vellumcut import export

    assert job.stem is not None
    fmt = export.FORMATS[job.fmt]
    Path(job.stem).parent.mkdir(parents=True, exist_ok=True)
    export.write(mesh, job.fmt, job.stem + fmt.suffix, **job.export_options)
    outputs = fmt.outputs(job.stem)
    if job.preview:
        from vellumcut import preview, quality

        try:
            rgba, opaque = modes.get(mesh.mode).load_mask(job.path, mesh)
        except Exception:  # noqa: BLE001 - the mesher read it; draw the mesh without the sprite
            rgba, opaque = None, None
        pictures = preview.write_previews(mesh, job.stem, rgba, opaque=opaque)
        outputs += [str(p) for p in pictures]
        q = quality.quality(mesh, opaque)
        report = Path(job.stem + ".report.txt")
        text = quality.format_report(q, Path(job.source).name)
        if getattr(mesh, "bones", None) is not None:  # a rigged sprite
            from vellumcut import rig

            text += rig.report(mesh)
        report.write_text(text, encoding="utf-8")
        outputs.append(str(report))
        if figures is not None:
            from PIL import Image

            from vellumcut import overview

            with Image.open(pictures[1]) as im:  # reads the header only
                size = im.size
            figures.update(overview.figures(q, mesh, size, is_empty(mesh)))
    return outputs


def preview_outputs(stem: str) -> list[str]:
    return [stem + ".preview.svg", stem + ".preview.png", stem + ".report.txt"]


# --- running ----------------------------------------------------------------------


def run_jobs(jobs: Sequence[Job], on_done: Callable[[Outcome], None],
             executor: Executor | None = None, workers: int = 1) -> None:
    """Run `jobs`, calling `on_done` in this thread as each finishes.

    With an `executor` every job is submitted to it; an exception from a
    future (a worker that died, a cluster that went away) fails that file
    only. Without one, `workers` > 1 starts a process pool here, which also
    survives a worker that ends its process: the files still pending are
    re-run one per fresh process, so only the file that ended its process is
    reported.
    """
    if executor is not None:
        _run_on(executor, jobs, on_done)
    elif workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            on_done(process(job))
    else:
        _run_pool(jobs, workers, on_done)


def _worker_failure(job: Job, exc: BaseException) -> Outcome:
    return Outcome(job.source, FAILED, f"the worker failed: {messages.one_line(exc)}; "
                                       "the file was not processed")


def _run_on(executor: Executor, jobs: Iterable[Job], on_done: Callable[[Outcome], None]) -> None:
    futures: dict[Future, Job] = {executor.submit(process, job): job for job in jobs}
    for fut in as_completed(futures):
        try:
            outcome = fut.result()
        except Exception as exc:  # noqa: BLE001 - per file, whatever the executor raised
            outcome = _worker_failure(futures[fut], exc)
        on_done(outcome)


def _run_pool(jobs: Sequence[Job], workers: int, on_done: Callable[[Outcome], None]) -> None:
    pending = {id(job): job for job in jobs}
    with ProcessPoolExecutor(max_workers=min(workers, len(jobs))) as pool:
        futures = {pool.submit(process, job): job for job in jobs}
        try:
            for fut in as_completed(futures):
                on_done(fut.result())
                del pending[id(futures[fut])]
        except BrokenProcessPool:
            pass  # a worker died (the native mesher can end its process); see below
    for job in pending.values():
        try:
            with ProcessPoolExecutor(max_workers=1) as solo:
                on_done(solo.submit(process, job).result())
        except BrokenProcessPool:
            on_done(Outcome(job.source, FAILED, "the worker process ended unexpectedly while "
                                                "meshing this file; it was not processed"))


def batch(inputs: Iterable[str | os.PathLike], mode: str = "earcut",
          executor: Executor | None = None, *, out: str | os.PathLike | None = None,
          format: str = "json", preview: bool = False, allow_empty: bool = False,
          export_options: dict[str, Any] | None = None, **params: Any) -> list[Outcome]:
    """Mesh many files; returns one `Outcome` per input, in input order.

    `executor` is any `concurrent.futures.Executor` (a `ProcessPoolExecutor`,
    a Dask `Client.get_executor()`, ...); without one the files are meshed in
    this thread. Without `out` nothing is written and each outcome carries
    its `SpriteMesh` in `.mesh`; with `out` each input `NAME.ext` is written
    as `out/NAME` plus the format's suffix (and previews with `preview`, and
    the overview page `out/index.html`).
    Paths are made absolute, so workers on other machines need the same file
    system. Keyword `params` go to the mesher (`eps`, `margin`, `rpx`, ...).
    """
    from vellumcut import export

    if format not in export.FORMATS:
        raise ValueError(f"unknown format {format!r}; choose from {', '.join(export.FORMATS)}")
    sources = [os.fspath(p) for p in inputs]
    paths = [os.path.abspath(p) for p in sources]
    stems: list[str | None] = [None] * len(paths)
    if out is not None:
        out_dir = os.path.abspath(os.fspath(out))
        suffix = export.FORMATS[format].suffix
        owner: dict[str, str] = {}
        for i, p in enumerate(paths):
            stem = os.path.join(out_dir, Path(p).stem)
            if owner.setdefault(stem, p) != p:
                raise ValueError(f"{owner[stem]} and {p} would both be written as {stem}{suffix}")
            stems[i] = stem
        os.makedirs(out_dir, exist_ok=True)
    jobs = [Job(mode, src, p, s, dict(params), format, dict(export_options or {}), preview,
                allow_empty) for src, p, s in zip(sources, paths, stems)]
    # Outcomes may come back as copies from other processes: match them by
    # source, each to the first job of that source still without one.
    slots: dict[str, list[int]] = {}
    for i, j in enumerate(jobs):
        slots.setdefault(j.source, []).append(i)
    results: dict[int, Outcome] = {}

    def done(o: Outcome) -> None:
        results[slots[o.source].pop(0)] = o

    run_jobs(jobs, done, executor)
    outcomes = [results[i] for i in range(len(jobs))]
    if out is not None and preview:
        write_overview(out, outcomes, stems)
    return outcomes


def write_overview(out: str | os.PathLike, outcomes: Sequence[Outcome],
                   stems: Sequence[str | None]) -> Path:
    """`out/index.html` (`vellumcut.overview`) over the outcomes of `batch`."""
    import vellumcut
    from vellumcut import overview

    rows = []
    for o, stem in zip(outcomes, stems):
        figures = o.figures
        status = EMPTY if o.status == EMPTY or (figures and figures.get("empty")) else o.status
        rel = os.path.relpath(stem, out) if stem else None
        rows.append({"name": Path(o.source).name, "source": o.source, "status": status,
                     "message": o.message, "figures": figures,
                     "preview": rel + ".preview.png" if rel and o.outputs else None,
                     "full": rel + ".preview.svg" if rel and o.outputs else None})
    return overview.write(out, rows, version=vellumcut.__version__)
