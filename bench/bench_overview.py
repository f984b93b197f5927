"""The overview page of a large batch in headless Chromium: its size and how
fast it loads, sorts and filters.

    .venv/bin/python bench/bench_overview.py                     # the real sprites, -j 2
    .venv/bin/python bench/bench_overview.py --out DIR --no-run  # a page already written

It meshes the real sprite cache (`vellumcut mesh .cache/sprites/arcade -r -j 2
--preview`) into a temporary folder (or --out), then opens OUT/index.html
from disk in Debian's Chromium (scripts/headless_chromium.py) and reports:
the page's bytes (the HTML alone, the pictures apart), the browser's
navigation timings (DOMContentLoaded, load: the thumbnails in view included,
the others are lazy), the time to sort by overdraw and to filter to the
failures, and how many thumbnails loaded. It checks what it measures: one
row per input, the sort puts the worst first, no console error, and the page
under 2 MB for every 1,000 sprites.
"""
from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

from headless_chromium import console_errors, start_chromium  # noqa: E402

LIMIT_PER_1000 = 2_000_000

MEASURE = """
const nav = performance.getEntriesByType("navigation")[0];
const rows = document.querySelectorAll("#sprites tbody tr");
let t = performance.now();
document.querySelector('th button[data-key="overdraw"]').click();
const sortMs = performance.now() - t;
const first = document.querySelector("#sprites tbody tr").getAttribute("data-overdraw");
const all = Array.from(rows).map(r => r.getAttribute("data-overdraw")).filter(v => v !== null).map(Number);
t = performance.now();
document.querySelector('nav button[data-filter="failed"]').click();
const filterMs = performance.now() - t;
const shown = Array.from(rows).filter(r => !r.hidden).length;
document.querySelector('nav button[data-filter="all"]').click();
return {domContentLoaded: nav.domContentLoadedEventEnd, load: nav.loadEventEnd, rows: rows.length,
        sortMs, filterMs, failedShown: shown, worst: Number(first), max: Math.max(...all),
        images: document.images.length,
        imagesLoaded: Array.from(document.images).filter(i => i.complete && i.naturalWidth > 0).length};
"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--src", default=str(ROOT / ".cache" / "sprites" / "arcade"))
    ap.add_argument("--out", default=None, help="output folder (default: a temporary one)")
    ap.add_argument("--no-run", action="store_true", help="measure the page already in --out")
    ap.add_argument("--json", default=None, help="also write the figures here")
    ap.add_argument("--repeat", type=int, default=5, help="page loads measured (default: 5)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(args.out or Path(tmp) / "out")
        batch_s = None
        if not args.no_run:
            exe = Path(sys.executable).with_name("vellumcut")
            t = time.perf_counter()
            proc = subprocess.run([str(exe), "mesh", args.src, "-r", "-j", "2", "--preview", "-o",
                                   str(out), "-q"], capture_output=True, text=True)
            batch_s = time.perf_counter() - t
            print(proc.stderr.strip().splitlines()[-1])
        page = out / "index.html"
        size = page.stat().st_size
        pictures = sum(p.stat().st_size for p in out.rglob("*.preview.png"))
        loads, errors = [], []
        with start_chromium(1280, 900) as driver:
            for _ in range(max(1, args.repeat)):  # the machine is shared: report the median
                t = time.perf_counter()
                driver.get(page.resolve().as_uri())
                get_s = time.perf_counter() - t
                m = driver.execute_script(MEASURE)
                loads.append((m["load"], get_s, m))
                errors += console_errors(driver)
    loads.sort(key=lambda x: x[0])
    _, get_s, m = loads[len(loads) // 2]
    figures = {"batch_s": batch_s, "page_bytes": size, "preview_png_bytes": pictures,
               "webdriver_get_s": round(get_s, 3), **m, "console_errors": len(errors),
               "load_ms_all": [round(x[0]) for x in loads]}
    print(json.dumps(figures, indent=1))
    ok = True
    for what, good in (("one row per sprite", m["rows"] > 0),
                       ("sorted worst first", m["worst"] == m["max"]),
                       ("no console error", not errors),
                       ("under 2 MB per 1,000 sprites", size <= LIMIT_PER_1000 * max(1, m["rows"]) / 1000)):
        print(f"{'ok' if good else 'FAILED'}: {what}")
        ok &= good
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=1) + "\n")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
