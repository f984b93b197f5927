"""Rig-ready sprites: a suggested skeleton and automatic bone weights.

    rigged = vellumcut.rig_sprite("hero.png")            # skeleton="auto"
    rigged.bones[3]          # Bone(name='left2', parent=2, head=(..), tail=(..))
    rigged.weights[0]        # (n_vertices, n_bones) float64, part 0

Frames: `Bone.head` and `Bone.tail` are in the frame of `Part.vertices`
(mask pixels, y down, margin included, integer values on pixel centres). A
skeleton *file* (the `"skeleton"` of the JSON export, or `skeleton=` given
as a path or dict) holds image pixels instead: origin at the image's
top-left corner, y down, so x_file = x_mask - border + 0.5.

The suggested skeleton follows each island's medial axis (traced by thinning
the meshed shape, lightly smoothed, with `skimage.morphology.skeletonize`;
the distance to the outline gives its thickness). Branches that stick out of the shape by less than its local
thickness are pruned (a bump of the outline gets no bone), the remaining
branches are split into chains where they bend, and every island's tree
hangs under one `root` bone at the thickest point of the largest island.

Weights are heat diffusion weights (Baran and Popovic 2007) over the mesh:
each vertex is attached to its nearest bone, nearness being measured inside
the shape (along the mesh's edges from where the bone crosses the mesh), and
the attachment diffuses through the cotangent Laplacian (libigl) solved with
one sparse factorisation (SciPy). Distances inside the shape keep an arm
hanging beside the torso free of the torso's bones across the gap.
"""
from __future__ import annotations

import json
import math
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Optional, Union

import numpy as np

from vellumcut.meshes import Part, SpriteMesh

MAX_BONES = 24
MAX_INFLUENCES = 4
#: Weights below this are dropped before the others are renormalised: they
#: move nothing visibly and would only add influences.
MIN_WEIGHT = 0.01
#: Attachment to the nearest bone saturates within this fraction of the
#: local thickness (see `_part_weights`).
HEAT_FLOOR = 0.5
#: The skeleton is traced on a raster of the meshed shape this many pixels
#: on its longer side (small sprites are enlarged at most 4 times, large
#: ones reduced): the axis then looks the same whatever the sprite's size.
TRACE_SIDE = 256
#: Blur (raster pixels) of the traced shape before its axis is taken.
SMOOTH_SIGMA = 1.5
#: A chain is split where its medial axis turns by more than this (degrees).
BEND_DEGREES = 30.0
DIRECTIONS = ("right", "down_right", "down", "down_left", "left", "up_left", "up", "up_right")


@dataclass(frozen=True)
class Bone:
    """One bone: `parent` is the index of an earlier bone, None for the root;
    `head` and `tail` are (x, y) in the frame of `Part.vertices`."""

    name: str
    parent: Optional[int]
    head: tuple[float, float]
    tail: tuple[float, float]

    @property
    def length(self) -> float:
        return math.hypot(self.tail[0] - self.head[0], self.tail[1] - self.head[1])


class SkeletonError(ValueError):
    """A skeleton that cannot be used; `bone` and `field` say where (None when
    the problem is with the document as a whole)."""

    def __init__(self, message: str, bone: Optional[str] = None, field: Optional[str] = None) -> None:
        super().__init__(message)
        self.bone = bone
        self.field = field


@dataclass
class RiggedSprite:
    """A `SpriteMesh` with bones and per-part weights.

    `weights[i]` is a float64 array (len(mesh.parts[i].vertices), len(bones)):
    every row is at least 0, sums to 1 and has at most `max_influences`
    non-zero entries. Attributes of the mesh (`parts`, `source`,
    `image_width`, ...) are reachable here too, so a rigged sprite goes
    wherever a mesh goes (batches, previews, reports)."""

    mesh: SpriteMesh
    bones: list[Bone]
    weights: list[np.ndarray] = field(default_factory=list)
    skeleton: str = "auto"  # "auto" or "user"

    def __getattr__(self, name: str) -> Any:
        if name in ("mesh", "bones", "weights", "skeleton") or name.startswith("__"):
            raise AttributeError(name)
        return getattr(self.mesh, name)

    @property
    def source(self) -> Optional[str]:
        return self.mesh.source

    @source.setter
    def source(self, value: Optional[str]) -> None:
        self.mesh.source = value

    def influences(self) -> np.ndarray:
        """Non-zero weights of every vertex, all parts in order."""
        if not self.weights:
            return np.zeros(0, np.int64)
        return np.concatenate([np.count_nonzero(w, axis=1) for w in self.weights])

    def skeleton_dict(self) -> dict[str, Any]:
        """The skeleton in the file layout (image pixels, parents by name)."""
        return skeleton_to_dict(self.bones, self.mesh.border)


# --- the call -------------------------------------------------------------------


def _count(name: str, value: Any) -> int:
    """A whole number of at least 1 (numpy's integers too), or TypeError/ValueError naming it."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return int(value)


def rig_sprite(image: Any, *, skeleton: Union[str, os.PathLike, Mapping, None] = "auto",
               max_bones: int = MAX_BONES, max_influences: int = MAX_INFLUENCES,
               preset: Optional[str] = None, **mesh_options: Any) -> RiggedSprite:
    """Mesh a sprite (`mesh_sprite` with its options and presets), suggest a
    skeleton or read one, and weigh every vertex. Without a preset the
    interior defaults to "quality" (with spacing "auto", which sizes the
    triangles to each island), since weights need interior vertices; a
    preset ("deform" suits rigs) decides it like any option not given.

    `skeleton`: "auto" (suggested from the shape, at most `max_bones`
    bones), or a path or dict in the layout the JSON export writes:
    {"bones": [{"name", "parent" (a name or null), "head": [x, y],
    "tail": [x, y]}, ...]} in image pixels (top-left origin, y down); a whole
    exported JSON document is read for its "skeleton". Bones may lie partly
    or wholly outside the mesh. `max_influences`: non-zero weights per vertex.

    Raises SkeletonError (a ValueError) naming the bone and field for a bad
    skeleton, ValueError for a bad option, and what `mesh_sprite` raises.
    """
    from vellumcut import presets
    from vellumcut.sprite import mesh_sprite

    mb = _count("max_bones", max_bones)
    mi = _count("max_influences", max_influences)
    if skeleton is None:
        skeleton = "auto"
    user = None
    if not (isinstance(skeleton, str) and skeleton == "auto"):
        user = read_skeleton(skeleton)  # before meshing: a bad file fails fast
    options = dict(mesh_options)
    if preset is None:
        options.setdefault("interior", "quality")
    mesh = mesh_sprite(image, **presets.resolve(preset, options))
    if preset is not None:
        mesh.params = {"preset": preset, **mesh.params}
    mesh.params.update({"skeleton": "auto" if user is None else "user", "max_bones": mb,
                        "max_influences": mi})
    if user is None:
        bones = auto_skeleton(mesh, mb)
    else:
        bones = bones_from_dict(user, mesh.border)
    weights = bone_weights(mesh, bones, mi)
    return RiggedSprite(mesh, bones, weights, "auto" if user is None else "user")


# --- skeleton files ---------------------------------------------------------------


def _round(v: float) -> float:
    # Micro-pixels: enough for any sprite, and a file read back converts to
    # the same numbers (x - border + 0.5 and back is exact after rounding).
    r = round(float(v), 6)
    return r + 0.0


def skeleton_to_dict(bones: list[Bone], border: int) -> dict[str, Any]:
    """{"bones": [...]} in image pixels (texel-edge origin, y down)."""
    off = 0.5 - border
    out = []
    for b in bones:
        out.append({"name": b.name, "parent": None if b.parent is None else bones[b.parent].name,
                    "head": [_round(b.head[0] + off), _round(b.head[1] + off)],
                    "tail": [_round(b.tail[0] + off), _round(b.tail[1] + off)]})
    return {"bones": out}


def read_skeleton(source: Union[str, os.PathLike, Mapping]) -> dict[str, Any]:
    """The skeleton document of a path or dict, checked; SkeletonError if malformed."""
    if isinstance(source, Mapping):
        doc: Any = source
        where = "the skeleton"
    elif isinstance(source, (str, os.PathLike)):
        where = os.fspath(source)
        try:
            with open(where, encoding="utf-8") as f:
                doc = json.load(f)
        except OSError as exc:
            raise SkeletonError(f"skeleton file {where}: cannot be read ({exc.strerror or exc})") from None
        except ValueError as exc:
            raise SkeletonError(f"skeleton file {where}: not valid JSON ({exc})") from None
    else:
        raise TypeError("skeleton must be 'auto', a path or a dict, got " + type(source).__name__)
    if isinstance(doc, Mapping) and "bones" not in doc and isinstance(doc.get("skeleton"), Mapping):
        doc = doc["skeleton"]  # a whole JSON export
    if not isinstance(doc, Mapping) or not isinstance(doc.get("bones"), list):
        raise SkeletonError(f"{where}: expected an object with a list \"bones\"", None, "bones")
    if not doc["bones"]:
        raise SkeletonError(f"{where}: \"bones\" is empty; give at least one bone", None, "bones")
    seen: dict[str, int] = {}
    bones: list[dict[str, Any]] = []
    for i, raw in enumerate(doc["bones"]):
        label = f"bone {i}"
        if not isinstance(raw, Mapping):
            raise SkeletonError(f"{where}: {label} must be an object with name, parent, head and tail",
                                label, None)
        name = raw.get("name")
        if not isinstance(name, str) or not name.strip():
            raise SkeletonError(f"{where}: {label}: field \"name\" must be a non-empty string, got "
                                f"{name!r}", label, "name")
        label = f"bone {name!r}"
        if name in seen:
            raise SkeletonError(f"{where}: {label}: field \"name\" repeats bone {seen[name]}'s name",
                                name, "name")
        seen[name] = i
        if "parent" not in raw:
            raise SkeletonError(f"{where}: {label}: field \"parent\" is missing (null for the root)",
                                name, "parent")
        parent = raw["parent"]
        if parent is not None and not isinstance(parent, str):
            raise SkeletonError(f"{where}: {label}: field \"parent\" must be a bone name or null, "
                                f"got {parent!r}", name, "parent")
        points: list[list[float]] = []
        for key in ("head", "tail"):
            p: Any = raw.get(key)
            ok = (isinstance(p, (list, tuple)) and len(p) == 2
                  and all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                          for v in p))
            if not ok:
                raise SkeletonError(f"{where}: {label}: field \"{key}\" must be [x, y], two finite "
                                    f"numbers in image pixels, got {p!r}", name, key)
            points.append([float(p[0]), float(p[1])])
        bones.append({"name": name, "parent": parent, "head": points[0], "tail": points[1]})
    roots = [b["name"] for b in bones if b["parent"] is None]
    for b in bones:
        if b["parent"] is not None and b["parent"] not in seen:
            raise SkeletonError(f"{where}: bone {b['name']!r}: field \"parent\" names {b['parent']!r}, "
                                "which is no bone of the skeleton", b["name"], "parent")
        if b["parent"] == b["name"]:
            raise SkeletonError(f"{where}: bone {b['name']!r}: field \"parent\" names the bone itself",
                                b["name"], "parent")
    if len(roots) != 1:
        which = ", ".join(repr(r) for r in roots) if roots else "none"
        raise SkeletonError(f"{where}: exactly one bone must have \"parent\": null (the root); "
                            f"found {which}", roots[1] if len(roots) > 1 else None, "parent")
    # Parents before children (a file may list them in any order); a cycle
    # leaves bones that never become reachable from the root.
    by_parent: dict[Any, list[dict[str, Any]]] = {}
    for b in bones:
        by_parent.setdefault(b["parent"], []).append(b)
    ordered: list[dict] = []
    stack = list(reversed(by_parent[None]))
    while stack:
        b = stack.pop()
        ordered.append(b)
        stack += list(reversed(by_parent.get(b["name"], [])))
    if len(ordered) != len(bones):
        stuck = next(b["name"] for b in bones if b not in ordered)
        raise SkeletonError(f"{where}: bone {stuck!r}: field \"parent\" makes a cycle; parents must "
                            "lead to the root", stuck, "parent")
    return {"bones": ordered}


def bones_from_dict(doc: Mapping[str, Any], border: int) -> list[Bone]:
    """Bones of a checked skeleton document (`read_skeleton`), in mask pixels."""
    off = border - 0.5
    index: dict[str, int] = {}
    out: list[Bone] = []
    for b in doc["bones"]:
        index[b["name"]] = len(out)
        out.append(Bone(b["name"], None if b["parent"] is None else index[b["parent"]],
                        (_round(b["head"][0] + off), _round(b["head"][1] + off)),
                        (_round(b["tail"][0] + off), _round(b["tail"][1] + off))))
    return out


# --- the suggested skeleton ---------------------------------------------------------

_NEIGHBOURS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


@dataclass
class _Edge:
    a: int  # node ids
    b: int
    path: np.ndarray  # (k, 2) raster (row, col) from a to b
    radius: np.ndarray  # (k,) medial radius at each point

    @property
    def length(self) -> float:
        d = np.diff(self.path.astype(np.float64), axis=0)
        return float(np.hypot(d[:, 0], d[:, 1]).sum())


class _Graph:
    """The medial axis of one island as nodes (ends and junctions) and edges
    (pixel paths between them), in raster (row, col) coordinates."""

    def __init__(self) -> None:
        self.pos: dict[int, tuple[int, int]] = {}
        self.rad: dict[int, float] = {}
        self.edges: dict[int, _Edge] = {}
        self._next_node = 0
        self._next_edge = 0

    def node(self, rc: tuple[int, int], r: float) -> int:
        n = self._next_node
        self._next_node += 1
        self.pos[n], self.rad[n] = rc, r
        return n

    def edge(self, a: int, b: int, path: np.ndarray, radius: np.ndarray) -> int:
        e = self._next_edge
        self._next_edge += 1
        self.edges[e] = _Edge(a, b, path, radius)
        return e

    def incident(self, n: int) -> list[int]:
        return [e for e, ed in self.edges.items() if ed.a == n or ed.b == n]

    def degree(self, n: int) -> int:
        return sum((ed.a == n) + (ed.b == n) for ed in self.edges.values())

    def other(self, e: int, n: int) -> int:
        ed = self.edges[e]
        return ed.b if ed.a == n else ed.a

    def oriented(self, e: int, start: int) -> tuple[np.ndarray, np.ndarray]:
        ed = self.edges[e]
        if ed.a == start:
            return ed.path, ed.radius
        return ed.path[::-1], ed.radius[::-1]

    def dissolve(self, n: int) -> None:
        """Join the two edges of a node of degree 2 into one."""
        inc = self.incident(n)
        if len(inc) != 2 or inc[0] == inc[1]:
            return
        p1, r1 = self.oriented(inc[0], self.other(inc[0], n))  # ends at n
        p2, r2 = self.oriented(inc[1], n)  # starts at n
        a, b = self.other(inc[0], n), self.other(inc[1], n)
        del self.edges[inc[0]], self.edges[inc[1]]
        self.edge(a, b, np.concatenate([p1, p2[1:]]), np.concatenate([r1, r2[1:]]))
        del self.pos[n], self.rad[n]


def _trace_graph(skel: np.ndarray, dist: np.ndarray) -> _Graph:
    """Nodes and edges of a one-pixel-wide skeleton (8-connected)."""
    h, w = skel.shape
    pad = np.pad(skel, 1)
    deg = sum(pad[1 + dr:1 + dr + h, 1 + dc:1 + dc + w] for dr, dc in _NEIGHBOURS) * skel
    g = _Graph()
    # Junction clumps (adjacent pixels of degree >= 3) and ends become nodes.
    special = skel & (deg != 2)
    node_of = np.full(skel.shape, -1, np.int64)
    from scipy import ndimage  # type: ignore[import-untyped]

    lab, n_lab = ndimage.label(special, structure=np.ones((3, 3)))
    for k in range(1, n_lab + 1):
        rr, cc = np.nonzero(lab == k)
        best = int(np.argmax(dist[rr, cc]))
        node = g.node((int(rr[best]), int(cc[best])), float(dist[rr[best], cc[best]]))
        node_of[rr, cc] = node
    visited = np.zeros(skel.shape, bool)

    def walk(start_node: int, first: tuple[int, int], prev: tuple[int, int]) -> None:
        path = [prev, first]
        on_path = {prev, first}
        cur, back = first, prev
        while node_of[cur] < 0:
            visited[cur] = True
            ends, steps = [], []
            for dr, dc in _NEIGHBOURS:
                q = (cur[0] + dr, cur[1] + dc)
                if not (0 <= q[0] < h and 0 <= q[1] < w and skel[q]) or q == back or q in on_path:
                    continue
                if node_of[q] >= 0:
                    # Back into the starting clump only after a real loop.
                    if node_of[q] != start_node or len(path) > 3:
                        ends.append(q)
                elif not visited[q]:
                    steps.append(q)
            if ends:
                nxt = ends[0]
            elif steps:
                nxt = steps[0]
            else:
                return  # a spur inside a junction clump: no edge
            back, cur = cur, nxt
            path.append(cur)
            on_path.add(cur)
        arr = np.array(path, np.int64)
        g.edge(start_node, int(node_of[cur]), arr, dist[arr[:, 0], arr[:, 1]].astype(np.float64))

    starts = list(zip(*np.nonzero(node_of >= 0)))
    seen_pairs: set = set()
    for p in starts:
        p = (int(p[0]), int(p[1]))
        n = int(node_of[p])
        for dr, dc in _NEIGHBOURS:
            q = (p[0] + dr, p[1] + dc)
            if not (0 <= q[0] < h and 0 <= q[1] < w and skel[q]):
                continue
            if node_of[q] >= 0:
                if node_of[q] != n:
                    key = tuple(sorted((int(node_of[q]), n)))
                    if key not in seen_pairs:
                        seen_pairs.add(key)
                        arr = np.array([g.pos[key[0]], g.pos[key[1]]], np.int64)
                        g.edge(key[0], key[1], arr, dist[arr[:, 0], arr[:, 1]].astype(np.float64))
                continue
            if visited[q]:
                continue
            walk(n, q, p)
    # Loops without any junction or end (a ring): cut at their thickest pixel.
    rest = skel & ~visited & (node_of < 0)
    while rest.any():
        rr, cc = np.nonzero(rest)
        best = int(np.argmax(dist[rr, cc]))
        p = (int(rr[best]), int(cc[best]))
        n = g.node(p, float(dist[p]))
        node_of[p] = n
        visited[p] = True
        for dr, dc in _NEIGHBOURS:
            q = (p[0] + dr, p[1] + dc)
            if 0 <= q[0] < h and 0 <= q[1] < w and skel[q] and not visited[q]:
                walk(n, q, p)
                break
        rest = skel & ~visited & (node_of < 0)
    return g


def _prune(g: _Graph, keep: Optional[int] = None) -> None:
    """Remove leaf branches that stick out of the disc where they leave the
    rest by less than their own thickness: a bump of the outline is no limb. All
    such branches go at once, so the two spurs the medial axis sends into
    the corners of a limb's square end both go, and the limb ends in the
    middle; the longest stays when nothing else would."""
    while True:
        doomed = []
        for e, ed in g.edges.items():
            da, db = g.degree(ed.a), g.degree(ed.b)
            if ed.a == ed.b or (da == 1) == (db == 1):
                continue  # not a leaf branch (or the last branch of the island)
            tip, base = (ed.a, ed.b) if da == 1 else (ed.b, ed.a)
            if tip == keep:
                continue
            path, rad = g.oriented(e, base)
            # What sticks out of the disc at the base, and how thick it is there.
            out = np.hypot(*(path - path[0]).T.astype(np.float64)) > g.rad[base]
            protrusion = ed.length + g.rad[tip] - g.rad[base]
            thickness = 2.0 * float(np.median(rad[out])) if out.any() else math.inf
            if protrusion < thickness:
                doomed.append((protrusion, e))
        if not doomed:
            break
        if len(doomed) == len(g.edges):
            doomed.remove(max(doomed))
            if not doomed:
                break
        touched: set[int] = set()
        for _, e in doomed:
            ed = g.edges.pop(e)
            touched.update((ed.a, ed.b))
        for n in touched:
            if n not in g.pos:
                continue
            deg = g.degree(n)
            if deg == 0 and n != keep:
                del g.pos[n], g.rad[n]
            elif deg == 2 and n != keep:
                g.dissolve(n)


def _contract(g: _Graph, keep: Optional[int] = None) -> None:
    """Merge junctions joined by an edge shorter than their radius into one
    at its middle: thinning often splits one junction into two close ones,
    which would give a bone of a few pixels between them."""
    while True:
        short = None
        for e, ed in g.edges.items():
            if ed.a != ed.b and g.degree(ed.a) > 1 and g.degree(ed.b) > 1 \
                    and ed.length < 0.75 * max(g.rad[ed.a], g.rad[ed.b]):
                short = e
                break
        if short is None:
            return
        ed = g.edges.pop(short)
        a, b = (ed.a, ed.b) if ed.b != keep else (ed.b, ed.a)  # b goes, a stays
        k = len(ed.path) // 2
        mid = (int(ed.path[k][0]), int(ed.path[k][1]))
        if a != keep:  # the root stays where the thickest point is
            g.pos[a], g.rad[a] = mid, float(ed.radius[k])
        for e in g.incident(a) + g.incident(b):
            other = g.edges[e]
            for end in (a, b):
                path, rad = g.oriented(e, end)
                if (other.a == end or other.b == end) and tuple(path[0]) != g.pos[a]:
                    # Leave the merged junction's disc straight from its centre.
                    near = np.hypot(*(path - np.array(g.pos[a])).T.astype(np.float64)) < 0.75 * g.rad[a]
                    skip = min(int(np.argmin(near[1:])) + 1 if not near[1:].all() else len(path) - 1,
                               len(path) - 1)
                    path = np.concatenate([np.array([g.pos[a]], path.dtype), path[skip:]])
                    rad = np.concatenate([[g.rad[a]], rad[skip:]])
                    far = g.other(e, end)
                    del g.edges[e]
                    e = g.edge(a, a if far in (a, b) else far, path, rad)
                    other = g.edges[e]
                    break
            else:
                continue
        # Anything still naming b now names a.
        for e, other in g.edges.items():
            if other.a == b:
                other.a = a
            if other.b == b:
                other.b = a
        del g.pos[b], g.rad[b]


def _split_at(g: _Graph, rc: tuple[int, int]) -> int:
    """The node at raster pixel `rc`, splitting the edge through it if needed."""
    for n, p in g.pos.items():
        if p == rc:
            return n
    for e, ed in list(g.edges.items()):
        hit = np.flatnonzero((ed.path[:, 0] == rc[0]) & (ed.path[:, 1] == rc[1]))
        if len(hit) and hit[0] == 0:
            return ed.a  # a path starts on a pixel of its node's junction clump
        if len(hit) and hit[0] == len(ed.path) - 1:
            return ed.b
        if len(hit):
            k = int(hit[0])
            n = g.node(rc, float(ed.radius[k]))
            del g.edges[e]
            g.edge(ed.a, n, ed.path[:k + 1], ed.radius[:k + 1])
            g.edge(n, ed.b, ed.path[k:], ed.radius[k:])
            return n
    raise ValueError("pixel not on the skeleton")


def _tree_chains(g: _Graph, root: int) -> list[tuple[int, np.ndarray, np.ndarray, bool]]:
    """Edges directed away from `root`, parents first: (parent chain index or
    -1, path, radii, is_leaf). Edges closing a loop are cut in the middle and
    become two leaf branches."""
    import heapq

    best = {root: 0.0}
    via: dict[int, int] = {}
    heap = [(0.0, root)]
    while heap:
        d, n = heapq.heappop(heap)
        if d > best.get(n, math.inf):
            continue
        for e in g.incident(n):
            m = g.other(e, n)
            nd = d + g.edges[e].length
            if nd < best.get(m, math.inf):
                best[m], via[m] = nd, e
                heapq.heappush(heap, (nd, m))
    tree_edges = set(via.values())
    children: dict[int, list[tuple[np.ndarray, np.ndarray, Optional[int]]]] = {}
    for e, ed in g.edges.items():
        if e in tree_edges:
            child = ed.b if via.get(ed.b) == e else ed.a
            parent = g.other(e, child)
            path, rad = g.oriented(e, parent)
            children.setdefault(parent, []).append((path, rad, child))
        elif ed.a in best and ed.b in best:
            k = len(ed.path) // 2
            if ed.a == ed.b and k == 0:
                continue
            children.setdefault(ed.a, []).append((ed.path[:k + 1], ed.radius[:k + 1], None))
            children.setdefault(ed.b, []).append((ed.path[k:][::-1], ed.radius[k:][::-1], None))
    out: list[tuple[int, np.ndarray, np.ndarray, bool]] = []

    def visit(node: int, parent_chain: int) -> None:
        kids = children.get(node, [])
        # Stable order: by the direction the branch leaves in.
        kids.sort(key=lambda c: math.atan2(float(c[0][-1][0] - c[0][0][0]), float(c[0][-1][1] - c[0][0][1])))
        for path, rad, child in kids:
            if len(path) < 2:
                continue
            leaf = child is None or not children.get(child)
            out.append((parent_chain, path, rad, leaf))
            if child is not None:
                visit(child, len(out) - 1)

    visit(root, -1)
    return out


def _bends(points: np.ndarray, tol: float) -> list[int]:
    """Indices kept by Douglas-Peucker at `tol`, then merged where the turn
    between consecutive pieces is below BEND_DEGREES."""
    keep = [0, len(points) - 1]
    stack = [(0, len(points) - 1)]
    while stack:
        i, j = stack.pop()
        if j - i < 2:
            continue
        a, b = points[i], points[j]
        ab = b - a
        n = math.hypot(*ab)
        seg = points[i + 1:j] - a
        if n < 1e-9:
            d = np.hypot(seg[:, 0], seg[:, 1])
        else:
            d = np.abs(seg[:, 0] * ab[1] - seg[:, 1] * ab[0]) / n
        k = int(np.argmax(d))
        if d[k] > tol:
            keep.append(i + 1 + k)
            stack += [(i, i + 1 + k), (i + 1 + k, j)]
    keep.sort()
    changed = True
    while changed and len(keep) > 2:
        changed = False
        turns = []
        for t in range(1, len(keep) - 1):
            u = points[keep[t]] - points[keep[t - 1]]
            v = points[keep[t + 1]] - points[keep[t]]
            ang = abs(math.degrees(math.atan2(u[0] * v[1] - u[1] * v[0], u[0] * v[0] + u[1] * v[1])))
            turns.append((ang, t))
        ang, t = min(turns)
        if ang < BEND_DEGREES:
            del keep[t]
            changed = True
    return keep


def _direction(dx: float, dy: float) -> str:
    """Screen direction (y down) of a vector, one of DIRECTIONS."""
    ang = math.degrees(math.atan2(dy, dx)) % 360.0
    return DIRECTIONS[int(((ang + 22.5) % 360.0) // 45.0)]


@dataclass
class _Draft:
    head: np.ndarray
    tail: np.ndarray
    parent: Optional[int]
    chain: int  # chain id; the root is chain -1
    island: int


def _island_rasters(mesh: SpriteMesh) -> tuple[list[np.ndarray], list[tuple[int, int]], float, float]:
    """Per part: the boolean raster of its triangles (cropped), the crop's
    (row, col) origin; and the scale and offset from mask to raster pixels:
    raster = (mask + offset) * scale."""
    from vellumcut import raster

    pad = 2.0
    side = max(mesh.mask_width, mesh.mask_height) + 2 * pad
    scale = min(4.0, TRACE_SIDE / side)
    offset = pad + 0.5 - 0.5 / scale  # keeps pixel centres on centres when scale == 1
    out, origins = [], []
    for part in mesh.parts:
        if not len(part.triangles):
            out.append(np.zeros((0, 0), bool))
            origins.append((0, 0))
            continue
        pts = (part.vertices + offset) * scale
        lo = np.floor(pts.min(axis=0)).astype(int) - 2
        hi = np.ceil(pts.max(axis=0)).astype(int) + 3
        corners = (pts - lo)[part.triangles]
        lab = raster.labels(corners, int(hi[1] - lo[1]), int(hi[0] - lo[0]))
        out.append(lab >= 0)
        origins.append((int(lo[1]), int(lo[0])))
    return out, origins, scale, offset


def auto_skeleton(mesh: SpriteMesh, max_bones: int = MAX_BONES) -> list[Bone]:
    """The suggested skeleton of a mesh (see the module docstring for the
    steps and `name_bones` for the names)."""
    from scipy import ndimage  # type: ignore[import-untyped]
    from skimage.morphology import skeletonize

    masks, origins, scale, offset = _island_rasters(mesh)

    def to_mask(rc: np.ndarray, origin: tuple[int, int]) -> np.ndarray:
        rc = np.asarray(rc, np.float64).reshape(-1, 2)
        xy = np.column_stack((rc[:, 1] + origin[1], rc[:, 0] + origin[0]))
        return xy / scale - offset

    islands = []
    for i, m in enumerate(masks):
        if m.size == 0 or not m.any():
            continue
        # Staircase outlines (pixel art, upscaled art) send a spur of the
        # axis into every step; a light blur rounds the steps off first.
        smooth = (ndimage.gaussian_filter(m.astype(np.float32), SMOOTH_SIGMA) > 0.5) & m
        if not smooth.any():
            smooth = m
        skel = skeletonize(smooth)
        dist = ndimage.distance_transform_edt(smooth)
        islands.append((int(m.sum()), i, skel, dist))
    if not islands:
        c = np.array([mesh.mask_width / 2 - 0.5, mesh.mask_height / 2 - 0.5])
        return [Bone("root", None, (float(c[0]), float(c[1])), (float(c[0]), float(c[1] - 1.0)))]
    islands.sort(key=lambda t: (-t[0], t[1]))
    drafts: list[_Draft] = []
    chain_leaf: dict[int, bool] = {}
    chain_radius: dict[int, float] = {}
    next_chain = 0
    for rank, (_, i, skel, dist) in enumerate(islands):
        origin = origins[i]
        g = _trace_graph(skel, dist)
        # The thickest point of the island's axis roots its tree (a point
        # of the traced graph: junction clumps keep one pixel each).
        if g.edges:
            on = np.concatenate([ed.path for ed in g.edges.values()])
        elif g.pos:
            on = np.array(list(g.pos.values()), np.int64)
        else:
            on = np.argwhere(skel)[:1]
        k = int(np.argmax(dist[on[:, 0], on[:, 1]]))
        top = (int(on[k, 0]), int(on[k, 1]))
        found = _split_at(g, top) if g.edges else next((n for n, p in g.pos.items() if p == top), None)
        root_node = g.node(top, float(dist[top])) if found is None else found
        _prune(g, keep=root_node)
        _contract(g, keep=root_node)
        root_xy = to_mask(np.array(g.pos[root_node]), origin)[0]
        r_root = float(g.rad[root_node]) / scale
        if rank == 0:
            # The root bone: at the thickest point, pointing up, inside the disc there.
            length = max(0.75 * r_root, 0.5)
            drafts.append(_Draft(root_xy, root_xy + (0.0, -length), None, -1, 0))
        chains = _tree_chains(g, root_node)
        if len([c for c in chains if c[0] < 0]) == 1:
            # The thickest point ends the axis (a big head on a thin body):
            # a leaf bone reaches from it to the outline, away from the rest.
            path = chains[0][1]
            away = path[0].astype(np.float64) - path[min(len(path) - 1, 4)]
            n = math.hypot(*away)
            if n > 1e-9:
                end = path[0] + away / n * 0.8 * float(g.rad[root_node])
                chains.insert(0, (-1, np.array([path[0], end]), np.full(2, g.rad[root_node]), False))
                chains = [(p + 1 if p >= 0 else p, pa, ra, lf) if k > 0 else (p, pa, ra, lf)
                          for k, (p, pa, ra, lf) in enumerate(chains)]
        if not chains and rank > 0:
            # A blob without branches (a round island): one short bone.
            length = max(0.75 * r_root, 0.5)
            chains_bones = [(root_xy, root_xy + (0.0, -length))]
            drafts.append(_Draft(chains_bones[0][0], chains_bones[0][1], 0, next_chain, rank))
            chain_leaf[next_chain] = True
            chain_radius[next_chain] = r_root
            next_chain += 1
            continue
        chain_last: dict[int, int] = {}
        for ci, (parent_chain, path, rad, leaf) in enumerate(chains):
            pts = to_mask(path, origin)
            r = rad / scale
            if leaf and len(pts) > 2:
                # The axis often hooks into a corner in its last disc: cut
                # that off; the tip is pushed out to the outline below.
                far = np.hypot(*(pts - pts[-1]).T) > r
                k = int(np.flatnonzero(far)[-1]) if far.any() else 0
                pts, r = pts[:max(k, 1) + 1], r[:max(k, 1) + 1]
            tol = max(1.0, 0.5 * float(np.median(r)))
            cuts = _bends(pts, tol)
            if leaf:
                # The medial axis stops a radius short of a limb's end: reach on.
                d = pts[cuts[-1]] - pts[cuts[-2]]
                n = math.hypot(*d)
                if n > 1e-9:
                    pts = pts.copy()
                    pts[cuts[-1]] = pts[cuts[-1]] + d / n * 0.8 * float(r[-1])
            parent = 0 if parent_chain < 0 else chain_last[parent_chain]
            cid = next_chain
            next_chain += 1
            chain_leaf[cid] = leaf
            chain_radius[cid] = float(np.median(r))
            for a, b in zip(cuts, cuts[1:]):
                drafts.append(_Draft(pts[a], pts[b], parent, cid, rank))
                parent = len(drafts) - 1
            chain_last[ci] = parent
    drafts = _merge_to(drafts, max_bones)
    return name_bones(drafts, {rank: i for rank, (_, i, _, _) in enumerate(islands)})


def _merge_to(drafts: list[_Draft], max_bones: int) -> list[_Draft]:
    """Merge the shortest bones into their chain neighbours (or drop a
    one-bone branch) until at most `max_bones` remain."""
    bones = list(drafts)
    while len(bones) > max(max_bones, 1):
        lengths = [math.inf if b.parent is None else float(np.hypot(*(b.tail - b.head))) for b in bones]
        k = int(np.argmin(lengths))
        b = bones[k]
        kids = [j for j, c in enumerate(bones) if c.parent == k]
        same = [j for j in kids if bones[j].chain == b.chain]
        assert b.parent is not None
        pred = bones[b.parent] if bones[b.parent].chain == b.chain else None
        if pred is not None:
            pred.tail = b.tail
            new_parent = b.parent
        elif same:
            succ = bones[same[0]]
            succ.head = b.head
            succ.parent = b.parent
            new_parent = same[0]
        else:
            new_parent = b.parent
        for j in kids:
            if bones[j].parent == k:
                bones[j].parent = new_parent
        del bones[k]
        for c in bones:
            if c.parent is not None and c.parent > k:
                c.parent -= 1
    # Parents first (a successor that took its predecessor's place may now
    # come after its own children).
    order: list[int] = []
    kids_of: dict[Optional[int], list[int]] = {}
    for j, c in enumerate(bones):
        kids_of.setdefault(c.parent, []).append(j)
    stack = list(reversed(kids_of.get(None, [])))
    while stack:
        j = stack.pop()
        order.append(j)
        stack += list(reversed(kids_of.get(j, [])))
    new_index = {old: new for new, old in enumerate(order)}
    out = []
    for old in order:
        c = bones[old]
        out.append(_Draft(c.head, c.tail, None if c.parent is None else new_index[c.parent], c.chain, c.island))
    return out


def name_bones(drafts: list[_Draft], islands: Mapping[int, int]) -> list[Bone]:
    """Readable, stable names. `root`; a chain of bones is named after the
    screen direction from its start to its end (`up`, `up_right`, `right`,
    `down_right`, `down`, `down_left`, `left`, `up_left`) and its bones are
    numbered outwards from 1 (`left1`, `left2`). A chain that carries on in
    its parent's direction from the parent's last bone continues its name
    and numbering (`down1`, `down2`); any other chain hanging from a bone
    other than the root starts with that bone's direction and number
    (`down1-down_right1`: going down-right from the end of `down1`). A name
    already taken gets `_b`, `_c`, ...; chains of islands other than the
    largest start with `islandN-`, N being the part's index in
    `mesh.parts`. Names use letters, digits, `_` and `-` only, which every
    format and editor accepts."""
    chain_bones: dict[int, list[int]] = {}
    for j, d in enumerate(drafts):
        if d.parent is not None:
            chain_bones.setdefault(d.chain, []).append(j)
    # chain -> (name, token, first number)
    named: dict[int, tuple[str, str, int]] = {}
    short: dict[int, str] = {}  # bone -> its token and number, for children's prefixes
    used: set[str] = {"root"}
    continued: set[int] = set()
    names: list[str] = []
    for j, d in enumerate(drafts):
        if d.parent is None:
            names.append("root")
            continue
        if d.chain not in named:
            members = chain_bones[d.chain]
            start, end = drafts[members[0]].head, drafts[members[-1]].tail
            token = _direction(float(end[0] - start[0]), float(end[1] - start[1]))
            parent = drafts[d.parent]
            island = f"island{islands[d.island]}-" if d.island > 0 else ""
            pchain = parent.chain
            if (parent.parent is not None and pchain in named and named[pchain][1] == token
                    and chain_bones[pchain][-1] == d.parent and d.parent not in continued):
                continued.add(d.parent)
                name, _, first = named[pchain]
                named[d.chain] = (name, token, first + len(chain_bones[pchain]))
            else:
                prefix = island + ("" if parent.parent is None else short[d.parent] + "-")
                name, k = prefix + token, 0
                while any(f"{name}{n}" in used for n in range(1, len(members) + 1)):
                    k += 1
                    name = prefix + token + "_" + "bcdefghijklmnopqrstuvwxyz"[min(k - 1, 24)] \
                        + ("" if k <= 25 else str(k))
                named[d.chain] = (name, token, 1)
        name, token, first = named[d.chain]
        number = first + chain_bones[d.chain].index(j)
        names.append(f"{name}{number}")
        used.add(names[-1])
        short[j] = f"{name.rsplit('-', 1)[-1]}{number}"
    return [Bone(names[j], d.parent, (_round(d.head[0]), _round(d.head[1])),
                 (_round(d.tail[0]), _round(d.tail[1]))) for j, d in enumerate(drafts)]


# --- weights ------------------------------------------------------------------------


def _locate(part: Part, samples: np.ndarray, tree: Any) -> np.ndarray:
    """Index of a triangle holding each sample, or -1."""
    k = min(8, len(part.triangles))
    _, cand = tree.query(samples, k=k)
    cand = np.asarray(cand).reshape(len(samples), k)
    out = np.full(len(samples), -1, np.int64)
    c = part.vertices[part.triangles[cand]]  # (S, k, 3, 2)
    p = samples[:, None, :]
    a, b, d = c[..., 0, :], c[..., 1, :], c[..., 2, :]

    def cross(o: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
        return (u[..., 0] - o[..., 0]) * (v[..., 1] - o[..., 1]) - (u[..., 1] - o[..., 1]) * (v[..., 0] - o[..., 0])

    s1, s2, s3 = cross(a, b, p), cross(b, d, p), cross(d, a, p)
    eps = 1e-9
    inside = ((s1 >= -eps) & (s2 >= -eps) & (s3 >= -eps)) | ((s1 <= eps) & (s2 <= eps) & (s3 <= eps))
    hit = inside.any(axis=1)
    out[hit] = cand[hit, np.argmax(inside[hit], axis=1)]
    return out


def segment_distances(points: np.ndarray, bones: list[Bone]) -> np.ndarray:
    """(n_points, n_bones) Euclidean distance from each point to each bone's segment."""
    heads = np.array([b.head for b in bones], np.float64).reshape(-1, 2)
    d = np.array([b.tail for b in bones], np.float64).reshape(-1, 2) - heads
    den = np.einsum("ij,ij->i", d, d)
    rel = points[:, None, :] - heads[None, :, :]  # (n, m, 2)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = np.where(den > 1e-18, np.clip(np.einsum("nmj,mj->nm", rel, d) / den, 0.0, 1.0), 0.0)
    off = rel - t[..., None] * d[None, :, :]
    return np.hypot(off[..., 0], off[..., 1])


def inside_distances(part: Part, bones: list[Bone]) -> np.ndarray:
    """(n_vertices, n_bones): distance from each vertex to each bone measured
    inside the mesh: straight to the bone for the corners of triangles the
    bone crosses, then along mesh edges. A bone that misses the part is
    reached straight from the vertices nearest to it."""
    from scipy import sparse  # type: ignore[import-untyped]
    from scipy.sparse import csgraph  # type: ignore[import-untyped]
    from scipy.spatial import cKDTree  # type: ignore[import-untyped]

    v, f = part.vertices, part.triangles
    n, m = len(v), len(bones)
    e = np.concatenate([f[:, [0, 1]], f[:, [1, 2]], f[:, [2, 0]]])
    e = np.unique(np.sort(e, axis=1), axis=0)
    lengths = np.hypot(*(v[e[:, 0]] - v[e[:, 1]]).T)
    step = max(0.25, 0.5 * float(np.median(lengths))) if len(lengths) else 1.0
    # Points every half edge along every bone, all located at once.
    counts = [int(min(max(math.ceil(b.length / step), 1), 2000)) + 1 for b in bones]
    owner = np.repeat(np.arange(m), counts)
    t = np.concatenate([np.linspace(0.0, 1.0, c) for c in counts])
    heads = np.array([b.head for b in bones], np.float64)
    tails = np.array([b.tail for b in bones], np.float64)
    samples = heads[owner] + t[:, None] * (tails - heads)[owner]
    tri = _locate(part, samples, cKDTree(v[f].mean(axis=1)))
    hit = tri >= 0
    pairs = np.unique(np.column_stack((np.repeat(owner[hit], 3), f[tri[hit]].reshape(-1))), axis=0)
    d_all = segment_distances(v, bones)
    seeded = np.zeros(m, bool)
    seeded[pairs[:, 0]] = True
    extra = []
    for j in np.flatnonzero(~seeded):
        near = np.flatnonzero(d_all[:, j] <= d_all[:, j].min() + 2 * step)
        extra.append(np.column_stack((np.full(len(near), j), near)))
    if extra:
        pairs = np.concatenate([pairs] + extra)
    rows = np.concatenate([e[:, 0], e[:, 1], n + pairs[:, 0]])
    cols = np.concatenate([e[:, 1], e[:, 0], pairs[:, 1]])
    # csgraph reads a stored 0 as no edge: seeds on a bone get a hair above.
    vals = np.concatenate([lengths, lengths, d_all[pairs[:, 1], pairs[:, 0]] + 1e-9])
    graph = sparse.csr_matrix((vals, (rows, cols)), shape=(n + m, n + m))
    dist = csgraph.dijkstra(graph, directed=True, indices=np.arange(n, n + m))
    return dist[:, :n].T


def bone_weights(mesh: SpriteMesh, bones: list[Bone], max_influences: int = MAX_INFLUENCES) -> list[np.ndarray]:
    """Heat diffusion weights of every part's vertices: (n_vertices, n_bones)
    per part, each row at least 0, summing to 1, with at most
    `max_influences` non-zero entries."""
    return [_part_weights(p, bones, max_influences) for p in mesh.parts]


def _part_weights(part: Part, bones: list[Bone], max_influences: int) -> np.ndarray:
    import igl  # type: ignore[import-untyped]
    from scipy import sparse  # type: ignore[import-untyped]
    from scipy.sparse.linalg import splu  # type: ignore[import-untyped]

    n, m = len(part.vertices), len(bones)
    w = np.zeros((n, m))
    if n == 0 or m == 0:
        return w
    if m == 1 or not len(part.triangles):
        w[:, 0] = 1.0 if m == 1 else 0.0
        if m > 1:  # no triangles to diffuse over: the nearest bone takes each vertex
            w[:, 0] = 0.0
            w[np.arange(n), np.argmin(segment_distances(part.vertices, bones), axis=1)] = 1.0
        return w
    v = np.ascontiguousarray(part.vertices, np.float64)
    f = np.ascontiguousarray(part.triangles, np.int64)
    dist = inside_distances(part, bones)
    used = np.zeros(n, bool)
    used[f.reshape(-1)] = True
    d_min = dist.min(axis=1)
    # Nearest bone(s) per vertex; near-ties share the attachment.
    near = dist <= d_min[:, None] * 1.0001 + 1e-9
    p = near / near.sum(axis=1, keepdims=True)
    edge = np.hypot(*(v[f[:, 0]] - v[f[:, 1]]).T)
    floor = np.full(n, max(0.25 * float(np.median(edge)), 1e-3))
    if part.rings:
        # Vertices on a bone would be pinned to it alone, and weights would
        # switch at a joint; a floor of half the local thickness (distance to
        # the outline) blends them over about that width instead.
        from scipy.spatial import cKDTree  # type: ignore[import-untyped]

        rim = np.concatenate(part.rings)
        floor = np.maximum(floor, HEAT_FLOOR * cKDTree(v[rim]).query(v)[0])
    heat = np.where(used, 1.0 / np.maximum(d_min, floor) ** 2, 0.0)
    lap = -igl.cotmatrix(v, f)
    mass = igl.massmatrix(v, f, igl.MASSMATRIX_TYPE_VORONOI).diagonal()
    screen = mass * heat
    # Vertices no triangle uses have no mass: pin them to their nearest bone.
    lone = ~used | (mass <= 0)
    screen = np.where(lone, 1.0, screen)
    a = (sparse.csc_matrix(lap) + sparse.diags(screen)).tocsc()
    cols = np.flatnonzero(p.any(axis=0))
    rhs = screen[:, None] * p[:, cols]
    w[:, cols] = splu(a).solve(np.ascontiguousarray(rhs))
    return limit_influences(w, max_influences)


def limit_influences(w: np.ndarray, max_influences: int, min_weight: float = MIN_WEIGHT) -> np.ndarray:
    """Clip at 0, keep the `max_influences` largest weights of each row (and
    none below `min_weight` of the row's total), renormalise to sum 1."""
    w = np.clip(w, 0.0, None)
    n, m = w.shape
    if m > max_influences:
        drop = np.argpartition(-w, max_influences, axis=1)[:, max_influences:]
        np.put_along_axis(w, drop, 0.0, axis=1)
    total = w.sum(axis=1, keepdims=True)
    w = np.where(w < min_weight * total, 0.0, w)
    total = w.sum(axis=1, keepdims=True)
    empty = total[:, 0] <= 0
    if empty.any():  # cannot happen with a solved row, but a row must sum to 1
        w[empty, 0] = 1.0
        total = w.sum(axis=1, keepdims=True)
    return w / total


# --- linear blend skinning (previews, tests, figures) -------------------------------


def bone_matrices(bones: list[Bone], angles: Mapping[int, float]) -> np.ndarray:
    """(n_bones, 2, 3) affine maps of a pose: bone k rotated by angles[k]
    degrees (on screen, y down: positive turns clockwise) about its head,
    carrying its descendants along; bones not named keep their rest pose."""
    mats = np.zeros((len(bones), 3, 3))
    for k, b in enumerate(bones):
        local = np.eye(3)
        deg = angles.get(k, 0.0)
        if deg:
            c, s = math.cos(math.radians(deg)), math.sin(math.radians(deg))
            hx, hy = b.head
            rot = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
            local = np.array([[1, 0, hx], [0, 1, hy], [0, 0, 1.0]]) @ rot @ np.array(
                [[1, 0, -hx], [0, 1, -hy], [0, 0, 1.0]])
        mats[k] = local if b.parent is None else mats[b.parent] @ local
    return mats[:, :2, :]


def skin(vertices: np.ndarray, weights: np.ndarray, matrices: np.ndarray) -> np.ndarray:
    """Linear blend skinning of (n, 2) vertices: sum_k w_k (M_k v)."""
    hom = np.column_stack((vertices, np.ones(len(vertices))))
    moved = np.einsum("kij,nj->nki", matrices, hom)  # (n, k, 2)
    return np.einsum("nk,nki->ni", weights, moved)


# --- report -------------------------------------------------------------------------


def report(rigged: RiggedSprite) -> str:
    """Lines added to the quality report of a rigged sprite."""
    inf = rigged.influences()
    counts = np.bincount(inf, minlength=1) if len(inf) else np.zeros(1, np.int64)
    used = np.concatenate(rigged.weights).any(axis=0) if rigged.weights else np.zeros(len(rigged.bones), bool)
    lines = [f"skeleton: {rigged.skeleton}, {len(rigged.bones)} bone(s), root {rigged.bones[0].name!r}"]
    if len(inf):
        share = ", ".join(f"{k}: {int(n)}" for k, n in enumerate(counts) if k and n)
        lines.append(f"influences per vertex: mean {inf.mean():.2f}, max {int(inf.max())} ({share})")
    idle = [b.name for b, u in zip(rigged.bones, used) if not u]
    if idle:
        lines.append(f"bones that weigh no vertex: {', '.join(idle)}")
    return "\n".join(lines) + "\n"
