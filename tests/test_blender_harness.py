"""The Blender runner the client tests stand on: reports, failures, CI rule."""
from __future__ import annotations

import pytest

import blender as harness


@pytest.mark.parametrize("ci, outcome", [("", pytest.skip.Exception), ("false", pytest.skip.Exception),
                                         ("true", pytest.fail.Exception), ("1", pytest.fail.Exception)],
                         ids=["unset", "false", "true", "one"])
def test_missing_blender_skips_outside_ci_and_fails_in_ci(monkeypatch, ci, outcome):
    monkeypatch.setenv("BLENDER", "/nonexistent/blender-for-test")
    monkeypatch.setenv("CI", ci)
    with pytest.raises(outcome, match="Blender is not installed"):
        harness.require_blender()


@pytest.mark.blender
def test_report_comes_back_and_failures_raise(blender, tmp_path):
    ok = tmp_path / "ok.py"
    ok.write_text("import sys, bpy\nsys.path.insert(0, %r)\nfrom _report import report, script_args\n"
                  "print('noise before the report')\n"
                  "report({'args': script_args(), 'version': bpy.app.version[0]})\n" % str(harness.SCRIPTS))
    got = harness.run_blender(blender, ok, "a b", "--x")
    assert got["args"] == ["a b", "--x"] and got["version"] >= 3
    bad = tmp_path / "bad.py"
    bad.write_text("raise ValueError('boom from the script')\n")
    with pytest.raises(harness.BlenderError, match="boom from the script"):
        harness.run_blender(blender, bad)
