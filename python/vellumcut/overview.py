"""The overview page of a batch with previews: `OUT/index.html`.

One static file that opens from disk: its CSS and script are inline and it
fetches nothing; the thumbnails are the batch's own `NAME.preview.png`
files, loaded lazily. Each sprite is one row of a table, with its figures
in `data-*` attributes, which the script sorts and filters; without the
script the table still reads in name order.

A row is a dict: `name` (shown), `source` (the path as given), `status` ("done", "empty" or "failed"), `message`
(why it failed or is empty), `preview` and `full` (the PNG and SVG preview,
relative to the page) and `figures` (see `figures`). The figures of a
sprite meshed earlier are kept in the output folder's manifest, so a re-run
that skips it still shows it.
"""
from __future__ import annotations

import datetime
import html
import os
from pathlib import Path
from typing import Any, Iterable, Mapping

NAME = "index.html"
THUMB = 96  # longest side of a thumbnail, CSS pixels
SLIVER_DEG = 10.0  # the report's first histogram bin: triangles under it are slivers
# Outline-only meshes of curved shapes always have a few slivers; a sprite is
# flagged when they are this share of its triangles or more.
SLIVER_SHARE = 0.25

# (key, heading, what sorts first when the heading is clicked: the worst, unit, tooltip)
COLUMNS = (
    ("vertices", "Vertices", "desc", "", "vertices of all parts"),
    ("triangles", "Triangles", "desc", "", "triangles of all parts"),
    ("parts", "Parts", "desc", "", "parts: one per opaque island"),
    ("min_angle", "Min angle", "asc", "\u00b0", "smallest angle of any triangle, degrees"),
    ("overdraw", "Overdraw", "desc", " %",
     "share of the pixels the mesh covers that are transparent: drawn for nothing"),
    ("coverage", "Coverage", "asc", " %", "share of the opaque pixels the mesh covers"),
    ("warnings", "Warnings", "desc", "", "number of warnings"),
)


def figures(q: Mapping[str, Any], mesh: Any, preview_size: tuple[int, int] | None,
            empty: bool = False) -> dict[str, Any]:
    """A sprite's figures for the page, from its quality report `q`
    (`quality.quality`): counts, smallest angle, overdraw (the share of the
    covered pixels that are transparent), coverage (the share of opaque
    pixels covered) and warnings: the mesher's own (`SpriteMesh.warnings`),
    then what the report shows (opaque pixels left out, slivers)."""
    warnings = [str(w) for w in (getattr(mesh, "warnings", None) or [])]
    f: dict[str, Any] = {"vertices": q["vertices"], "triangles": q["triangles"], "parts": q["parts"],
                         "min_angle": _round(q.get("min_angle")), "overdraw": None, "coverage": None}
    if "opaque_pixels" in q:
        cov, n = q["covered_pixels"], q["opaque_pixels"]
        f["overdraw"] = _round(100.0 * q["transparent_covered"] / cov if cov else 0.0)
        f["coverage"] = _round(100.0 * q["opaque_covered"] / n if n else 100.0)
        missed = n - q["opaque_covered"]
        if missed > 0:
            warnings.append(f"{missed} opaque pixel(s) not covered by the mesh")
    slivers = q["min_angle_histogram"][0] if q["min_angle_bins"][1] == SLIVER_DEG else 0
    if slivers and slivers >= SLIVER_SHARE * q["triangles"]:
        warnings.append(f"{slivers} of {q['triangles']} triangles are slivers "
                        f"(smallest angle under {SLIVER_DEG:g} degrees)")
    f["warnings"] = warnings
    f["empty"] = bool(empty)
    if preview_size:
        f["preview_size"] = [int(preview_size[0]), int(preview_size[1])]
    return f


def _round(x: float | None) -> float | None:
    return None if x is None else round(float(x), 2)


def _num(value: Any, unit: str = "") -> str:
    if value is None:
        return "\u2013"
    if isinstance(value, float):
        return f"{value:.1f}{unit}"
    return f"{value}{unit}"


def _row(r: Mapping[str, Any]) -> str:
    e = html.escape
    f = r.get("figures") or {}
    status = r["status"]
    warnings = list(f.get("warnings", ()))
    attrs = [f'data-name="{e(r["name"].lower())}"', f'data-status="{status}"']
    cells = []
    if r.get("preview") and f.get("preview_size"):
        w, h = f["preview_size"]
        s = min(1.0, THUMB / max(w, h, 1))
        cells.append(f'<td class="t"><a href="{e(_url(r.get("full") or r["preview"]))}" '
                     f'title="full preview"><img loading="lazy" src="{e(_url(r["preview"]))}" '
                     f'width="{max(1, round(w * s))}" height="{max(1, round(h * s))}" alt=""></a></td>')
    else:
        cells.append('<td class="t"></td>')
    cells.append(f'<td class="n" title="{e(r.get("source") or r["name"])}">{e(r["name"])}</td>'
                 f'<td class="s {status}">{status}</td>')
    for key, _, _, unit, _ in COLUMNS:
        value = len(warnings) if key == "warnings" else f.get(key)
        if value is not None:
            attrs.append(f'data-{key.replace("_", "-")}="{value}"')
        if key != "warnings":
            cells.append(f"<td>{_num(value, unit)}</td>")
    notes = ([r["message"]] if r.get("message") else []) + warnings
    cells.append("<td class=\"w\">" + "".join(f"<p>{e(n)}</p>" for n in notes) + "</td>")
    return f"<tr {' '.join(attrs)}>{''.join(cells)}</tr>"


def _url(rel: str) -> str:
    from urllib.parse import quote

    return quote(rel.replace(os.sep, "/"))


def render(rows: Iterable[Mapping[str, Any]], settings: str = "", version: str = "") -> str:
    """The page's HTML for `rows` (in the order given)."""
    rows = list(rows)
    n_failed = sum(r["status"] == "failed" for r in rows)
    n_empty = sum(r["status"] == "empty" for r in rows)
    n_warn = sum(bool((r.get("figures") or {}).get("warnings")) for r in rows)
    n_done = len(rows) - n_failed - n_empty
    stamp = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M")
    heads = "".join(f'<th><button data-key="{k.replace("_", "-")}" data-first="{first}" '
                    f'title="{tip}">{h}</button></th>' for k, h, first, _, tip in COLUMNS if k != "warnings")
    filters = "".join(
        f'<button data-filter="{k}" aria-pressed="{str(k == "all").lower()}">{label} ({n})</button>'
        for k, label, n in (("all", "All", len(rows)), ("failed", "Failures", n_failed),
                            ("empty", "Empty", n_empty), ("warnings", "Warnings", n_warn)))
    body = "\n".join(_row(r) for r in rows)
    return _PAGE.format(
        title=html.escape(f"vellumcut: {len(rows)} sprites"),
        summary=html.escape(f"{len(rows)} sprites: {n_done} done, {n_empty} empty, {n_failed} failed; "
                            f"{n_warn} with warnings."),
        settings=html.escape(settings), meta=html.escape(f"vellumcut {version}, {stamp}"),
        filters=filters, heads=heads,
        warn_head='<th><button data-key="warnings" data-first="desc">Warnings</button> / messages</th>',
        body=body, css=_CSS, script=_SCRIPT)


def write(out_dir: str | os.PathLike, rows: Iterable[Mapping[str, Any]], settings: str = "",
          version: str = "") -> Path:
    """Write `OUT/index.html`; returns its path."""
    path = Path(out_dir) / NAME
    tmp = path.with_name("." + NAME + ".part")
    tmp.write_text(render(rows, settings, version), encoding="utf-8")
    os.replace(tmp, path)
    return path


def settings_line(mode: str, params: Mapping[str, Any]) -> str:
    """`mode mesh: preset deform; interior quality, spacing auto, ...`: the values used."""
    from vellumcut.quality import settings_text

    return f"mode {mode}: {settings_text(dict(params))}"


_CSS = """
body{font:14px/1.4 system-ui,sans-serif;margin:0 1.5em 2em;color:#222;background:#fafafa}
h1{font-size:1.3em;margin:.8em 0 .2em}
header p{margin:.2em 0}.meta,.set{color:#666;font-size:.9em}
nav{margin:.8em 0}nav button{margin-right:.4em}
button{font:inherit;cursor:pointer;border:1px solid #bbb;background:#fff;border-radius:4px;padding:.15em .6em}
nav button[aria-pressed=true]{background:#234;color:#fff;border-color:#234}
table{border-collapse:collapse;background:#fff}
th{position:sticky;top:0;background:#eee;text-align:left;padding:.3em .4em;white-space:nowrap}
th button{border:0;background:none;padding:0;font-weight:bold}
th[aria-sort=ascending] button:after{content:" \\25B2"}th[aria-sort=descending] button:after{content:" \\25BC"}
td{border-top:1px solid #e4e4e4;padding:.3em .4em;text-align:right;vertical-align:middle}
td.n,td.w,td.s{text-align:left}td.n{white-space:nowrap}
td.t{width:96px;height:40px;text-align:center;padding:2px}td.t img{display:block;margin:auto;image-rendering:pixelated}
td.w{font-size:.9em;max-width:34em}td.w p{margin:0}
td.failed{color:#b00;font-weight:bold}td.empty{color:#a60;font-weight:bold}
tr[data-status=failed] td.w{color:#b00}
"""

_SCRIPT = """
(function () {
  var tbody = document.querySelector("#sprites tbody");
  var rows = Array.prototype.slice.call(tbody.rows);
  var heads = document.querySelectorAll("#sprites th button[data-key]");
  function value(row, key) {
    var v = row.getAttribute("data-" + key);
    return v === null ? null : parseFloat(v);
  }
  function sortBy(button) {
    var key = button.getAttribute("data-key"), th = button.parentNode;
    var first = button.getAttribute("data-first") === "asc" ? "ascending" : "descending";
    var current = th.getAttribute("aria-sort");
    var order = current === first ? (first === "ascending" ? "descending" : "ascending") : first;
    var sign = order === "ascending" ? 1 : -1;
    Array.prototype.forEach.call(heads, function (b) { b.parentNode.removeAttribute("aria-sort"); });
    th.setAttribute("aria-sort", order);
    // Rows without the figure (failed files) go last whichever way.
    rows.sort(function (a, b) {
      var x = value(a, key), y = value(b, key);
      if (x === null || y === null) { return (x === null) - (y === null); }
      return sign * (x - y);  // Array.prototype.sort is stable: ties keep their order
    });
    var frag = document.createDocumentFragment();
    rows.forEach(function (r) { frag.appendChild(r); });
    tbody.appendChild(frag);
  }
  function show(filter) {
    rows.forEach(function (r) {
      var keep = filter === "all" ||
        (filter === "warnings" ? value(r, "warnings") > 0 : r.getAttribute("data-status") === filter);
      r.hidden = !keep;
    });
    Array.prototype.forEach.call(document.querySelectorAll("nav button"), function (b) {
      b.setAttribute("aria-pressed", String(b.getAttribute("data-filter") === filter));
    });
  }
  Array.prototype.forEach.call(heads, function (b) {
    b.addEventListener("click", function () { sortBy(b); });
  });
  Array.prototype.forEach.call(document.querySelectorAll("nav button"), function (b) {
    b.addEventListener("click", function () { show(b.getAttribute("data-filter")); });
  });
})();
"""

_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<link rel="icon" href="data:,">
<style>{css}</style>
</head>
<body>
<header>
<h1>{title}</h1>
<p id="summary">{summary} Click a column to sort (worst first), a thumbnail for the full preview.</p>
<p class="set">{settings}</p>
<p class="meta">{meta}</p>
<nav id="filters">{filters}</nav>
</header>
<table id="sprites">
<thead><tr><th>Preview</th><th>Sprite</th><th>Status</th>{heads}{warn_head}</tr></thead>
<tbody>
{body}
</tbody>
</table>
<script>{script}</script>
</body>
</html>
"""
