"""The Blender add-on: the zip `vellumcut blender-addon` writes, how the add-on
finds the mesher, and, in one headless Blender session, what the import
operator creates for generated and real sprites, checked against
`vellumcut.mesh_sprite` run here with the same options."""
from __future__ import annotations

import ast
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import vellumcut
from blender import SCRIPTS, run_blender
from vellumcut import _mesher
from vellumcut_blender import backend, meshing

VENV_BIN = Path(sys.executable).parent
PYTHON = sys.executable

# --- the zip --------------------------------------------------------------------


@pytest.fixture(scope="module")
def addon_zip(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("addon") / "vellumcut_blender.zip"
    proc = subprocess.run([str(VENV_BIN / "vellumcut"), "blender-addon", str(out)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert str(out) in proc.stdout
    return out


def test_zip_holds_an_installable_addon_that_records_this_environment(addon_zip):
    with zipfile.ZipFile(addon_zip) as z:
        names = set(z.namelist())
        init = z.read("vellumcut_blender/__init__.py").decode()
        env = json.loads(z.read("vellumcut_blender/environment.json"))
    assert {"vellumcut_blender/__init__.py", "vellumcut_blender/addon.py",
            "vellumcut_blender/backend.py", "vellumcut_blender/meshing.py"} <= names
    assert all(n.startswith("vellumcut_blender/") and not n.endswith(".pyc") for n in names)
    # Blender reads bl_info without running the module: it must be a literal.
    info = next(ast.literal_eval(node.value) for node in ast.parse(init).body
                if isinstance(node, ast.Assign) and node.targets[0].id == "bl_info")
    assert info["blender"] <= (3, 4, 0) and "File > Import" in info["location"]
    assert env["vellumcut"] == vellumcut.__version__
    assert Path(env["python"]) == Path(PYTHON).absolute()
    assert env["presets"] == json.loads(json.dumps(vellumcut.presets.PRESETS))  # the Preset menu's values
    # The dialog's defaults and bounds: the native mesher's, as this environment defines them.
    assert env["options"] == json.loads(json.dumps({"defaults": _mesher.defaults(), "limits": _mesher.limits()}))


def test_zip_records_the_interpreter_it_is_given(tmp_path):
    out = tmp_path / "other.zip"
    proc = subprocess.run([str(VENV_BIN / "vellumcut"), "blender-addon", str(out), "--python",
                           "/usr/bin/python3"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    with zipfile.ZipFile(out) as z:
        assert json.loads(z.read("vellumcut_blender/environment.json"))["python"] == "/usr/bin/python3"


@pytest.mark.parametrize("name, extra, message", [
    ("addon.tar", [], "must end in .zip"),
    ("file.txt/addon.zip", [], "file.txt"),
    ("addon.zip", ["--python", "/nonexistent/python3"], "no such interpreter"),
], ids=["not-zip", "parent-is-a-file", "no-interpreter"])
def test_zip_command_refuses_bad_targets(tmp_path, name, extra, message):
    (tmp_path / "file.txt").write_text("a file, not a folder")
    proc = subprocess.run([str(VENV_BIN / "vellumcut"), "blender-addon", str(tmp_path / name), *extra],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1 and message in proc.stderr and "Traceback" not in proc.stderr
    assert not (tmp_path / name).exists() and not list(tmp_path.glob("*.part"))


# --- finding the mesher -----------------------------------------------------------


def _script(path: Path, first_line: str) -> Path:
    path.write_text(first_line + "\nimport sys\n")
    return path


@pytest.mark.parametrize("make, expect", [
    (lambda d: VENV_BIN.parent, PYTHON),
    (lambda d: Path(PYTHON), PYTHON),
    (lambda d: VENV_BIN / "vellumcut", PYTHON),
    (lambda d: _script(d / "tool", f"#!{PYTHON}"), PYTHON),
    (lambda d: _script(d / "tool", "#!/usr/bin/env python3"), "python3-on-path"),
], ids=["venv-folder", "interpreter", "console-script", "shebang", "env-shebang"])
def test_a_preference_path_names_an_interpreter(tmp_path, make, expect):
    got = backend.interpreter_for(make(tmp_path))
    if expect == "python3-on-path":
        assert os.path.basename(got).startswith("python3")
    else:
        assert Path(got).parent.samefile(Path(expect).parent) and "python" in Path(got).name


@pytest.mark.parametrize("make, message", [
    (lambda d: d / "missing", "does not exist"),
    (lambda d: d, "no Python interpreter in the folder"),
    (lambda d: _script(d / "notes.txt", "plain text"), "neither a Python interpreter"),
], ids=["missing", "empty-folder", "not-a-script"])
def test_a_bad_preference_path_says_why(tmp_path, make, message):
    with pytest.raises(backend.MesherNotFound, match=message):
        backend.interpreter_for(make(tmp_path))


def test_automatic_choice_prefers_the_recorded_environment_then_path(tmp_path, monkeypatch):
    (tmp_path / backend.ENVIRONMENT_FILE).write_text(json.dumps({"python": PYTHON}))
    monkeypatch.setenv("PATH", str(tmp_path / "nothing-here"))
    assert backend.find_mesher("", tmp_path).python == PYTHON
    (tmp_path / backend.ENVIRONMENT_FILE).write_text(json.dumps({"python": str(tmp_path / "gone")}))
    monkeypatch.setenv("PATH", str(VENV_BIN))
    assert Path(backend.find_mesher("", tmp_path).python).samefile(PYTHON)
    monkeypatch.setenv("PATH", str(tmp_path / "nothing-here"))
    monkeypatch.setattr(backend, "_importable_here", lambda: False)
    with pytest.raises(backend.MesherNotFound, match="recorded .* is gone.*Preferences > Add-ons"):
        backend.find_mesher("", tmp_path)
    monkeypatch.setattr(backend, "_importable_here", lambda: True)  # pip-installed into Blender
    assert backend.find_mesher("", tmp_path).python is None
    assert backend.find_mesher(str(VENV_BIN.parent), tmp_path).origin == "the add-on's preferences"


def test_child_process_meshes_as_mesh_sprite_and_reports_refusals(write_png, tmp_path):
    alpha = np.zeros((30, 40), np.uint8)
    alpha[4:20, 3:15] = 255
    alpha[10:28, 22:37] = 255
    path = write_png(alpha)
    got = backend.mesh_image(backend.Mesher(PYTHON, "test"), path, {"seed": 1})
    ref = vellumcut.mesh_sprite(path, seed=1)
    assert got["counts"] == {"parts": len(ref.parts), "vertices": ref.vertex_count,
                             "triangles": ref.triangle_count}
    bad = tmp_path / "broken.png"
    bad.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    with pytest.raises(backend.MesherFailed, match="^cannot read image '.*broken.png': the PNG file is damaged") as err:
        backend.mesh_image(backend.Mesher(PYTHON, "test"), str(bad), {})
    assert str(err.value).isascii() and "Traceback" not in str(err.value)
    with pytest.raises(backend.MesherFailed, match="max_vertices"):
        backend.mesh_image(backend.Mesher(PYTHON, "test"), path, {"max_vertices": 2})
    with pytest.raises(backend.MesherNotFound, match="does not exist"):
        backend.mesh_image(backend.Mesher(str(tmp_path / "no-python"), "test"), path, {})
    # A Python without vellumcut (the system's, which Blender also runs on).
    with pytest.raises(backend.MesherNotFound, match="not found in the environment of /usr/bin/python3"):
        backend.mesh_image(backend.Mesher("/usr/bin/python3", "test"), path, {})


def test_in_process_refuses_an_environment_of_another_python_version(tmp_path):
    fake = tmp_path / "python"  # answers the add-on's question as a Python 3.99 would
    fake.write_text("#!/bin/sh\necho '{\"version\": [3, 99], \"paths\": []}'\n")
    fake.chmod(0o755)
    mine = f"{sys.version_info[0]}.{sys.version_info[1]}"
    with pytest.raises(backend.MesherNotFound, match=rf"Python {mine} .* is Python 3\.99.*child-process"):
        backend.mesh_image(backend.Mesher(str(fake), "test"), "unused.png", {}, in_process=True)


@pytest.mark.parametrize("pivot, ppu", [("center", 100.0), ("bottom", 1.0), ("top-left", 16.0),
                                        ((0.25, 0.75), 7.5)],
                         ids=["center", "bottom-1ppu", "top-left", "custom"])
def test_positions_and_uvs_are_one_affine_map_of_the_image(write_png, pivot, ppu):
    """Texture lines up: u*W and (1-v)*H recover the image point of each vertex,
    which is position * ppu + pivot; triangles face +Z; nothing is reordered."""
    alpha = np.zeros((24, 50), np.uint8)
    alpha[2:22, 4:20] = 255
    alpha[8:14, 9:14] = 0
    alpha[5:9, 30:46] = 180
    mesh = vellumcut.mesh_sprite(write_png(alpha))
    parts = meshing.blender_geometry(mesh, ppu, pivot)
    fx, fy = {"center": (0.5, 0.5), "bottom": (0.5, 1.0), "top-left": (0, 0)}.get(pivot, pivot) \
        if isinstance(pivot, str) else pivot
    w, h = mesh.image_width, mesh.image_height
    assert len(parts) == len(mesh.parts) >= 2
    for part, src in zip(parts, mesh.parts):
        pos, uv = np.array(part["positions"]), np.array(part["uvs"])
        img = mesh.image_xy(src.vertices)
        np.testing.assert_allclose(pos[:, 0] * ppu + fx * w, img[:, 0], atol=1e-9)
        np.testing.assert_allclose(fy * h - pos[:, 1] * ppu, img[:, 1], atol=1e-9)
        np.testing.assert_allclose(uv * [w, h], np.column_stack((img[:, 0], h - img[:, 1])), atol=1e-9)
        tris = np.array(part["triangles"])
        assert sorted(map(sorted, tris.tolist())) == sorted(map(sorted, src.triangles.tolist()))
        c = pos[tris]
        cross = (c[:, 1, 0] - c[:, 0, 0]) * (c[:, 2, 1] - c[:, 0, 1]) \
            - (c[:, 2, 0] - c[:, 0, 0]) * (c[:, 1, 1] - c[:, 0, 1])
        assert (cross > 0).all()


# --- inside Blender ----------------------------------------------------------------

REAL = ("enemies/bee.png", "female_adventurer/femaleAdventurer_idle.png",
        "space_shooter/meteorGrey_big1.png")


def _sprite(alpha: np.ndarray, channels: int = 4) -> np.ndarray:
    """BGR(A) with a colour gradient, so a texture mix-up would show."""
    h, w = alpha.shape
    img = np.zeros((h, w, channels), np.uint8)
    img[..., 0] = np.linspace(0, 255, w, dtype=np.uint8)[None, :]
    img[..., 1] = np.linspace(0, 255, h, dtype=np.uint8)[:, None]
    if channels == 4:
        img[..., 3] = alpha
    return img


def _generated(write_png) -> dict[str, str]:
    a = np.zeros((48, 64), np.uint8)
    a[4:40, 4:30] = 255
    a[12:24, 10:20] = 0  # a hole
    a[14:20, 13:17] = 255  # an island inside the hole
    yy, xx = np.mgrid[0:48, 0:64]
    a[(yy - 30) ** 2 + (xx - 48) ** 2 < 110] = 160  # a disc, half-transparent
    return {"islands": write_png(_sprite(a)), "opaque": write_png(_sprite(a, 3))}


# label: (image, operator options, mesh_sprite options, pixels per unit, pivot fractions)
CASES = {
    "defaults-one-object": ("islands", {}, {"seed": 0}, 100.0, (0.5, 0.5)),
    "per-island": ("islands", {"objects": "ISLANDS"}, {"seed": 0}, 100.0, (0.5, 0.5)),
    "poisson-seeded-bottom": ("islands", {"interior": "POISSON", "spacing_auto": False, "spacing": 5.0, "seed": 7,
                                          "pivot": "BOTTOM", "pixels_per_unit": 32.0},
                              {"interior": "poisson", "spacing": 5.0, "seed": 7}, 32.0, (0.5, 1.0)),
    "quality-custom-clipped": ("islands", {"interior": "QUALITY", "min_angle": 28.0, "tolerance": 2.0,
                                           "alpha_threshold": 170, "padding": 1.0, "max_vertices": 12,
                                           "pivot": "CUSTOM", "pivot_custom": (0.25, 0.75),
                                           "alpha_blend": "CLIP", "interpolation": "Linear"},
                               {"interior": "quality", "min_angle": 28.0, "tolerance": 2.0,
                                "alpha_threshold": 170, "padding": 1.0, "max_vertices": 12, "seed": 0},
                               100.0, (0.25, 0.75)),
    "no-alpha": ("opaque", {}, {"seed": 0}, 100.0, (0.5, 0.5)),
    # A preset fills in what is not given (holes filled: no add-on option for that).
    "preset-physics": ("islands", {"preset": "PHYSICS"}, {"preset": "physics", "seed": 0}, 100.0,
                       (0.5, 0.5)),
    "preset-render-overridden": ("islands", {"preset": "RENDER", "tolerance": 2.0},
                                 {"preset": "render", "tolerance": 2.0, "seed": 0}, 100.0, (0.5, 0.5)),
    "rigged": ("islands", {"rig": True, "max_bones": 12, "max_influences": 3, "pivot": "BOTTOM"},
               {"interior": "quality", "seed": 0}, 100.0, (0.5, 1.0)),
    **{f"real-{Path(r).stem}": (r, {}, {"seed": 0}, 100.0, (0.5, 0.5)) for r in REAL},
    f"in-process-{Path(REAL[0]).stem}": (REAL[0], {}, {"seed": 0}, 100.0, (0.5, 0.5)),
}
ERRORS = {
    "refused-image": ("broken", {}, "", r"^Error: broken\.png: .*[A-Za-z]"),
    "bad-option": ("islands", {"max_vertices": 2}, "", r"^Error: img\d+\.png: .*max_vertices"),
    "mesher-missing": ("islands", {}, "/nonexistent/vellumcut", r"vellumcut not found.*Preferences"),
}


@pytest.fixture(scope="module")
def session(blender, addon_zip, real_sprites, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("blender-addon")
    counter = iter(range(100))

    def write_png(array):
        import cv2

        path = tmp / f"img{next(counter)}.png"
        assert cv2.imwrite(str(path), array if array.ndim == 3 else _sprite(array))
        return str(path)

    images = _generated(write_png)
    for r in REAL:
        match = [str(p) for p in real_sprites if str(p).endswith(r)]
        assert match, f"real sprite {r} missing from the cache"
        images[r] = match[0]
    images["broken"] = str(tmp / "broken.png")
    Path(images["broken"]).write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    jobs = [{"label": k, "image": images[c[0]], "options": c[1],
             "method": "IN_PROCESS" if k.startswith("in-process") else "CHILD"} for k, c in CASES.items()]
    jobs += [{"label": k, "image": images[e[0]], "options": e[1], "mesher": e[2]} for k, e in ERRORS.items()]
    # Two files at once, the second refused: the first is still imported.
    jobs.append({"label": "multi-file", "image": images["islands"],
                 "options": {"directory": str(tmp), "files": [{"name": Path(images["islands"]).name},
                                                              {"name": "broken.png"}]}})
    plan = tmp / "plan.json"
    plan.write_text(json.dumps({"zip": str(addon_zip), "jobs": jobs}))
    # addon_install writes into the user's script folder: keep it in tmp.
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("BLENDER_USER_SCRIPTS", str(tmp / "user-scripts"))
        mp.setenv("BLENDER_USER_CONFIG", str(tmp / "user-config"))
        got = run_blender(blender, SCRIPTS / "addon_session.py", str(plan))
    got["images"] = images
    got["by_label"] = {j["label"]: j for j in got["jobs"]}
    return got


@pytest.mark.blender
def test_operator_and_menu_entry_are_registered(session):
    assert session["operator_registered"]
    assert "menu_import" in session["menu_entries"]


@pytest.mark.blender
def test_choosing_a_preset_in_the_dialog_sets_its_values(session):
    menu = session["preset_menu"]
    assert sorted(menu) == ["DEFORM", "NONE", "PHYSICS", "RENDER"]
    assert menu["NONE"]["interior"] == "NONE" and menu["NONE"]["spacing"] == 7.0  # left alone
    assert menu["NONE"]["spacing_auto"] is False
    # spacing "auto" is the Auto spacing switch, "no cap" the dialog's 0; options a preset
    # does not name stay.
    assert {k: menu["DEFORM"][k] for k in ("interior", "spacing_auto", "spacing", "max_vertices", "padding")} == \
        {"interior": "QUALITY", "spacing_auto": True, "spacing": 7.0, "max_vertices": 100, "padding": 2.0}
    assert {k: menu["PHYSICS"][k] for k in ("interior", "max_vertices", "padding")} == \
        {"interior": "NONE", "max_vertices": 32, "padding": 0.0}
    assert menu["RENDER"]["tolerance"] == vellumcut.presets.PRESETS["render"]["tolerance"]
    assert menu["RENDER"]["max_vertices"] == 0


@pytest.mark.blender
@pytest.mark.parametrize("label", list(CASES))
def test_import_matches_mesh_sprite(session, label):
    key, op, ref_opts, ppu, (fx, fy) = CASES[label]
    job, image = session["by_label"][label], session["images"][key]
    assert job["error"] is None, job["error"]
    ref = vellumcut.mesh_sprite(image, **ref_opts)
    objs = job["objects"]
    per_island = op.get("objects") == "ISLANDS"
    assert len(objs) == (len(ref.parts) if per_island else 1)
    assert sum(o["vertices"] for o in objs) == ref.vertex_count
    assert sum(o["faces"] for o in objs) == ref.triangle_count
    if key == "opaque":
        assert (ref.vertex_count, ref.triangle_count) == (4, 2)
    w, h = ref.image_width, ref.image_height
    ref_points = np.concatenate([ref.image_xy(p.vertices) for p in ref.parts])
    got_points = []
    for o in objs:
        co = np.array(o["co"]).reshape(-1, 3)
        assert o["face_sizes"] == [3] and o["uv_layers"] == 1 and o["selected"]
        assert np.all(co[:, 1] == 0) and set(o["normals_y"]) == {-1.0}  # XZ plane, facing -Y
        # Back to image pixels (y down) through pixels per unit and the pivot.
        img = np.column_stack((co[:, 0] * ppu + fx * w, fy * h - co[:, 2] * ppu))
        got_points.append(img)
        # Every loop's UV is its vertex's image point over the image size, v up.
        uv = np.array(o["loop_uv"]).reshape(-1, 2)
        at = img[o["loop_vertex"]]
        np.testing.assert_allclose(uv[:, 0] * w, at[:, 0], atol=1e-3)
        np.testing.assert_allclose((1 - uv[:, 1]) * h, at[:, 1], atol=1e-3)
        (mat,) = o["materials"]
        assert Path(mat["image"]).samefile(image) and mat["image_size"] == [w, h]
        assert mat["alpha_linked"]
        assert mat["interpolation"] == op.get("interpolation", "Closest")
        assert mat["blend_method"] == op.get("alpha_blend", "BLEND")
    got = np.concatenate(got_points)
    # Same points as mesh_sprite's (Blender stores float32: compare rounded, sorted).
    def rows(a):
        a = np.round(a, 3)
        return a[np.lexsort((a[:, 1], a[:, 0]))]
    np.testing.assert_allclose(rows(got), rows(ref_points), atol=2e-3)


@pytest.mark.blender
@pytest.mark.parametrize("label", list(ERRORS))
def test_errors_are_english_reports_and_create_nothing(session, label):
    job = session["by_label"][label]
    assert job["error"] is not None and "Traceback" not in job["error"]
    assert job["error"].isascii(), job["error"]
    assert __import__("re").search(ERRORS[label][3], job["error"]), job["error"]
    assert job["objects"] == []


@pytest.mark.blender
def test_a_refused_file_of_several_does_not_stop_the_others(session):
    job = session["by_label"]["multi-file"]
    assert job["error"] and "broken.png" in job["error"]
    ref = vellumcut.mesh_sprite(session["images"]["islands"], seed=0)
    assert [(o["vertices"], o["faces"]) for o in job["objects"]] == [(ref.vertex_count, ref.triangle_count)]


@pytest.mark.blender
def test_rig_option_builds_an_armature_with_vertex_groups_and_a_modifier(session):
    job = session["by_label"]["rigged"]
    assert job["error"] is None, job["error"]
    ref = vellumcut.rig_sprite(session["images"]["islands"], max_bones=12, max_influences=3, seed=0)
    (arm,) = job["armatures"]
    names = [b.name for b in ref.bones]
    assert [b["name"] for b in arm["bones"]] == names
    assert [b["parent"] for b in arm["bones"]] == [None if b.parent is None else names[b.parent]
                                                   for b in ref.bones]
    # Bones placed like the vertices: image pixels = (x * ppu + pivot_x, pivot_y - y * ppu).
    w, h = ref.mesh.image_width, ref.mesh.image_height
    heads = np.array([b["head"] for b in arm["bones"]])
    np.testing.assert_allclose(heads[:, 1], 0.0, atol=1e-6)
    img = np.column_stack((heads[:, 0] * 100 + 0.5 * w, 1.0 * h - heads[:, 2] * 100))
    np.testing.assert_allclose(img, ref.mesh.image_xy(np.array([b.head for b in ref.bones])), atol=1e-3)
    # Each bone's z axis looks at the front view's viewer: 2D poses turn about z.
    np.testing.assert_allclose([b["z_axis"] for b in arm["bones"]], [[0, -1, 0]] * len(names), atol=1e-5)
    (obj,) = job["objects"]
    assert obj["groups"] == names and obj["parent"] == arm["name"]
    assert obj["modifiers"] == [["ARMATURE", arm["name"]]]
    got = np.zeros((len(obj["weights"]), len(names)))
    for i, pairs in enumerate(obj["weights"]):
        for g, v in pairs:
            got[i, g] = v
    np.testing.assert_allclose(got, np.concatenate(ref.weights), atol=1e-6)  # Blender stores float32
    assert (np.count_nonzero(got, axis=1) <= 3).all()


# --- one set of option defaults -----------------------------------------------------

#: Where the add-on differs from mesh_sprite on purpose, and why.
DELIBERATE = {"seed": "a fixed seed, so that importing an image again gives the same mesh"}
INT32_MAX = 2**31 - 1


def _cli_defaults() -> dict:
    """The parameters `vellumcut mesh IMAGE` meshes with when no option is given."""
    from vellumcut import cli

    args, _, dests = cli.parse_args(["mesh", "in.png"])
    return cli.COMMANDS["mesh"].params(args, dests["mesh"])


def _addon_defaults(session) -> dict:
    """mesh_sprite's keywords for the import dialog as it opens (every property
    at its default), through the add-on's own conversion."""
    return meshing.mesher_options({n: p["default"] for n, p in session["operator_properties"].items()
                                   if "default" in p})


@pytest.mark.blender
@pytest.mark.parametrize("name", list(_mesher.defaults()))
def test_each_option_defaults_alike_in_python_the_command_line_and_blender(session, name):
    import inspect

    native = _mesher.defaults()[name]
    python = inspect.signature(vellumcut.mesh_sprite).parameters[name].default
    assert python == _cli_defaults()[name] == native
    addon = _addon_defaults(session)
    if name in DELIBERATE:
        assert addon[name] == meshing.SEED and addon[name] != native
    elif name in session["operator_properties"] or name == "spacing":
        assert addon[name] == native
    else:  # not in the dialog: mesh_sprite's own default applies
        assert name not in addon


@pytest.mark.blender
@pytest.mark.parametrize("name", ["alpha_threshold", "tolerance", "padding", "max_vertices", "spacing",
                                  "min_angle", "seed"])
def test_the_dialog_bounds_are_the_mesher_limits(session, name):
    prop, limit = session["operator_properties"][name], _mesher.limits()[name]
    # The dialog's 0 is "no cap"; Blender's integers hold 32 bits.
    assert prop["min"] == (0 if name == "max_vertices" else limit["min"])
    if limit["max"] is None:
        assert prop["max"] > 1e30
    else:
        assert prop["max"] == (min(limit["max"], INT32_MAX) if prop["type"] == "INT" else limit["max"])


@pytest.mark.blender
def test_the_dialog_offers_the_mesher_interiors_and_auto_spacing(session):
    props = session["operator_properties"]
    assert [i.lower() for i in props["interior"]["items"]] == _mesher.limits()["interior"]["choices"]
    assert props["spacing_auto"] == {"type": "BOOLEAN", "default": _mesher.defaults()["spacing"] == "auto"}


@pytest.mark.parametrize("options, expected", [
    ({}, {"seed": meshing.SEED}),
    ({"spacing_auto": True, "spacing": 9.0}, {"spacing": "auto", "seed": meshing.SEED}),
    ({"spacing_auto": False, "spacing": 9.0}, {"spacing": 9.0, "seed": meshing.SEED}),
    ({"max_vertices": 0, "seed": 5, "tolerance": 2}, {"max_vertices": None, "seed": 5, "tolerance": 2.0}),
    ({"preset": "DEFORM", "interior": "QUALITY"}, {"interior": "quality", "seed": meshing.SEED, "preset": "deform"}),
], ids=["nothing-given", "auto-wins", "spacing-given", "no-cap-and-seed", "preset"])
def test_dialog_options_become_mesh_sprite_keywords(options, expected):
    # Without a preset the dialog's other options go along at mesh_sprite's defaults.
    shown = {k: v for k, v in _mesher.defaults().items()
             if k in meshing.MESHER_OPTIONS and k not in ("spacing", "seed")}
    assert meshing.mesher_options(options) == ({} if "preset" in options else shown) | expected


def test_the_addon_reads_the_recorded_options_then_the_package(tmp_path, monkeypatch):
    recorded = {"defaults": {"tolerance": 3.0}, "limits": {"tolerance": {"min": 0.0}}}
    (tmp_path / backend.ENVIRONMENT_FILE).write_text(json.dumps({"options": recorded}))
    assert backend.mesher_option_rules(tmp_path) == recorded
    (tmp_path / backend.ENVIRONMENT_FILE).unlink()
    assert backend.mesher_option_rules(tmp_path) == {"defaults": _mesher.defaults(), "limits": _mesher.limits()}
    monkeypatch.setitem(sys.modules, "vellumcut._mesher", None)  # a Blender without vellumcut
    with pytest.raises(backend.OptionsMissing, match=r"install the zip written by `vellumcut blender-addon"):
        backend.mesher_option_rules(tmp_path)


@pytest.mark.blender
@pytest.mark.parametrize("label", ["defaults-one-object", "poisson-seeded-bottom"])
def test_the_addon_lays_a_sprite_where_its_gltf_export_lands(session, blender, tmp_path, label):
    """The same sprite, pivot and scale, through the add-on and through the
    glTF export and Blender's glTF importer: the same vertices in the world."""
    from vellumcut import export

    key, op, ref_opts, ppu, pivot = CASES[label]
    mesh = vellumcut.mesh_sprite(session["images"][key], **ref_opts)
    glb = tmp_path / "sprite.glb"
    export.write_gltf(mesh, glb, pixels_per_unit=ppu, pivot=list(pivot))
    (entry,) = run_blender(blender, SCRIPTS / "import_report.py", "--detail", str(glb))["files"]
    assert "error" not in entry, entry["error"]
    (imported,) = [o for o in entry["objects"] if o["type"] == "MESH"]
    (obj,) = session["by_label"][label]["objects"]
    addon = np.array(obj["co"]).reshape(-1, 3) + np.array(obj["location"])

    def points(a):
        return sorted({tuple(p) for p in np.round(np.asarray(a, np.float64), 4).tolist()})

    assert points(addon) == points(imported["positions"])
    # Both face the front view (-y): the sprite reads as drawn from there.
    assert (np.array(imported["normals"])[:, 1] < -0.99).all()
    assert set(obj["normals_y"]) == {-1.0}
