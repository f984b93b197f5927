"""Benchmark of `vellumcut.mesh_sprite`: `make bench-mesher`.

One run, three sections, one JSON file in bench/results/ (mesher-*.json and
mesher-latest.json):

speed     on the generated 4096 px sprites (bench/sprites.py), every call in
          a fresh process through bench/measure.py and run.py's `measure`
          (median of --repeat runs, warm below 2 s): mesh_sprite
          interior="none" against the core's triangulate_png (eps 1), and
          "poisson" and "quality" at spacing 8 against the core's
          poisson_png at rpx 8, all with the benchmark's margin (4).
          Targets: <= 2x, <= 1.5x, <= 3x.
threads   a batch of typical real sprites meshed on one thread and on two
          (ThreadPoolExecutor, the same files), in a fresh process, median
          of fifteen alternating rounds. Target: two threads >= 1.4x one.
          "busy" is the process's CPU time over wall time (on two threads,
          2: they overlapped; 1: they took turns or had one core; a loaded
          machine gives less than 1 to either).
real      every real sprite (scripts/real_sprites.py) at tolerance 1,
          checked with tests/mesh_checks.py: how many meet coverage,
          tolerance and validity; coverage, overdraw (aim: median <= 10 %),
          vertex count against the core's triangulate_png at eps 1 (aim:
          median <= 1.5x), smallest-angle figures for "poisson" and
          "quality" (aim: <= 5 % of triangles below min_angle, median
          smallest angle >= 30 degrees); beside the core's earcut mesh and
          the Python peer (bench/peer_mesher.py in .venv-bench: OpenCV
          outlines, the `triangle` binding's constrained and quality
          triangulation).

Nothing is tuned here: the mesher runs with its defaults except where a
section names an option.
"""
from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import importlib.util  # noqa: E402

import numpy as np  # noqa: E402

import run  # noqa: E402


def _bench_module(name: str):
    """bench/NAME.py by path: the tests have a `sprites` module of their own."""
    found = importlib.util.spec_from_file_location(f"bench_{name}", os.path.join(HERE, f"{name}.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


sprites = _bench_module("sprites")

PY_MODULE, PY_PEER, MEASURE = run.PY_MODULE, run.PY_PEER, run.MEASURE
PEER = os.path.join(HERE, "peer_mesher.py")
SPACING = 8
TOLERANCE = 1.0
MIN_ANGLE = 25.0
MARGIN = sprites.MARGIN

# (what, mesher interior, core function, target ratio mesher / core)
SPEED_CASES = (
    ("none", "triangulate_png", 2.0),
    ("poisson", "poisson_png", 1.5),
    ("quality", "poisson_png", 3.0),
)
THREAD_TARGET = 1.4
OVERDRAW_AIM = 0.10
VERTEX_RATIO_AIM = 1.5
ANGLE_BELOW_AIM = 0.05
ANGLE_MEDIAN_AIM = 30.0


# --- speed ------------------------------------------------------------------------


def speed_section(args, sprite_dir: str) -> tuple[list[dict], list[dict]]:
    rows, checks = [], []
    print(f"\nSpeed ({args.sizes} px sprites, margin {MARGIN}, median of up to {args.repeat} fresh-process runs)")
    print(f"{'sprite':<12} {'mesh_sprite':<22} {'time':>9} {'tris':>8} {'core':<22} {'time':>9} {'tris':>8} "
          f"{'ratio':>6} {'target':>7}")
    for kind in args.kinds.split(","):
        for size in [int(s) for s in args.sizes.split(",")]:
            sprite = sprites.sprite_path(sprite_dir, kind, size)
            name = f"{kind}-{size}"
            core_cache: dict[str, dict] = {}
            for interior, core_fn, target in SPEED_CASES:
                if core_fn not in core_cache:
                    extra = ["eps=1"] if core_fn == "triangulate_png" else []
                    core_cache[core_fn] = run.measure([PY_MODULE, MEASURE, "vellumcut", core_fn, sprite, str(SPACING),
                                                       "WARMUP"] + extra, args.repeat, args.budget, args.timeout)
                core = core_cache[core_fn]
                mesh = run.measure([PY_MODULE, MEASURE, "mesher", interior, sprite, str(SPACING), "WARMUP",
                                    f"tolerance={TOLERANCE:g}"], args.repeat, args.budget, args.timeout)
                ratio = (mesh["seconds"] / core["seconds"]) if "seconds" in mesh and "seconds" in core else None
                label_m = f'{interior}' + (f" spacing {SPACING}" if interior != "none" else "")
                label_c = "triangulate_png eps 1" if core_fn == "triangulate_png" else f"poisson_png rpx {SPACING}"
                rows.append({"sprite": name, "interior": interior, "core_function": core_fn, "mesher": mesh,
                             "core": core, "ratio": ratio, "target": target})
                met = ratio is not None and ratio <= target
                checks.append({"what": f"{name} mesh_sprite {label_m} <= {target:g} x {label_c}",
                               "figure": f"{ratio:.2f} x" if ratio is not None else f"failed: {_why(mesh, core)}",
                               "met": met})
                print(f"{name:<12} {label_m:<22} {run.fmt_time(mesh):>9} {mesh.get('count', '-'):>8} "
                      f"{label_c:<22} {run.fmt_time(core):>9} {core.get('count', '-'):>8} "
                      f"{(f'{ratio:.2f}' if ratio is not None else '-'):>6} {'<= ' + format(target, 'g'):>7}"
                      f" {'ok' if met else 'MISSED'}", flush=True)
    return rows, checks


def _why(*ms: dict) -> str:
    for m in ms:
        if "error" in m:
            return m["error"]
        if "timeout" in m:
            return f"timeout {m['timeout']:.0f} s"
    return "?"


# --- threads ----------------------------------------------------------------------


def typical_batch(paths: list, count: int) -> list[str]:
    """Real sprites of typical size (32 to 256 px a side), evenly spread over the sorted set."""
    from PIL import Image

    typical = []
    for p in paths:
        with Image.open(p) as im:
            if 32 <= min(im.size) and max(im.size) <= 256:
                typical.append(str(p))
    step = max(1, len(typical) // count)
    return typical[::step][:count]


def thread_worker(listing: str, interior: str, rounds: int) -> None:
    """Runs in a fresh process: times the batch on one thread and on two."""
    from concurrent.futures import ThreadPoolExecutor

    import vellumcut

    paths = [line.strip() for line in open(listing) if line.strip()]
    kwargs = {"interior": interior, "tolerance": TOLERANCE, "margin": MARGIN}
    if interior != "none":
        kwargs["seed"] = 1

    def one(p):
        return vellumcut.mesh_sprite(p, **kwargs).triangle_count

    serial_counts = [one(p) for p in paths]  # warm-up, and the reference result
    one_t, two_t, one_cpu, two_cpu = [], [], [], []
    with ThreadPoolExecutor(2) as pool:
        counts = list(pool.map(one, paths))
        for _ in range(rounds):
            t0, c0 = time.perf_counter(), time.process_time()
            for p in paths:
                one(p)
            one_t.append(time.perf_counter() - t0)
            one_cpu.append(time.process_time() - c0)
            t0, c0 = time.perf_counter(), time.process_time()
            counts = list(pool.map(one, paths))
            two_t.append(time.perf_counter() - t0)
            two_cpu.append(time.process_time() - c0)
    same = counts == serial_counts
    # CPU seconds over wall seconds while two threads run: near 2 when they
    # overlap on two free cores, near 1 when they take turns (a lock) or
    # the machine has no second core to give.
    print(json.dumps({"one": statistics.median(one_t), "two": statistics.median(two_t), "one_runs": one_t,
                      "two_runs": two_t, "one_busy_cores": sum(one_cpu) / sum(one_t),
                      "two_busy_cores": sum(two_cpu) / sum(two_t), "one_cpu": sum(one_cpu), "two_cpu": sum(two_cpu),
                      "sprites": len(paths), "same_counts": same}))


def threads_section(args, paths: list) -> tuple[list[dict], list[dict]]:
    batch = typical_batch(paths, args.batch)
    rows, checks = [], []
    print(f"\nThreads ({len(batch)} real sprites of 32-256 px, median of {args.rounds} rounds, "
          f"load average {os.getloadavg()[0]:.2f})")
    print(f"{'interior':<10} {'1 thread':>10} {'busy':>5} {'2 threads':>10} {'busy':>5} {'speed-up':>9} {'target':>7}")
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("\n".join(batch))
        listing = f.name
    try:
        for interior in args.thread_interiors.split(","):
            proc = subprocess.run([PY_MODULE, os.path.abspath(__file__), "--thread-worker", listing, interior,
                                   str(args.rounds)], capture_output=True, text=True, timeout=args.timeout * 4)
            if proc.returncode != 0:
                err = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or ["?"]
                rows.append({"interior": interior, "error": err[0][:300]})
                checks.append({"what": f"two threads >= {THREAD_TARGET} x one ({interior})",
                               "figure": f"failed: {err[0][:200]}", "met": False})
                print(f"{interior:<10} error: {err[0][:200]}")
                continue
            r = json.loads(proc.stdout.strip().splitlines()[-1])
            speedup = r["one"] / r["two"]
            r.update(interior=interior, speedup=speedup)
            rows.append(r)
            met = speedup >= THREAD_TARGET
            checks.append({"what": f"two threads >= {THREAD_TARGET} x one ({interior}, {r['sprites']} sprites)",
                           "figure": f"{speedup:.2f} x", "met": met})
            print(f"{interior:<10} {r['one'] * 1000:>8.0f}ms {r['one_busy_cores']:>5.2f} {r['two'] * 1000:>8.0f}ms "
                  f"{r['two_busy_cores']:>5.2f} "
                  f"{speedup:>9.2f} "
                  f"{'>= ' + format(THREAD_TARGET, 'g'):>7} {'ok' if met else 'MISSED'}"
                  f"{'' if r['same_counts'] else '  (triangle counts differ between one and two threads)'}",
                  flush=True)
            checks.append({"what": f"two threads give the meshes one gives ({interior}, triangle counts)",
                           "figure": "same" if r["same_counts"] else "different", "met": r["same_counts"]})
    finally:
        os.unlink(listing)
    return rows, checks


# --- real sprites -----------------------------------------------------------------


def _pct(values: list[float], q: float) -> float:
    return float(np.percentile(values, q)) if values else float("nan")


def outline_reach(mesh, mask, padding: float) -> float:
    """How far the outline strays from the opaque pixels (tolerance + padding
    it would need), to 1/1000 px from above, by bisection on the checker."""
    import mesh_checks as mc

    lo, hi = TOLERANCE, TOLERANCE + 1.0
    while mc.check_tolerance(mesh, mask, hi, padding) and hi < 1e4:
        lo, hi = hi, 2.0 * hi
    while hi - lo > 1e-3:
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if mc.check_tolerance(mesh, mask, mid, padding) else (lo, mid)
    return hi + padding


class Tally:
    """Per-configuration sums over the real sprites."""

    def __init__(self, name: str, checked: bool):
        self.name, self.checked = name, checked
        self.sprites = self.errors = 0
        self.held = {"coverage": 0, "tolerance": 0, "validity": 0}
        self.coverage: list[float] = []
        self.overdraw: list[float] = []
        self.vertices: list[float] = []
        self.ratio: list[float] = []
        self.below: list[float] = []
        self.angles: list[np.ndarray] = []
        self.seconds = 0.0
        self.failures: list[str] = []
        self.worst_distance = 0.0  # over the sprites that miss the tolerance

    def add(self, mesh, mask, seconds: float, core_vertices: int | None, padding: float = 0.0) -> None:
        import mesh_checks as mc
        from vellumcut.meshes import min_angles

        self.sprites += 1
        self.seconds += seconds
        if self.checked:
            for what, problems in (("coverage", mc.check_coverage(mesh, mask, padding)),
                                   ("tolerance", mc.check_tolerance(mesh, mask, TOLERANCE, padding)),
                                   ("validity", mc.check_validity(mesh))):
                if problems:
                    if len(self.failures) < 12:
                        self.failures.append(f"{what}: {mesh.source}: {problems[0]}")
                    if what == "tolerance":
                        self.worst_distance = max(self.worst_distance, outline_reach(mesh, mask, padding))
                else:
                    self.held[what] += 1
        fig = mc.mesh_figures(mesh, mask, MIN_ANGLE)
        self.coverage.append(fig["coverage"])
        self.overdraw.append(fig["overdraw"])
        self.vertices.append(fig["vertices"])
        if core_vertices:
            self.ratio.append(fig["vertices"] / core_vertices)
        if fig["triangles"]:
            self.below.append(fig["angle_below"])
        self.angles.append(min_angles(mesh.all_triangles()))

    def error(self, path, exc: BaseException) -> None:
        self.sprites += 1
        self.errors += 1
        if len(self.failures) < 12:
            self.failures.append(f"error: {path}: {type(exc).__name__}: {exc}")

    def summary(self) -> dict:
        angles = np.concatenate(self.angles) if self.angles else np.zeros(0)
        return {
            "config": self.name, "sprites": self.sprites, "errors": self.errors,
            "held": dict(self.held) if self.checked else None,
            "coverage_median": _pct(self.coverage, 50), "coverage_p10": _pct(self.coverage, 10),
            "coverage_min": min(self.coverage) if self.coverage else float("nan"),
            "overdraw_median": _pct(self.overdraw, 50), "overdraw_p90": _pct(self.overdraw, 90),
            "vertices_median": _pct(self.vertices, 50),
            "vertex_ratio_median": _pct(self.ratio, 50) if self.ratio else None,
            "vertex_ratio_p90": _pct(self.ratio, 90) if self.ratio else None,
            "triangles": int(len(angles)),
            "angle_below_all": float(np.mean(angles < MIN_ANGLE)) if len(angles) else None,
            "angle_below_sprite_median": _pct(self.below, 50) if self.below else None,
            "angle_median_all": float(np.median(angles)) if len(angles) else None,
            "seconds": self.seconds, "failures": self.failures,
            "worst_outline_distance": self.worst_distance or None,
        }


def peer_meshes(paths: list[str], interior: str, max_area: float, timeout: float) -> tuple[list, str | None]:
    """Runs the peer in .venv-bench; per sprite (parts as (v, t), seconds) or an error."""
    with tempfile.TemporaryDirectory() as tmp:
        listing = os.path.join(tmp, "list.txt")
        out = os.path.join(tmp, "peer.npz")
        with open(listing, "w") as f:
            f.write("\n".join(paths))
        proc = subprocess.run([PY_PEER, PEER, listing, out, interior, str(TOLERANCE), str(MIN_ANGLE),
                               str(max_area), str(MARGIN)], capture_output=True, text=True, timeout=timeout)
        if proc.returncode != 0:
            tail = (proc.stderr or proc.stdout).strip().splitlines()[-1:] or [f"exit {proc.returncode}"]
            return [], tail[0][:300]
        data = np.load(out)
        result = []
        for n in range(len(paths)):
            parts = [(data[f"s{n}_p{k}_v"], data[f"s{n}_p{k}_t"]) for k in range(int(data[f"s{n}_parts"]))]
            result.append((parts, float(data[f"s{n}_seconds"])))
        return result, None


def real_section(args, paths: list) -> tuple[list[dict], list[dict]]:
    import mesh_checks as mc
    import vellumcut
    from vellumcut.meshes import Part, SpriteMesh, boundary_rings

    if args.real_limit and args.real_limit < len(paths):
        step = len(paths) / args.real_limit
        paths = [paths[int(i * step)] for i in range(args.real_limit)]
    paths = [str(p) for p in paths]
    configs = [("none", {"interior": "none"}, 0.0), ("none padding 1", {"interior": "none", "padding": 1.0}, 1.0),
               ("poisson", {"interior": "poisson", "seed": 1}, 0.0), ("quality", {"interior": "quality"}, 0.0)]
    tallies = {name: Tally(f"mesh_sprite {name}", True) for name, _, _ in configs}
    core_tally = Tally("core triangulate_png eps 1", True)
    print(f"\nReal sprites ({len(paths)}, tolerance {TOLERANCE:g}, margin {MARGIN}, min_angle {MIN_ANGLE:g}; "
          f"held: sprites on which coverage/tolerance/validity hold; coverage and overdraw: median and "
          f"p10/p90 over sprites; <25deg: share of all triangles, per spr: median share per sprite; "
          f"ang med: median smallest angle of all triangles)", flush=True)
    masks, core_counts = [], []
    for path in paths:
        mask = mc.opaque_mask(path)
        t0 = time.perf_counter()
        try:
            core = vellumcut.earcut(path, eps=1.0, margin=MARGIN)
        except RuntimeError as exc:  # e.g. no opaque pixel
            core_tally.error(path, exc)
            core_counts.append(None)
        else:
            core_tally.add(core, mask, time.perf_counter() - t0, None)
            core_counts.append(core.vertex_count)
        for name, kwargs, padding in configs:
            t0 = time.perf_counter()
            try:
                mesh = vellumcut.mesh_sprite(path, tolerance=TOLERANCE, margin=MARGIN, **kwargs)
            except Exception as exc:  # counted and reported, the run goes on
                tallies[name].error(path, exc)
                continue
            tallies[name].add(mesh, mask, time.perf_counter() - t0, core_counts[-1], padding)
        masks.append(mask)
    peers = []
    for interior in ("none", "quality"):
        tally = Tally(f"peer {interior}", True)
        area = math.sqrt(3) / 4 * SPACING ** 2 if interior == "quality" and args.peer_area else 0.0
        meshes, err = peer_meshes(paths, interior, area, args.timeout * 10)
        if err:
            tally.failures.append(f"peer failed: {err}")
        for path, mask, core_n, (parts, seconds) in zip(paths, masks, core_counts, meshes):
            h, w = mask.shape[0] + 2 * MARGIN, mask.shape[1] + 2 * MARGIN
            mesh = SpriteMesh("peer", [Part(v, t, boundary_rings(v, t)) for v, t in parts if len(t)], w, h, MARGIN,
                              source=path)
            tally.add(mesh, mask, seconds, core_n)
        peers.append(tally)
    rows = [t.summary() for t in list(tallies.values()) + [core_tally] + peers]
    print(f"{'configuration':<28} {'held cov/tol/valid':>19} {'err':>4} {'coverage':>9} {'cov p10':>8} "
          f"{'overdraw':>9} {'od p90':>7} {'verts':>6} {'x core':>7} {'<25deg':>7} {'per spr':>7} {'ang med':>8} "
          f"{'time':>8}")
    for r in rows:
        held = r["held"]
        held_s = f"{held['coverage']}/{held['tolerance']}/{held['validity']} of {r['sprites']}" if held else "-"
        ratio = f"{r['vertex_ratio_median']:.2f}" if r["vertex_ratio_median"] is not None else "-"
        below = f"{r['angle_below_all']:.1%}" if r["angle_below_all"] is not None else "-"
        angle = f"{r['angle_median_all']:.1f}" if r["angle_median_all"] is not None else "-"
        per = f"{r['angle_below_sprite_median']:.1%}" if r["angle_below_sprite_median"] is not None else "-"
        print(f"{r['config']:<28} {held_s:>19} {r['errors']:>4} {r['coverage_median']:>9.2%} "
              f"{r['coverage_p10']:>8.2%} {r['overdraw_median']:>9.2%} {r['overdraw_p90']:>7.2%} "
              f"{r['vertices_median']:>6.0f} {ratio:>7} {below:>7} {per:>7} {angle:>8} {r['seconds']:>7.1f}s")
    for r in rows:
        if r["worst_outline_distance"]:
            print(f"  {r['config']}: the farthest outline point lies {r['worst_outline_distance']:.3f} px from the "
                  f"opaque pixels (allowed: {TOLERANCE:g} + padding)")
        for f in r["failures"][:4]:
            print(f"  {r['config']}: {f}")
    checks = []
    by = {r["config"]: r for r in rows}
    for name in ("none", "none padding 1", "poisson", "quality"):
        r = by[f"mesh_sprite {name}"]
        for what in ("coverage", "tolerance", "validity"):
            checks.append({"what": f"real sprites, {name}: {what} holds on every sprite",
                           "figure": f"{r['held'][what]} of {r['sprites']}",
                           "met": r["held"][what] == r["sprites"] and r["sprites"] > 0})
    r = by["mesh_sprite none"]
    checks.append({"what": f"real sprites, none: median overdraw <= {OVERDRAW_AIM:.0%} (aim)",
                   "figure": f"{r['overdraw_median']:.2%}", "met": r["overdraw_median"] <= OVERDRAW_AIM})
    if r["vertex_ratio_median"] is not None:
        checks.append({"what": f"real sprites, none: median vertices <= {VERTEX_RATIO_AIM} x core eps 1 (aim)",
                       "figure": f"{r['vertex_ratio_median']:.2f} x",
                       "met": r["vertex_ratio_median"] <= VERTEX_RATIO_AIM})
    for name in ("poisson", "quality"):
        r = by[f"mesh_sprite {name}"]
        if r["angle_below_all"] is None:
            continue
        checks.append({"what": f"real sprites, {name}: <= {ANGLE_BELOW_AIM:.0%} of triangles below "
                               f"{MIN_ANGLE:g} degrees", "figure": f"{r['angle_below_all']:.2%}",
                       "met": r["angle_below_all"] <= ANGLE_BELOW_AIM})
        checks.append({"what": f"real sprites, {name}: median smallest angle >= {ANGLE_MEDIAN_AIM:g} degrees",
                       "figure": f"{r['angle_median_all']:.1f}", "met": r["angle_median_all"] >= ANGLE_MEDIAN_AIM})
    return rows, checks


# --- main -------------------------------------------------------------------------


def git_describe(ref: str) -> str | None:
    try:
        return subprocess.run(["git", "-C", ROOT, "rev-parse", ref], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def git_merge_base(a: str, b: str) -> str | None:
    """The newest commit of `b` that `a` contains: the mesher's code that was built and measured."""
    try:
        return subprocess.run(["git", "-C", ROOT, "merge-base", a, b], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--thread-worker":
        thread_worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sections", default="speed,threads,real")
    ap.add_argument("--sizes", default="4096")
    ap.add_argument("--kinds", default=",".join(sprites.KINDS))
    ap.add_argument("--repeat", type=int, default=3, help="runs per speed measurement (median)")
    ap.add_argument("--budget", type=float, default=20.0, help="stop repeating after this many seconds")
    ap.add_argument("--timeout", type=float, default=180.0, help="seconds before one run is abandoned")
    ap.add_argument("--batch", type=int, default=64, help="real sprites in the thread batch")
    ap.add_argument("--rounds", type=int, default=15, help="rounds of the thread batch (median)")
    ap.add_argument("--thread-interiors", default="none,quality")
    ap.add_argument("--real-limit", type=int, default=0, help="use only this many real sprites, evenly spread")
    ap.add_argument("--peer-area", type=int, default=0,
                    help="1: the peer's quality mesh gets the area bound of spacing 8 (sqrt(3)/4 x 64); "
                         "0 (default): none, like mesh_sprite's quality mesh at its default spacing")
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    args = ap.parse_args()
    sections = args.sections.split(",")

    import vellumcut

    if not hasattr(vellumcut, "mesh_sprite"):
        print("vellumcut.mesh_sprite is missing from the installed package; build the mesher first", file=sys.stderr)
        return 2
    from real_sprites import sprite_paths

    os.makedirs(args.out, exist_ok=True)
    doc: dict = {"when": datetime.datetime.now().strftime("%Y%m%d-%H%M%S"), "machine": platform.platform(),
                 "cpus": os.cpu_count(), "commit": git_describe("HEAD"), "mesher_commit": git_merge_base("HEAD", "issue-13"),
                 "args": vars(args),
                 "loadavg_start": os.getloadavg()}
    checks: list[dict] = []
    if "speed" in sections:
        doc["speed"], c = speed_section(args, os.path.join(args.out, "sprites"))
        checks += c
    paths = sprite_paths() if ("threads" in sections or "real" in sections) else []
    if "threads" in sections:
        doc["threads"], c = threads_section(args, paths)
        checks += c
    if "real" in sections:
        doc["real"], c = real_section(args, paths)
        checks += c
    doc["targets"] = checks
    doc["loadavg_end"] = os.getloadavg()
    print("\nTargets and aims:")
    for c in checks:
        print(f"  [{'ok' if c['met'] else 'MISSED'}] {c['what']}: {c['figure']}")
    stamp = doc["when"]
    for path in (os.path.join(args.out, f"mesher-{stamp}.json"), os.path.join(args.out, "mesher-latest.json")):
        with open(path, "w") as f:
            json.dump(doc, f, indent=1, default=float)
    print(f"\nJSON: {os.path.relpath(os.path.join(args.out, f'mesher-{stamp}.json'), ROOT)}  "
          f"(commit {str(doc['commit'])[:10]}, load average {doc['loadavg_start'][0]:.2f} -> "
          f"{doc['loadavg_end'][0]:.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
