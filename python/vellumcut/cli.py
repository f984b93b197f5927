"""The `vellumcut` command line (also `python -m vellumcut`).

Subcommands come from `COMMANDS` (add one with `register_command`: its own
options, the mesher it runs) and `--format` from `vellumcut.export.FORMATS`
(`register_format`); options every subcommand takes and hands to the format
writers go in `EXPORT_OPTIONS`. Everything else (inputs, outputs, batches,
messages) is shared by every subcommand.
"""
from __future__ import annotations

import argparse
import difflib
import math
import os
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Sequence, TextIO

import vellumcut
from vellumcut import export, inputs, jobs, messages, overview, presets
from vellumcut.jobs import DONE, EMPTY, FAILED, SKIPPED, Job, Outcome
from vellumcut.manifest import Manifest, file_digest, options_key

EPILOG = """\
examples:
  vellumcut mesh hero.png                      mesh one sprite into ./vellumcut-out/hero.json:
                                               every opaque pixel covered, nothing clipped
  vellumcut mesh art/ -r -j 2 --preview        every image under art/, 2 processes; previews,
                                               reports and one overview page, vellumcut-out/index.html
  vellumcut mesh hero.png --preset deform -f spine
                                               even triangles for bones, as a Spine skeleton
  vellumcut mesh art/ -r --preset physics -f godot
                                               collision outlines: few vertices, holes filled
  vellumcut mesh art/ -r --preset render --max-vertices 64
                                               a preset with one of its values overridden
  vellumcut mesh glow.png --alpha-threshold 128
                                               leave out soft glows and the antialiased rim
  vellumcut mesh 'art/**/*.png' -f gltf --pivot bottom --filter nearest
                                               globs (quoted, ** recurses); binary glTF for Blender,
                                               Godot, three.js
  vellumcut rig hero.png -f gltf --preview     suggested skeleton and bone weights as a glTF skin;
                                               edit hero.json's "skeleton", then --skeleton hero.json
  vellumcut mesh art/ -r --dask 127.0.0.1:8786 files meshed on a Dask cluster's workers

presets (vellumcut mesh --preset NAME; options given explicitly win):
{presets}
the core's functions, exactly as their contract defines them (use them where a
pipeline expects those very results; they clip painted pixels):
  vellumcut outline   islands(): outer outlines through pixel centres
  vellumcut earcut    triangulate_png(): ear clipping, few vertices, thin triangles
  vellumcut poisson   poisson_png(): Poisson-disk mesh of the largest island only

Re-running a command skips inputs whose content, options and vellumcut
version match the manifest in the output folder (--force redoes them).

Coordinates in JSON are mask pixels (x right, y down, margin included, integer
values on pixel centres): outline, earcut and poisson trace through pixel
centres, mesh and rig along pixel edges (half-integers), so they never clip an
opaque pixel. UVs: u = (x - m + 0.5) / width, v = (y - m + 0.5) /
height, m = max(margin, 0), v = 0 at the top row. OBJ, glTF and Spine place
the sprite at (image pixels - pivot) / pixels-per-unit with y up; Godot keeps
y down. Defaults: OBJ and Godot top-left and 1, Spine centre and 1, glTF
centre and 100 (metres).

-q prints only failures, warnings and the summary line; -qq also drops the summary.

exit status: 0 when every input was meshed, 1 when any failed or gave an
empty mesh, 2 on bad usage (unknown option, bad value, unusable --out).
"""
EPILOG = EPILOG.replace("{presets}", "\n".join(
    f"  {name:<8} {presets.describe(name)}:\n           {presets.PRESET_HELP[name]}"
    for name in presets.PRESETS) + "\n")


# --- registries -----------------------------------------------------------------------


@dataclass(frozen=True)
class Option:
    """One command-line option: the arguments of `ArgumentParser.add_argument`."""

    flags: tuple[str, ...]
    kwargs: dict[str, Any] = field(default_factory=dict)

    def add(self, parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> str:
        return parser.add_argument(*self.flags, **self.kwargs).dest


@dataclass
class Command:
    """A subcommand: the mesher it runs and its own options, whose values
    (by `dest`) become the mesher's keyword parameters."""

    name: str
    help: str
    description: str
    options: list[Option] = field(default_factory=list)
    mode: str = ""  # name in vellumcut.MESHERS; the command's name when empty
    # Turns the parsed options into the mesher's parameters; by default each
    # option's dest and value.
    params: Callable[[argparse.Namespace, list[str]], dict[str, Any]] | None = None

    @property
    def mesher(self) -> str:
        return self.mode or self.name


COMMANDS: dict[str, Command] = {}
EXPORT_OPTIONS: list[Option] = []


def register_command(cmd: Command) -> Command:
    if cmd.name in COMMANDS:
        raise ValueError(f"command {cmd.name!r} is already registered")
    COMMANDS[cmd.name] = cmd
    return cmd


def number(cast: type, minimum: float | None = None, maximum: float | None = None) -> Callable[[str], Any]:
    """An argparse type: a finite `cast` (int or float) within the bounds."""

    def parse(text: str) -> Any:
        try:
            value = cast(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected {'a whole number' if cast is int else 'a number'}, got {text!r}") from None
        if isinstance(value, float) and not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
        if minimum is not None and value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum:g}, got {text}")
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum:g}, got {text}")
        return value

    parse.__name__ = cast.__name__  # argparse names the type in some messages
    return parse


INT32_MAX = 2**31 - 1

EPS_OPTION = Option(("--eps",), dict(
    type=number(float, 0.0, 3.4e38), default=vellumcut.EPS,
    help="outline simplification tolerance in pixels, 0 or more; poisson meshes the outline "
         "as traced and ignores it (default: %(default)s)"))
MARGIN_OPTION = Option(("--margin",), dict(
    type=number(int, -INT32_MAX - 1, INT32_MAX), default=vellumcut.MARGIN,
    help="transparent border in pixels added around the image (0 or less: none); coordinates "
         "include it, UVs remove it (default: %(default)s)"))

# `vellumcut mesh` (vellumcut.mesh_sprite): the options and helps of the
# mesher's own command, on the command registry. Its options default to
# UNSET, so that a preset fills in only those not given; the defaults shown
# and used are mesh_sprite's own.
UNSET: Any = type("Unset", (), {"__repr__": lambda self: "UNSET"})()

ALPHA_HELP = (
    "a pixel is opaque when its alpha is above A, 0..254 (default: 0). 0 keeps every visible "
    "pixel: soft glows, shadows and antialiased edges are meshed. 128 drops every pixel that is "
    "half transparent or more: on a painted 188 x 131 px character the mesh shrinks from 19,087 "
    "to 16,689 px^2 (its antialiased rim), on a sheet of explosions the opaque pixels from 2.30 "
    "to 0.70 million (smoke and glow). Raise it when faint pixels cost triangles that draw "
    "almost nothing")


def _number_or_auto(text: str) -> Any:
    if text.lower() in ("auto", "none"):
        return "auto"
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or auto, got {text!r}") from None


def _or_none(cast: type) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        if text.lower() == "none":
            return None
        try:
            return cast(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected {'a whole number' if cast is int else 'a number'} or none, got {text!r}") from None

    parse.__name__ = cast.__name__
    return parse


def mesh_defaults() -> dict[str, Any]:
    """`mesh_sprite`'s options and defaults, as the native mesher defines
    them: the values used when neither an option nor a preset gives one."""
    from vellumcut import sprite

    return dict(sprite.DEFAULTS)


def _mesh_params(args: argparse.Namespace, dests: list[str]) -> dict[str, Any]:
    """The mesher's parameters: the options given, then the preset's values,
    then mesh_sprite's defaults (with the preset's name first, when there is
    one); checked once before any file is read, by the mesher's own rules."""
    from vellumcut import _mesher
    from vellumcut.errors import OptionError

    preset = getattr(args, "preset", None)
    given = {d: getattr(args, d) for d in dests if d != "preset" and getattr(args, d) is not UNSET}
    try:
        chosen = presets.resolve(preset, given)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    defaults = mesh_defaults()
    params = {d: chosen.get(d, defaults.get(d)) for d in dests if d != "preset"}
    # A preset's budget grows to 3 per island; a budget given is strict.
    params["strict_budget"] = chosen.get("strict_budget", True)
    try:
        _mesher.validate(**params)
    except OptionError as exc:
        # In the command line's words: its flag and the value it had.
        value = params.get(exc.option, exc.value)
        shown = "none" if value is None else value
        raise UsageError(f"argument --{exc.option.replace('_', '-')}: {exc.requirement}, got {shown}") from None
    except TypeError as exc:
        raise UsageError(str(exc)) from None
    if preset is not None:
        params = {"preset": preset, **params}
    return params


def _mesh_options() -> list[Option]:
    from vellumcut import sprite

    d = mesh_defaults()

    def default(name: str) -> str:
        v = d[name]
        return "none" if v is None else str(v)

    preset_help = "; ".join(f"{n} ({presets.PRESET_HELP[n]}): {presets.describe(n)}"
                            for n in presets.PRESETS)
    return [
        Option(("--preset",), dict(
            choices=list(presets.PRESETS), default=None,
            help="fill in the options below for a job; options given explicitly win. "
                 f"{preset_help} (default: none, each option's own default)")),
        Option(("--alpha-threshold",), dict(
            type=int, default=UNSET, metavar="A", help=ALPHA_HELP)),
        Option(("--tolerance",), dict(
            type=float, default=UNSET, metavar="PX",
            help=f"how far outlines may stray outwards from the pixels (default: {default('tolerance')})")),
        Option(("--padding",), dict(
            type=float, default=UNSET, metavar="PX",
            help=f"mesh kept around every opaque pixel (default: {default('padding')})")),
        Option(("--max-vertices",), dict(
            type=_or_none(int), default=UNSET, metavar="N",
            help="at most N outline vertices for the whole sprite, islands and holes together; "
                 "at least 3 per island; interior points come on top (default: no cap)")),
        Option(("--interior",), dict(
            choices=sprite.INTERIORS, default=UNSET,
            help="none: outline vertices only; poisson: Poisson-disk interior points; "
                 f"quality: Triangle's quality refinement (default: {default('interior')})")),
        Option(("--spacing",), dict(
            type=_number_or_auto, default=UNSET, metavar="PX",
            help="interior point spacing (poisson) or triangle size bound (quality) in px, or auto: "
                 f"per island, sqrt(opaque pixels / 48), at least 4 (default: {default('spacing')})")),
        Option(("--min-angle",), dict(
            type=float, default=UNSET, metavar="DEG",
            help=f"smallest triangle angle of quality meshes, at most {sprite.MAX_MIN_ANGLE:g} "
                 f"(default: {default('min_angle')})")),
        Option(("--seed",), dict(
            type=_or_none(int), default=UNSET,
            help="seed of the Poisson points (default: a random one)")),
        Option(("--min-island-area",), dict(
            type=int, default=UNSET, metavar="PX",
            help=f"islands with fewer opaque pixels are dropped (default: {default('min_island_area')})")),
        Option(("--min-hole-area",), dict(
            type=int, default=UNSET, metavar="PX",
            help=f"holes with fewer transparent pixels are filled (default: {default('min_hole_area')})")),
        # Not MARGIN_OPTION: the core's functions keep their own default.
        Option(("--margin",), dict(
            type=int, default=UNSET, metavar="PX",
            help="transparent border in pixels added around the image (0 or less: none); coordinates "
                 f"include it, UVs remove it (default: {default('margin')})")),
    ]


register_command(Command(
    "mesh", "game-ready mesh of every island, no pixel clipped; presets render, deform, physics",
    "Mesh of every opaque island, outlines on pixel edges simplified outwards only, so no "
    "opaque pixel is clipped; optional padding, vertex budget and Poisson or quality interiors. "
    "Start from a preset (--preset render|deform|physics) and override what you need.",
    _mesh_options(), params=_mesh_params))

# The core's functions exactly as the contract defines them, for pipelines built
# on their results.
register_command(Command(
    "outline", "islands() exactly: outer outlines through pixel centres",
    "The core's islands() exactly: the outer outline of every opaque island (no holes, no "
    "triangles), through pixel centres. Use it where a pipeline expects these very outlines; "
    "for meshes to ship, use `vellumcut mesh`.",
    [EPS_OPTION, MARGIN_OPTION]))
register_command(Command(
    "earcut", "triangulate_png() exactly: ear clipping, thin triangles, clips pixels",
    "The core's triangulate_png() exactly: ear-clipping mesh of every opaque region, holes "
    "included: few vertices, long thin triangles, outlines through pixel centres that clip "
    "painted pixels. Use it where a pipeline expects these very meshes; for meshes to ship, "
    "use `vellumcut mesh`.",
    [EPS_OPTION, MARGIN_OPTION,
     Option(("--max-area", "--maxA"), dict(
         dest="maxA", type=number(float), default=vellumcut.MAXA,
         help="passed to triangulate_png as maxA; it currently has no effect (default: %(default)s)"))]))
register_command(Command(
    "poisson", "poisson_png() exactly: Poisson-disk mesh of the largest island only",
    "The core's poisson_png() exactly: constrained Delaunay mesh of the largest opaque island, "
    "holes included, with Poisson-disk samples inside. Interior vertices vary from run to run. "
    "Use it where a pipeline expects these very meshes; for every island, a vertex budget and "
    "a seed, use `vellumcut mesh --preset deform`.",
    [EPS_OPTION, MARGIN_OPTION,
     Option(("--rpx",), dict(
         type=number(int, 1, INT32_MAX), default=vellumcut.RPX,
         help="Poisson-disk radius in pixels, at least 1: spacing of the interior vertices "
              "(default: %(default)s)"))]))


# `vellumcut rig` (vellumcut.rig_sprite): the mesher's options, the interior
# defaulting to quality, and the skeleton's own.
RIG_ONLY = ("skeleton", "max_bones", "max_influences")


def _rig_params(args: argparse.Namespace, dests: list[str]) -> dict[str, Any]:
    """The rigger's parameters, checked before any file is read; a skeleton
    file is read here, so every worker gets its bones and the manifest keys
    on its content (an edited file redoes the batch)."""
    from vellumcut import rig, rig_export

    if args.format not in rig_export.WRITERS:
        raise UsageError(f"--format {args.format} carries no skeleton; vellumcut rig writes "
                         f"{', '.join(rig_export.WRITERS)}")
    params = _mesh_params(args, [d for d in dests if d not in RIG_ONLY])
    if getattr(args, "interior", UNSET) is UNSET and "preset" not in params:
        params["interior"] = "quality"  # weights need interior vertices
    for name in ("max_bones", "max_influences"):
        params[name] = getattr(args, name)
    if args.skeleton is not None:
        try:
            params["skeleton"] = rig.read_skeleton(args.skeleton)
        except rig.SkeletonError as exc:
            raise UsageError(f"--skeleton: {exc}") from None
    return params


def _rig_options() -> list[Option]:
    from vellumcut import rig

    mesh = [Option(o.flags, {**o.kwargs, "help": o.kwargs["help"].rsplit("(default:", 1)[0]
                             + "(default: quality, or the preset's)"}) if o.flags == ("--interior",) else o
            for o in _mesh_options()]
    return mesh + [
        Option(("--skeleton",), dict(
            default=None, metavar="FILE",
            help="bones to use instead of the suggested ones: a JSON file with {\"bones\": [{\"name\", "
                 "\"parent\", \"head\": [x, y], \"tail\": [x, y]}]} in image pixels (y down), such "
                 "as the \"skeleton\" of a JSON export, edited or not (default: suggest one)")),
        Option(("--max-bones",), dict(
            type=number(int, 1, INT32_MAX), default=rig.MAX_BONES, metavar="N",
            help="at most N suggested bones; the shortest merge first (default: %(default)s)")),
        Option(("--max-influences",), dict(
            type=number(int, 1, INT32_MAX), default=rig.MAX_INFLUENCES, metavar="K",
            help="bones weighing each vertex, at most (default: %(default)s)")),
    ]


register_command(Command(
    "rig", "mesh, suggested skeleton and bone weights (rig_sprite)",
    "Mesh every island as `vellumcut mesh` does (quality interior by default; --preset deform "
    "suits rigs), suggest a skeleton "
    "along the shape's axis (or read one with --skeleton) and weigh every vertex by its bones. "
    "Formats: json (skeleton and weights), gltf (skin), spine (weighted meshes), godot "
    "(Skeleton2D and bound Polygon2Ds).",
    _rig_options(), params=_rig_params))


def _checked(check: Callable[[Any], Any]) -> Callable[[str], str]:
    """An argparse type that validates with an export helper and keeps the text."""

    def parse(text: str) -> str:
        try:
            check(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        return text

    parse.__name__ = check.__name__
    return parse


# Placement and material options of the engine formats; each reaches only
# the writers that name it (export.FORMATS[...].options), and giving one to
# a format that does not take it is a usage error (see parse_args).
EXPORT_OPTIONS += [
    Option(("--pixels-per-unit",), dict(
        dest="pixels_per_unit", type=number(float, 0.0), default=None, metavar="N",
        help="image pixels per output unit, above 0 (obj, godot, gltf, spine; default: 100 for "
             "gltf, whose units are metres, 1 for the others)")),
    Option(("--pivot",), dict(
        type=_checked(export.parse_pivot), default=None, metavar="WHERE",
        help="origin of the output: center, bottom, top-left, or X,Y as fractions of the image "
             "from its top-left corner, y down (obj, godot, gltf, spine; default: center for "
             "gltf and spine, top-left for obj and godot)")),
    Option(("--filter",), dict(
        choices=export.GLTF_FILTERS, default=None,
        help="glTF texture filter: linear, or nearest for pixel art (default: linear)")),
    Option(("--alpha-mode",), dict(
        dest="alpha_mode", type=str.upper, choices=export.GLTF_ALPHA_MODES, default=None,
        help="glTF alpha: BLEND (default), MASK (cut at --alpha-cutoff) or OPAQUE")),
    Option(("--alpha-cutoff",), dict(
        dest="alpha_cutoff", type=number(float, 0.0, 1.0), default=None, metavar="A",
        help="glTF alpha below which MASK drops a texel, 0..1 (default: 0.5)")),
]


def check_export_options(args: argparse.Namespace, dests: list[str]) -> str | None:
    """Why the export options given do not fit the chosen format, or None."""
    fmt = export.FORMATS[args.format]
    for dest in dests:
        if getattr(args, dest, None) is None or dest in fmt.options:
            continue
        users = [f.name for f in export.FORMATS.values() if dest in f.options]
        names = ", ".join(users[:-1]) + " or " + users[-1] if len(users) > 1 else "".join(users)
        return f"--{dest.replace('_', '-')} applies to --format {names}, not {fmt.name}"
    # getattr: a registry without these options (tests, other front ends) has no such dests.
    ppu = getattr(args, "pixels_per_unit", None)
    if ppu is not None and ppu <= 0:
        return "--pixels-per-unit: pixels per unit must be a positive number"
    if getattr(args, "alpha_cutoff", None) is not None and getattr(args, "alpha_mode", None) != "MASK":
        return "--alpha-cutoff needs --alpha-mode mask"
    return None


# --- parser -----------------------------------------------------------------------------


class UsageError(Exception):
    """A problem with the command line itself: one line, exit status 2."""


def _batch_options(common: argparse.ArgumentParser) -> list[str]:
    """Options every subcommand takes; returns the dests of the export options."""
    common.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="image files, folders (their .png/.webp/.tif/.bmp files; with -r "
                             "their subfolders too) or glob patterns")
    g = common.add_argument_group("inputs and outputs")
    g.add_argument("-r", "--recursive", action="store_true",
                   help="walk folders recursively; outputs mirror the folder tree under --out")
    g.add_argument("-o", "--out", default="vellumcut-out", metavar="DIR",
                   help="output folder, created if needed (default: %(default)s)")
    names = ", ".join(f"{f.name} ({f.help})" for f in export.FORMATS.values())
    g.add_argument("-f", "--format", default="json", choices=list(export.FORMATS),
                   help=f"export format: {names}; default: %(default)s")
    dests = [opt.add(g) for opt in EXPORT_OPTIONS]
    g.add_argument("--preview", action="store_true",
                   help="also write NAME.preview.svg, NAME.preview.png and NAME.report.txt, and "
                        "the batch's overview page OUT/index.html")
    g.add_argument("--allow-empty", action="store_true",
                   help="accept and write meshes without any part (every island below the area "
                        "floor, ...) instead of warning and exiting 1")
    skip = g.add_mutually_exclusive_group()
    skip.add_argument("--skip-unchanged", dest="skip_unchanged", action="store_true", default=True,
                      help="skip inputs whose content, options and vellumcut version match the "
                           "output folder's manifest and whose outputs exist (the default)")
    skip.add_argument("--force", "--no-skip-unchanged", dest="skip_unchanged", action="store_false",
                      help="mesh every input again")
    b = common.add_argument_group("running")
    b.add_argument("-j", "--jobs", type=number(int, 1, 1024), default=None, metavar="N",
                   help="process N files at once in worker processes (default: 1)")
    b.add_argument("--dask", metavar="ADDRESS",
                   help="send the files to the Dask scheduler at ADDRESS (host:port); its workers "
                        "must see the same paths. Needs: pip install 'vellumcut[dask]'")
    bar = b.add_mutually_exclusive_group()
    bar.add_argument("--progress", dest="progress", action="store_true", default=None,
                     help="always show the progress bar (default: only when stderr is a terminal)")
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    b.add_argument("-q", "--quiet", action="count", default=0,
                   help="print only failures, warnings and the summary line; -qq: not the summary either")
    return dests


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser], dict[str, Any]]:
    """The parser, its subcommands' parsers, and the dests of each command's
    mesher options and of the export options."""
    parser = argparse.ArgumentParser(
        prog="vellumcut",
        description="Triangle meshes and outlines of the opaque part of RGBA sprites. Start with "
                    "`vellumcut mesh` (and a --preset); `vellumcut mesh --help` lists its options.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"vellumcut {vellumcut.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    subs: dict[str, argparse.ArgumentParser] = {}
    dests: dict[str, Any] = {}
    for cmd in COMMANDS.values():
        p = sub.add_parser(cmd.name, help=cmd.help, description=textwrap.fill(cmd.description),
                           epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
        dests["export"] = _batch_options(p)
        m = p.add_argument_group(f"{cmd.name} options")
        dests[cmd.name] = [opt.add(m) for opt in cmd.options]
        subs[cmd.name] = p
    subs[BLENDER_ADDON] = add_blender_addon_parser(sub)
    return parser, subs, dests


def parse_args(argv: Sequence[str] | None) -> tuple[argparse.Namespace, argparse.ArgumentParser, dict]:
    parser, subs, dests = build_parser()
    args, extra = parser.parse_known_args(argv)
    sub = subs[args.command]
    if args.command == BLENDER_ADDON:  # a tool, without the batch options
        if extra:
            sub.error("unrecognized arguments: " + " ".join(extra))
        return args, sub, dests
    if extra:
        # The top-level parser would answer with its own usage; the
        # subcommand's usage is the one that lists the option meant.
        known = [s for a in sub._actions for s in a.option_strings]
        hints = []
        for word in extra:
            close = difflib.get_close_matches(word.split("=")[0], known, n=1) if word.startswith("-") else []
            if close:
                hints.append(f"{word} (did you mean {close[0]}?)")
        sub.error("unrecognized arguments: " + ("; ".join(hints) if hints else " ".join(extra)))
    problem = check_export_options(args, dests["export"])
    if problem:
        sub.error(problem)
    if args.dask and args.jobs is not None:
        sub.error("--jobs and --dask exclude each other: --dask runs the files on the cluster's workers")
    return args, sub, dests


# --- output folder ---------------------------------------------------------------------------


def prepare_out(path: str) -> Path:
    """Create the output folder and check it takes files; UsageError if not."""
    out = Path(path)
    if out.exists() and not out.is_dir():
        raise UsageError(f"--out {path}: this is a file, not a folder; choose a folder "
                         "(it is created if missing)")
    try:
        out.mkdir(parents=True, exist_ok=True)
        fd, probe = tempfile.mkstemp(prefix=".vellumcut-probe-", dir=out)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise UsageError(f"--out {path}: cannot write there ({exc.strerror or exc}); choose a "
                         "folder you can write to") from None
    return out


# --- progress --------------------------------------------------------------------------------


class Progress:
    """A one-line progress bar on a stream (stderr), redrawn in place."""

    def __init__(self, total: int, stream: TextIO, enabled: bool) -> None:
        self.total, self.stream, self.enabled = total, stream, enabled and total > 0
        self.done = 0
        self.failed = 0
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

    def clear_line(self) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[K")

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


# --- main ----------------------------------------------------------------------------------------


def _executor(args: argparse.Namespace):
    """A context manager giving (executor or None, workers)."""
    import contextlib

    @contextlib.contextmanager
    def local():
        yield None, args.jobs or 1

    if not args.dask:
        return local()

    @contextlib.contextmanager
    def dask():
        try:
            from distributed import Client
        except ImportError:
            raise UsageError("--dask needs the distributed package: pip install 'vellumcut[dask]'") from None
        _check_reachable(args.dask)
        try:
            client = Client(args.dask, timeout="10s", set_as_default=False)
        except Exception as exc:  # noqa: BLE001 - OSError, TimeoutError, bad address
            raise UsageError(f"--dask {args.dask}: cannot reach the scheduler "
                             f"({messages.one_line(exc)})") from None
        try:
            yield client.get_executor(pure=False), 1
        finally:
            client.close()

    return dask()


def _check_reachable(address: str) -> None:
    """Fail at once on a plain TCP address nobody listens on, rather than
    after the client's connection timeout."""
    import socket

    text = address[len("tcp://"):] if address.startswith("tcp://") else address
    if "://" in text:
        return  # tls://, ucx://, ...: left to the client
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise UsageError(f"--dask {address}: expected HOST:PORT or tcp://HOST:PORT of a Dask scheduler")
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=5).close()
    except OSError as exc:
        raise UsageError(f"--dask {address}: cannot reach the scheduler "
                         f"({exc.strerror or messages.one_line(exc)})") from None


# --- blender-addon: the Blender add-on's installable zip ------------------------------------------

BLENDER_ADDON = "blender-addon"


def add_blender_addon_parser(sub: Any) -> argparse.ArgumentParser:
    p = sub.add_parser(BLENDER_ADDON, help="write the Blender add-on as an installable zip",
                       description=textwrap.fill(
                           "Write the Blender add-on (File > Import > Sprite as mesh) as a zip "
                           "to install in Blender (Edit > Preferences > Add-ons > Install). The "
                           "add-on meshes with the Python environment recorded in the zip "
                           "(this one by default) until its preferences name another."))
    p.add_argument("out", metavar="OUT.zip", help="the zip to write")
    p.add_argument("--python", metavar="PATH", default=None,
                   help="the interpreter of the environment the add-on uses (default: the one "
                        "running this command)")
    return p


def blender_addon(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from vellumcut_blender.bundle import write_addon_zip

    try:
        path = write_addon_zip(args.out, args.python)
    except (OSError, ValueError) as exc:
        err.write(f"vellumcut: error: {exc}\n")
        return 1
    out.write(f"wrote {path}: install it in Blender with Edit > Preferences > Add-ons > Install\n")
    return 0


def main(argv: Sequence[str] | None = None, stdout: TextIO | None = None,
         stderr: TextIO | None = None) -> int:
    out, err = stdout or sys.stdout, stderr or sys.stderr
    args, sub, dests = parse_args(argv)
    if args.command == BLENDER_ADDON:
        return blender_addon(args, out, err)
    try:
        return _run(args, dests, out, err)
    except UsageError as exc:
        err.write(f"vellumcut: error: {exc}\n")
        return 2
    except KeyboardInterrupt:
        # What finished is in the manifest (saved on the way out): a re-run
        # goes on from there.
        err.write("\nvellumcut: interrupted; files finished so far are kept and skipped next time\n")
        return 130


def _run(args: argparse.Namespace, dests: dict, out: TextIO, err: TextIO) -> int:
    """One run of a subcommand over its inputs, step by step."""
    run = _start(args, dests)
    _find_inputs(run, err)
    _open_manifest(run, err)
    _plan_jobs(run)
    _mesh_files(run, out, err)
    _write_overview_page(run, out)
    return _summarise(run, err)


@dataclass
class _Batch:
    """What the steps of `_run` hand on to each other."""

    args: argparse.Namespace
    cmd: Command
    params: dict[str, Any]
    export_options: dict[str, Any]
    out_dir: Path
    start: float
    found: inputs.Expansion | None = None
    failures: list[Outcome] = field(default_factory=list)  # before any job ran
    manifest: Manifest | None = None
    key: str = ""
    todo: list[tuple[Job, str | None, str]] = field(default_factory=list)  # (job, digest, rel)
    skipped: list[Outcome] = field(default_factory=list)
    results: list[Outcome] = field(default_factory=list)


def _start(args: argparse.Namespace, dests: dict) -> _Batch:
    """The command, its checked parameters, the export options and the output folder."""
    start = time.monotonic()
    cmd = COMMANDS[args.command]
    own = dests[cmd.name]
    params = cmd.params(args, own) if cmd.params else {d: getattr(args, d) for d in own}
    export_options = {d: getattr(args, d) for d in dests["export"]}
    return _Batch(args, cmd, params, export_options, prepare_out(args.out), start)


def _find_inputs(run: _Batch, err: TextIO) -> None:
    """The input files (the output folder left out); what cannot be an input fails."""
    run.found = inputs.expand(run.args.inputs, run.args.recursive, exclude=[str(run.out_dir)])
    for path, msg in run.found.warnings:
        err.write(f"warning: {path}: {msg}\n")
    run.failures = [Outcome(a, FAILED, m) for a, m in run.found.failures]


def _open_manifest(run: _Batch, err: TextIO) -> None:
    """The output folder's manifest and the key of this run's settings in it."""
    args = run.args
    settings = {"mode": run.cmd.mesher, "params": run.params, "format": args.format,
                "export_options": run.export_options, "preview": args.preview,
                "allow_empty": args.allow_empty}
    run.key = options_key(settings, vellumcut.__version__)
    run.manifest = Manifest(run.out_dir)
    if run.manifest.problem:
        err.write(f"warning: {run.manifest.path}: {run.manifest.problem}\n")


def _plan_jobs(run: _Batch) -> None:
    """A job per input, except inputs whose outputs clash or would overwrite an
    input (failures) and those the manifest holds unchanged (skipped)."""
    args, found, manifest = run.args, run.found, run.manifest
    assert found is not None and manifest is not None
    fmt = export.FORMATS[args.format]
    remote = bool(args.dask)
    owners: dict[str, list[inputs.Input]] = {}
    for inp in found.inputs:
        owners.setdefault(inp.rel, []).append(inp)
    source_keys = {os.path.abspath(i.path) for i in found.inputs}
    for inp in found.inputs:
        clash = owners[inp.rel]
        stem = str(run.out_dir / inp.rel)
        if len(clash) > 1:
            others = ", ".join(o.path for o in clash if o is not inp)
            run.failures.append(Outcome(inp.path, FAILED, (
                f"its output {stem}{fmt.suffix} would also be that of {others}; mesh them in "
                "separate runs with their own --out, or pass their common folder with -r")))
            continue
        targets = fmt.outputs(stem) + (jobs.preview_outputs(stem) if args.preview else [])
        if any(os.path.abspath(t) in source_keys for t in targets):
            run.failures.append(Outcome(inp.path, FAILED,
                                        "an output would overwrite an input; choose another --out"))
            continue
        # Hashed with --force too: the manifest stays up to date for the next run.
        try:
            digest: str | None = file_digest(inp.path)
        except OSError:
            digest = None  # the mesher will say what is wrong with the file
        if args.skip_unchanged and digest and manifest.unchanged(inp.rel, digest, run.key):
            run.skipped.append(Outcome(inp.path, SKIPPED))
            continue
        path = os.path.abspath(inp.path) if remote else inp.path
        job_stem = os.path.abspath(stem) if remote else stem
        run.todo.append((Job(run.cmd.mesher, inp.path, path, job_stem, run.params, args.format,
                             run.export_options, args.preview, args.allow_empty), digest, inp.rel))


def _mesh_files(run: _Batch, out: TextIO, err: TextIO) -> None:
    """Run the jobs (here, in worker processes or on a cluster) with a progress
    bar; report each outcome as it comes and record the done ones in the
    manifest, which is saved however the run ends."""
    args, manifest = run.args, run.manifest
    assert manifest is not None
    records = {job.source: (digest, rel) for job, digest, rel in run.todo}
    show_bar = args.progress if args.progress is not None else err.isatty()
    bar = Progress(len(run.todo), err, bool(show_bar) and len(run.todo) > 1)
    for problem in run.failures:
        err.write(f"error: {problem.source}: {problem.message}\n")

    def done(o: Outcome) -> None:
        bar.update(o)
        run.results.append(o)
        if o.status == FAILED:
            bar.clear_line()
            err.write(f"error: {o.source}: {o.message}\n")
        elif o.status == EMPTY:
            bar.clear_line()
            err.write(f"warning: {o.source}: {o.message}\n")
        else:
            for warning in o.warnings:
                bar.clear_line()
                err.write(f"warning: {warning}\n")
            digest, rel = records[o.source]
            if digest:
                manifest.record(rel, o.source, digest, run.key, vellumcut.__version__, o.outputs,
                                o.figures)
            if not args.quiet and not bar.enabled:
                out.write(f"{o.source} -> {', '.join(o.outputs)}\n")

    try:
        with _executor(args) as (executor, workers):
            jobs.run_jobs([j for j, _, _ in run.todo], done, executor, workers)
    finally:
        bar.close()
        manifest.save()


def _write_overview_page(run: _Batch, out: TextIO) -> None:
    """With --preview, OUT/index.html over every input of the run."""
    if not run.args.preview:
        return
    assert run.found is not None and run.manifest is not None
    page = write_overview(run.out_dir, run.failures + run.results + run.skipped,
                          {i.path: i.rel for i in run.found.inputs}, run.manifest,
                          overview.settings_line(run.cmd.mesher, run.params))
    if run.args.quiet < 1:
        out.write(f"overview: {page}\n")


def _summarise(run: _Batch, err: TextIO) -> int:
    """The summary line; the exit status (1 when anything failed or was empty,
    or there was no input)."""
    assert run.found is not None
    failed = len(run.failures) + sum(o.status == FAILED for o in run.results)
    empty = sum(o.status == EMPTY for o in run.results)
    n_done = sum(o.status == DONE for o in run.results) + len(run.skipped)
    total = len(run.found.inputs) + len(run.found.failures)
    summary = f"{n_done} of {total} file(s) done"
    if run.skipped:
        summary += f" ({len(run.skipped)} unchanged, skipped)"
    summary += f", {failed} failed"
    if empty:
        summary += f", {empty} empty (not written)"
    summary += f"; outputs in {run.out_dir} ({time.monotonic() - run.start:.1f} s)"
    if run.args.quiet < 2:
        err.write(summary + "\n")
    return 1 if failed or empty or total == 0 else 0


def write_overview(out_dir: Path, outcomes: list[Outcome], rels: dict[str, str],
                   manifest: Manifest, settings: str) -> Path:
    """OUT/index.html over every input of the run: what was meshed now with the
    figures it came back with, what was skipped with those the manifest kept."""

    def rel_to_out(path: str) -> str:
        return os.path.relpath(path, out_dir).replace(os.sep, "/")

    rows: list[dict[str, Any]] = []
    for o in outcomes:
        if o.status == SKIPPED:
            entry = manifest.entries.get(rels.get(o.source, ""), {})
            outputs, figures = list(entry.get("outputs", ())), entry.get("figures")
        else:
            outputs, figures = [rel_to_out(p) for p in o.outputs], o.figures
        status = o.status
        if status in (DONE, SKIPPED):
            status = EMPTY if figures and figures.get("empty") else DONE
        # Named as under --out (the folder tree the page sits in), with the extension.
        name = rels[o.source] + Path(o.source).suffix if o.source in rels else o.source
        row = {"name": name, "source": o.source, "status": status, "message": o.message,
               "figures": figures}
        for key, suffix in (("preview", ".preview.png"), ("full", ".preview.svg")):
            row[key] = next((p for p in outputs if p.endswith(suffix)), None)
        rows.append(row)
    rows.sort(key=lambda r: r["name"])
    return overview.write(out_dir, rows, settings, vellumcut.__version__)


if __name__ == "__main__":
    sys.exit(main())
