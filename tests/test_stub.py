"""The type stub of vellumcut_core against the built module."""
from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import vellumcut_core as vc

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "vellumcut_core.pyi"
FUNCTIONS = ("islands", "triangulate_png", "poisson_png", "tri_mesh_debug")


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}


def test_stub_is_installed_beside_the_module_and_as_stub_package():
    site = Path(vc.__file__).parent
    for installed in (site / "vellumcut_core.pyi", site / "vellumcut_core-stubs" / "__init__.pyi"):
        assert installed.read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


@pytest.fixture
def no_config(tmp_path):
    """An empty mypy configuration, so no project setting changes the checks."""
    cfg = tmp_path / "mypy.ini"
    cfg.write_text("[mypy]\n")
    return str(cfg)


def test_stubtest_agrees_with_the_built_module(tmp_path, no_config):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vellumcut_core",
                           "--mypy-config-file", no_config],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_parameters_match_the_runtime_signature(name):
    """stubtest cannot see pybind11 signatures, so compare names with the
    signature line pybind11 puts at the top of each docstring."""
    func = stub_functions()[name]
    params = [a.arg for a in func.args.args]
    doc = ast.get_docstring(func) or ""
    assert "Raises:" in doc and "Returns" in doc
    first = getattr(vc, name).__doc__.splitlines()[0]
    runtime = ast.parse(first.replace(f"{name}(", "def f(", 1).split(" -> ")[0] + ": ...")
    assert [a.arg for a in runtime.body[0].args.args] == params


def test_mypy_uses_the_stub_for_calls(tmp_path, no_config):
    user = tmp_path / "user.py"
    user.write_text(
        "import vellumcut_core as vc\n"
        "r = vc.islands('a.png', 1.5, 4)\n"
        "reveal_type(r['loops'])\n"
        "vc.islands('a.png', 1.5, 4.5)\n"
        "vc.triangulate_png('a.png', 1.5, 4)\n"
        "m = vc.tri_mesh_debug([(0, 0), (1, 0), (0, 1)], [], [])\n"
        "reveal_type(m['idx'])\n")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--config-file",
                           no_config, str(user)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    out = proc.stdout.replace("builtins.", "")
    assert ':3: note: Revealed type is "list[list[float]]"' in out, out
    assert ':4: error: Argument 3 to "islands" has incompatible type "float"; expected "int"' in out, out
    assert ':5: error: Missing positional argument "maxA"' in out, out
    assert ":6: error" not in out, out
    assert ":7: note: Revealed type is \"numpy.ndarray[" in out and "_32Bit" in out, out


def test_the_vellumcut_package_type_checks(tmp_path, no_config):
    import vellumcut

    assert (Path(vellumcut.__file__).parent / "py.typed").is_file()
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--config-file",
                           no_config, "-p", "vellumcut"],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
