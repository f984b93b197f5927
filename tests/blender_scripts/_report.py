"""Shared by the Blender scripts: argument parsing and the report line."""
import json
import sys

REPORT_PREFIX = "@@VELLUMCUT-REPORT@@ "


def script_args():
    """Arguments after Blender's `--`."""
    argv = sys.argv
    return argv[argv.index("--") + 1:] if "--" in argv else []


def report(value):
    sys.stdout.write(REPORT_PREFIX + json.dumps(value) + "\n")
    sys.stdout.flush()
