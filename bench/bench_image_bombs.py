"""Time and memory to refuse image bombs, against decoding them unchecked.

For every format OpenCV may decode to four channels, a small file declaring
16384 x 16384 pixels is handed (a) to vellumcut_core.islands, which must refuse
it from its header, and (b) to OpenCV's own imdecode (the pip build of the same
OpenCV release), which is what loading it unchecked costs. Each measurement
runs in a fresh interpreter and reports the peak RSS above the interpreter's
baseline after imports.

    .venv/bin/python bench/bench_image_bombs.py [--no-opencv]
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import hostile_files  # noqa: E402

PROBE = r"""
import json, resource, sys, time
mode, path = sys.argv[1], sys.argv[2]
if mode == "vellumcut":
    import vellumcut_core as vc
    def load():
        try:
            vc.islands(path, 1.0, 0)
            return "loaded"
        except RuntimeError as e:
            return str(e)
else:
    import cv2, numpy as np
    def load():
        img = cv2.imdecode(np.fromfile(path, np.uint8), cv2.IMREAD_UNCHANGED)
        return "empty" if img is None else "decoded %s" % (img.shape,)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
outcome = load()
ms = (time.perf_counter() - t0) * 1000
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"ms": ms, "mib": (peak - base) / 1024, "outcome": outcome}))
"""


def probe(mode: str, path: str) -> dict:
    out = subprocess.run([sys.executable, "-c", PROBE, mode, path], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"ms": float("nan"), "mib": float("nan"), "outcome": f"exit {out.returncode}"}
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    with_opencv = "--no-opencv" not in sys.argv
    print(f"{'format':<16}{'bytes':>9}  {'vellumcut ms':>12}{'MiB':>7}  {'unchecked ms':>12}{'MiB':>8}  unchecked outcome")
    with tempfile.TemporaryDirectory() as tmp:
        bombs = dict(hostile_files.BOMBS, **{"png-full-stream": hostile_files.png_full})
        for kind, build in sorted(bombs.items()):
            data = build(16384, 16384)
            path = os.path.join(tmp, kind)
            with open(path, "wb") as f:
                f.write(data)
            ours = probe("vellumcut", path)
            assert ours["outcome"] == "画像が大きすぎます", ours
            line = f"{kind:<16}{len(data):>9}  {ours['ms']:>12.2f}{ours['mib']:>7.1f}"
            if with_opencv:
                theirs = probe("opencv", path)
                line += f"  {theirs['ms']:>12.1f}{theirs['mib']:>8.1f}  {theirs['outcome']}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
