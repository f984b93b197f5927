"""Benchmark of `vellumcut.rig_sprite`: `make bench-rig`.

speed  a 512 px character (a real character sprite enlarged 4x, pixel for
       pixel, to 384 x 512): `rig_sprite` at its defaults against
       `mesh_sprite` with the same mesh options (interior "quality" and the
       same spacing), in this process after one warm-up call each (imports
       and first-call costs left out), median of --repeat calls. The rig's
       time is also split into meshing, skeleton and weights.
       Targets: rig <= 5x mesh, and rig < 1 s.
real   the real character sprites of the cache (10 by default) at their own
       size, rigged at the defaults: bones, vertices, time, and triangles
       that fold (change orientation) when a bone turns by 30 degrees under
       linear blend skinning: the worst single bone, and every other bone at
       once.

Results go to bench/results/rig-latest.json (and a dated copy) and a table.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import vellumcut  # noqa: E402
from vellumcut import rig, sprite  # noqa: E402
from vellumcut.meshes import triangle_areas  # noqa: E402

SPEED_SPRITE = "animated_characters/female_adventurer/femaleAdventurer_idle.png"
CHARACTERS = ("female_adventurer/femaleAdventurer_idle", "female_person/femalePerson_walk3",
              "male_adventurer/maleAdventurer_jump", "male_person/malePerson_climb0",
              "robot/robot_walk5", "zombie/zombie_idle", "zombie/zombie_walk2",
              "female_adventurer/femaleAdventurer_fall", "male_person/malePerson_walk6",
              "robot/robot_jump")
RATIO_TARGET = 5.0
SECONDS_TARGET = 1.0


def load_rgba(path: str, scale: int = 1) -> np.ndarray:
    from PIL import Image

    with Image.open(path) as im:
        im = im.convert("RGBA")
        if scale != 1:
            im = im.resize((im.width * scale, im.height * scale), Image.Resampling.NEAREST)
        return np.asarray(im)


def median_time(fn, repeat: int) -> float:
    fn()  # warm-up
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def folded(part, weights, bones, angles) -> int:
    moved = rig.skin(part.vertices, weights, rig.bone_matrices(bones, angles))
    a0 = triangle_areas(part.vertices[part.triangles])
    a1 = triangle_areas(moved[part.triangles])
    return int(np.count_nonzero(np.sign(a0) != np.sign(a1)))


def speed(paths: dict[str, str], repeat: int) -> dict:
    img = load_rgba(paths[SPEED_SPRITE], 4)
    r = vellumcut.rig_sprite(img)
    mesh_opts = {k: v for k, v in r.mesh.params.items() if k in (
        "alpha_threshold", "tolerance", "padding", "max_vertices", "interior", "spacing", "min_angle",
        "seed", "min_island_area", "min_hole_area", "margin")}
    t_mesh = median_time(lambda: sprite.mesh_sprite(img, **mesh_opts), repeat)
    t_rig = median_time(lambda: vellumcut.rig_sprite(img), repeat)
    mesh = sprite.mesh_sprite(img, **mesh_opts)
    assert mesh.vertex_count == r.mesh.vertex_count  # the same mesh
    t_skel = median_time(lambda: rig.auto_skeleton(mesh), repeat)
    t_weights = median_time(lambda: rig.bone_weights(mesh, r.bones), repeat)
    ratio = t_rig / t_mesh
    return {"sprite": SPEED_SPRITE + " x4", "size": [img.shape[1], img.shape[0]],
            "mesh_options": mesh_opts, "vertices": mesh.vertex_count, "triangles": mesh.triangle_count,
            "bones": len(r.bones), "mesh_s": t_mesh, "rig_s": t_rig, "skeleton_s": t_skel,
            "weights_s": t_weights, "ratio": ratio, "ratio_target": RATIO_TARGET,
            "seconds_target": SECONDS_TARGET,
            "meets": {"ratio": ratio <= RATIO_TARGET, "seconds": t_rig < SECONDS_TARGET}}


def real(paths: dict[str, str], limit: int) -> list[dict]:
    rows = []
    for name in CHARACTERS[:limit]:
        key = f"animated_characters/{name}.png"
        img = load_rgba(paths[key])
        vellumcut.rig_sprite(img)  # warm-up for this size
        t = time.perf_counter()
        r = vellumcut.rig_sprite(img)
        seconds = time.perf_counter() - t
        part_i = max(range(len(r.mesh.parts)), key=lambda i: len(r.mesh.parts[i].vertices))
        part, w = r.mesh.parts[part_i], r.weights[part_i]
        singles = [folded(part, w, r.bones, {k: 30.0}) for k in range(1, len(r.bones))]
        every_other = folded(part, w, r.bones, {k: 30.0 for k in range(1, len(r.bones), 2)})
        rows.append({"sprite": key, "size": [img.shape[1], img.shape[0]], "bones": len(r.bones),
                     "vertices": r.mesh.vertex_count, "triangles": r.mesh.triangle_count,
                     "seconds": seconds, "folded_worst_bone": max(singles, default=0),
                     "folded_every_other_bone": every_other,
                     "influences_mean": float(r.influences().mean())})
    return rows


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--real-limit", type=int, default=len(CHARACTERS))
    ap.add_argument("--out", default=os.path.join(HERE, "results"))
    args = ap.parse_args(argv)
    from real_sprites import sprite_paths

    paths = {}
    for p in sprite_paths():
        s = str(p).replace(os.sep, "/")
        if "/images/" in s:
            paths[s.split("/images/", 1)[1]] = str(p)
    missing = [c for c in CHARACTERS if f"animated_characters/{c}.png" not in paths]
    if missing:
        raise SystemExit(f"real sprites missing from the cache: {missing}; run scripts/real_sprites.py")
    result = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
              "machine": platform.platform(), "cpus": os.cpu_count(), "vellumcut": vellumcut.__version__,
              "speed": speed(paths, args.repeat), "real": real(paths, args.real_limit)}
    os.makedirs(args.out, exist_ok=True)
    stamp = result["date"].replace(":", "").replace("-", "")[:15]
    for name in (f"rig-{stamp}.json", "rig-latest.json"):
        with open(os.path.join(args.out, name), "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)
    s = result["speed"]
    print(f"speed: {s['sprite']} {s['size'][0]}x{s['size'][1]}, {s['vertices']} vertices, {s['bones']} bones")
    print(f"  mesh_sprite(quality) {1000 * s['mesh_s']:.1f} ms   rig_sprite {1000 * s['rig_s']:.1f} ms "
          f"(skeleton {1000 * s['skeleton_s']:.1f} ms, weights {1000 * s['weights_s']:.1f} ms)")
    print(f"  ratio {s['ratio']:.1f}x (target <= {RATIO_TARGET:g}x: {'met' if s['meets']['ratio'] else 'NOT met'}), "
          f"rig < {SECONDS_TARGET:g} s: {'met' if s['meets']['seconds'] else 'NOT met'}")
    print(f"real characters ({len(result['real'])}):")
    print(f"  {'sprite':<44} {'size':>9} {'bones':>5} {'verts':>6} {'tris':>5} {'ms':>7} {'fold1':>5} {'foldN':>5}")
    for row in result["real"]:
        print(f"  {row['sprite'].split('/', 1)[1]:<44} {row['size'][0]:>4}x{row['size'][1]:<4} {row['bones']:>5} "
              f"{row['vertices']:>6} {row['triangles']:>5} {1000 * row['seconds']:>7.1f} "
              f"{row['folded_worst_bone']:>5} {row['folded_every_other_bone']:>5}")
    print("  fold1: triangles folded by the worst single bone turned 30 degrees; foldN: every other bone at once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
