"""Export real sprites in every mode and format and open the 3D files in Blender.

    .venv/bin/python scripts/client_check.py [--limit N] [--out DIR]

Meshes every cached real sprite (or the first N) with each mode, writes
every format, checks the Spine skeletons' structure, imports every .glb and
.obj into headless Blender (in chunks, one Blender per chunk) and prints
what Blender reported against what was written: objects, vertices, faces,
UV layers, material images. Exit status 1 when anything disagrees.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from collections import Counter
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "scripts")]

import vellumcut  # noqa: E402
from vellumcut import export  # noqa: E402
from vellumcut.meshes import MODES  # noqa: E402

from blender import SCRIPTS, find_blender, run_blender  # noqa: E402
from real_sprites import sprite_paths  # noqa: E402


def written_vertices(mesh) -> int:
    return sum(len(np.unique(p.triangles)) if len(p.triangles) else len(p.vertices) * bool(p.rings)
               for p in mesh.parts)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--limit", type=int, default=0, help="only the first N sprites (default: all)")
    ap.add_argument("--out", default="client-check", help="output folder (default: %(default)s)")
    ap.add_argument("--chunk", type=int, default=150, help="files per Blender run")
    args = ap.parse_args()
    sprites = [str(p) for p in sprite_paths()]
    if args.limit:
        sprites = sprites[:args.limit]
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    expected: dict[str, dict] = {}
    failures: list[str] = []
    written = Counter()
    t0 = time.monotonic()
    for i, src in enumerate(sprites):
        for mode in MODES:
            try:
                mesh = vellumcut.run(mode, src)
            except Exception as exc:  # noqa: BLE001 - a sprite the mesher refuses is counted, not fatal
                failures.append(f"{src} {mode}: mesher: {exc}")
                continue
            stem = out / f"{i:04d}-{Path(src).stem}-{mode}"
            for fmt, entry in export.FORMATS.items():
                try:
                    for p in export.write(mesh, fmt, str(stem) + entry.suffix):
                        written[Path(p).suffix] += 1
                except Exception as exc:  # noqa: BLE001
                    failures.append(f"{src} {mode} {fmt}: {type(exc).__name__}: {exc}")
            spine = json.loads(Path(str(stem) + ".spine.json").read_text())
            atts = [a for s in spine["skins"][0]["attachments"].values() for a in s.values()]
            meshes = [a for a in atts if a["type"] == "mesh"]
            if sum(len(a["triangles"]) // 3 for a in meshes) != mesh.triangle_count:
                failures.append(f"{stem}.spine.json: triangle count")
            for a in meshes:
                n = len(a["vertices"]) // 2
                if not (len(a["uvs"]) == 2 * n and max(a["triangles"]) < n and 3 <= a["hull"] <= n):
                    failures.append(f"{stem}.spine.json: inconsistent attachment")
            for suffix in (".glb", ".obj"):
                expected[str(stem) + suffix] = {
                    "vertices": written_vertices(mesh), "faces": mesh.triangle_count,
                    "size": [mesh.image_width, mesh.image_height]}
    t_export = time.monotonic() - t0
    print(f"{len(sprites)} sprites x {len(MODES)} modes exported in {t_export:.1f} s: "
          + ", ".join(f"{n} {s}" for s, n in sorted(written.items())))

    exe = find_blender()
    if exe is None:
        print("Blender not found; structure only")
        return 1 if failures else 0
    files = sorted(expected)
    stats = Counter()
    seen_version = ""
    t0 = time.monotonic()
    for k in range(0, len(files), args.chunk):
        rep = run_blender(exe, SCRIPTS / "import_report.py", *files[k:k + args.chunk], timeout=1800)
        seen_version = rep["blender"]
        for entry in rep["files"]:
            want = expected[entry["file"]]
            kind = Path(entry["file"]).suffix
            if "error" in entry:
                failures.append(f"{entry['file']}: Blender: {entry['error'].splitlines()[-1]}")
                continue
            objs = [o for o in entry["objects"] if o["type"] == "MESH"]
            got_v, got_f = sum(o["vertices"] for o in objs), sum(o["faces"] for o in objs)
            images = {tuple(i["size"]) for o in objs for m in o["materials"] for i in m["images"]}
            stats[f"{kind} objects"] += len(objs)
            stats[f"{kind} vertices"] += got_v
            stats[f"{kind} faces"] += got_f
            stats[f"{kind} files"] += 1
            stats[f"{kind} with UV layer"] += all(o["uv_layers"] for o in objs)
            stats[f"{kind} with material image"] += images == {tuple(want["size"])}
            stats[f"{kind} empty meshes"] += not want["vertices"]
            if (got_v, got_f) != (want["vertices"], want["faces"]):
                failures.append(f"{entry['file']}: Blender has {got_v} vertices, {got_f} faces; "
                                f"written {want['vertices']}, {want['faces']}")
            if want["vertices"] and (images != {tuple(want["size"])} or not all(o["uv_layers"] for o in objs)):
                failures.append(f"{entry['file']}: material image {images} or UV layer missing")
            stats[f"{kind} written vertices"] += want["vertices"]
            stats[f"{kind} written faces"] += want["faces"]
    print(f"Blender {seen_version} imported {len(files)} files in {time.monotonic() - t0:.1f} s")
    for key in sorted(stats):
        print(f"  {key}: {stats[key]}")
    print(f"{len(failures)} problem(s)")
    for line in failures[:40]:
        print("  " + line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
