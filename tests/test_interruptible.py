"""Ctrl-C ends long calls, str paths carry undecodable bytes, and the mesher's
child processes stay the mesher's own.

The long calls run in child interpreters with a time limit: without the stop
checks they take minutes (and would hold the test run), with them they end
within a second or so of the signal.
"""
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import vellumcut_core as vc

HERE = os.path.dirname(__file__)

# Each builds its image, prints "go", then makes a call that runs for a
# minute or more (the ones of the reliability report, at their full size).
LONG_CALLS = {
    "poisson_png 4096 px at rpx 1": (
        "y, x = np.mgrid[:4096, :4096]\n"
        "alpha = (((x - 2048) ** 2 + (y - 2048) ** 2) < 2000 ** 2) * 255\n",
        "vc.poisson_png(path, 1.5, 4, 1)"),
    "poisson_png 3 x 3 px, margin 4094, rpx 1": (
        "alpha = np.full((3, 3), 255)\n",
        "vc.poisson_png(path, 1.5, 4094, 1)"),
    "triangulate_png 65,536 one-pixel holes": (
        "alpha = np.full((2048, 2048), 255)\n"
        "alpha[4::8, 4::8] = 0\n"
        "alpha[-1, :] = 0\n"
        "alpha[-1, 0] = 255\n",  # the area floor bypassed by one pixel
        "vc.triangulate_png(path, 0.0, 4, 0.0)"),
}

CHILD = r"""
import os, sys, threading, time
import cv2, numpy as np
import vellumcut_core as vc
path = sys.argv[1]
{build}
img = np.zeros(alpha.shape + (4,), np.uint8)
img[..., 3] = alpha
cv2.imwrite(path, img)
{handler}
# OpenCV starts its thread pool at its first parallel loop and keeps it:
# start it before counting threads.
warm = np.zeros((600, 600, 4), np.uint8)
warm[50:550, 50:550, 3] = 255
cv2.imwrite(path + ".warm.png", warm)
vc.poisson_png(path + ".warm.png", 1.0, 2, 8)
vc.triangulate_png(path + ".warm.png", 1.0, 2, 0.0)
tasks = len(os.listdir("/proc/self/task"))
print("go", flush=True)
try:
    {call}
    print("finished")
except {caught} as e:
    # No thread more than before the call, and no child process left.
    left = len(os.listdir("/proc/self/task")) <= tasks
    try:
        os.waitpid(-1, os.WNOHANG)
        children = "some"
    except ChildProcessError:
        children = "none"
    print(type(e).__name__, left, children, flush=True)
"""

OWN_HANDLER = """
import signal
class Stopped(Exception):
    pass
def handler(signum, frame):
    raise Stopped("by our handler")
signal.signal(signal.SIGINT, handler)
"""


def interrupt(tmp_path, name, handler="", caught="KeyboardInterrupt", delay=2.0, limit=60.0):
    build, call = LONG_CALLS[name]
    code = CHILD.format(build=build, call=call, handler=handler, caught=caught)
    proc = subprocess.Popen([sys.executable, "-c", code, str(tmp_path / "long.png")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "go", proc.stderr.read()
        time.sleep(delay)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=limit)
        return out.strip(), err, time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_sigint_ends_a_long_call_with_keyboard_interrupt(tmp_path, name):
    # The limit is generous for a loaded machine; unstopped, each call takes
    # one to twelve minutes.
    out, err, _ = interrupt(tmp_path, name)
    assert out == "KeyboardInterrupt True none", err
    assert err == ""


def test_the_handlers_own_exception_is_what_the_call_raises(tmp_path):
    out, err, _ = interrupt(tmp_path, "poisson_png 3 x 3 px, margin 4094, rpx 1",
                            handler=OWN_HANDLER, caught="Stopped")
    assert out == "Stopped True none", err


def test_a_handler_that_returns_lets_the_call_finish():
    # A signal whose handler does not raise: the call goes on to its result.
    code = textwrap.dedent("""
        import os, signal, threading
        import vellumcut_core as vc
        seen = []
        signal.signal(signal.SIGUSR1, lambda *a: seen.append(1))
        ring = [(0, 0), (300, 0), (300, 300), (0, 300)]
        extra = [(x + 0.5, y + 0.5) for x in range(1, 299) for y in range(1, 299, 3)]
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        a = vc.tri_mesh_debug(ring, [], extra)
        b = vc.tri_mesh_debug(ring, [], extra)
        print(len(seen), (a["idx"] == b["idx"]).all(), len(a["v"]) == 4 + len(extra))
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.stdout.split() == ["1", "True", "True"], proc.stderr


# --- paths -----------------------------------------------------------------

@pytest.mark.parametrize("call", [
    pytest.param(lambda p: vc.islands(p, 1.0, 2), id="islands"),
    pytest.param(lambda p: vc.triangulate_png(p, 1.0, 2, 0.0), id="triangulate_png"),
    pytest.param(lambda p: {k: v for k, v in vc.poisson_png(p, 1.0, 2, 4).items() if k != "idx"},
                 id="poisson_png"),
])
def test_undecodable_file_names_read_through_their_str(tmp_path, write_png, call):
    alpha = np.zeros((24, 24), np.uint8)
    alpha[4:20, 6:18] = 255
    source = write_png(alpha)
    raw = os.path.join(os.fsencode(str(tmp_path)), b"sprite-\xff\xfe.png")
    os.rename(source, raw)
    (name,) = [n for n in os.listdir(str(tmp_path)) if n.startswith("sprite-")]
    assert "\udcff" in name  # what os.listdir gives for the byte 0xff
    as_str = call(os.path.join(str(tmp_path), name))
    as_bytes = call(raw)
    assert as_str.keys() == as_bytes.keys()
    for key in as_str:
        if key == "v":  # poisson_png: the outline points at least are equal
            assert as_str[key][:40].tolist() == as_bytes[key][:40].tolist()
        else:
            assert as_str[key] == as_bytes[key]


@pytest.mark.parametrize("name", ["plain.png", "ünïcødé-スプライト.png", "with space.png"])
def test_valid_utf8_names_read_as_before(tmp_path, write_png, name):
    alpha = np.zeros((16, 16), np.uint8)
    alpha[3:12, 3:12] = 255
    path = tmp_path / name
    os.rename(write_png(alpha), path)
    assert vc.islands(str(path), 1.0, 0) == vc.islands(str(path).encode("utf-8"), 1.0, 0)


def test_a_lone_surrogate_no_byte_stands_for_is_refused():
    with pytest.raises(TypeError, match=r"^islands\(\): incompatible function arguments"):
        vc.islands("sprite-\ud800.png", 1.0, 0)


# --- the Triangle child ------------------------------------------------------

def test_children_reaped_by_a_host_thread_in_os_wait_leave_results_right():
    # Crossing rings go to a child process; a host thread blocked in
    # os.wait() reaps it before the mesher can.
    code = textwrap.dedent("""
        import os, subprocess, threading, time
        import vellumcut_core as vc
        outer = [(0, 0), (40, 0), (40, 40), (0, 40)]
        holes = [[(-5, 10), (45, 12), (10, 45)]]
        extra = [(3, 3), (20, 20), (35, 5)]
        expected = vc.tri_mesh_debug(outer, holes, extra)
        # A long-lived child keeps os.wait() blocked (not failing at once),
        # so it is waiting whenever the mesher's child exits.
        sleeper = subprocess.Popen(["sleep", "60"])
        reaped, done = [], threading.Event()
        def reaper():
            while not done.is_set():
                try:
                    reaped.append(os.wait()[0])
                except ChildProcessError:
                    return
        t = threading.Thread(target=reaper)
        t.start()
        time.sleep(0.05)
        same = 0
        for _ in range(40):
            got = vc.tri_mesh_debug(outer, holes, extra)
            same += (got["v"] == expected["v"]).all() and (got["idx"] == expected["idx"]).all()
        done.set()
        sleeper.kill()
        t.join()
        print(same, len([pid for pid in reaped if pid != sleeper.pid]) > 0)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.stdout.split() == ["40", "True"], proc.stderr
