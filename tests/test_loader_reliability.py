"""The loader never blocks and never writes to the host's streams.

Each check runs the module in a child interpreter whose stdout and stderr are
pipes, so anything written to file descriptors 1 and 2 (by the module,
libpng, libtiff or OpenCV's logger) is caught, and a call that blocks ends in
a timeout instead of hanging the suite."""
from __future__ import annotations

import json
import os
import socket
import struct
import subprocess
import sys
import textwrap
import zlib

import cv2
import numpy as np
import pytest

import hostile_files

NOT_RGBA = "RGBA PNG を指定してください"
TOO_BIG = "画像が大きすぎます"

# Calls every image function on each path and reports each outcome as JSON on
# a separate file descriptor, so that fd 1 and 2 carry only what the module
# itself writes.
CHILD = textwrap.dedent(
    """
    import json, os, sys
    import vellumcut_core as vc
    out = os.fdopen(int(sys.argv[1]), "w")
    for path in sys.argv[2:]:
        for call in (lambda: vc.islands(path, 1.0, 2), lambda: vc.triangulate_png(path, 1.0, 2, 0.0),
                     lambda: vc.poisson_png(path, 1.0, 2, 4)):
            try:
                call()
                outcome = "ok"
            except Exception as e:
                outcome = type(e).__name__ + ": " + str(e)
            out.write(json.dumps([path, outcome]) + "\\n")
    out.close()
    """
)


def run_child(paths: list[str], timeout: float = 60.0, env: dict | None = None) -> tuple[dict, bytes, bytes]:
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.Popen([sys.executable, "-c", CHILD, str(write_end), *paths],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(write_end,),
                                env=env)
    finally:
        os.close(write_end)
    with os.fdopen(read_end) as results:
        try:
            stdout, stderr = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            pytest.fail(f"the child did not finish within {timeout} s (blocked on a file?)")
        lines = results.read().splitlines()
    assert proc.returncode == 0, stderr.decode(errors="replace")[-2000:]
    outcomes: dict = {}
    for line in lines:
        path, outcome = json.loads(line)
        outcomes.setdefault(path, []).append(outcome)
    return outcomes, stdout, stderr


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def rgba_png() -> bytes:
    image = np.zeros((48, 40, 4), np.uint8)
    image[8:40, 6:30] = (90, 120, 200, 255)
    ok, data = cv2.imencode(".png", image)
    assert ok
    return data.tobytes()


def bad_pngs() -> dict[str, bytes]:
    good = rgba_png()
    ihdr_end = 8 + 25
    adler_at = len(good) - 12 - 4 - 1  # last byte of the zlib stream's checksum
    return {
        "png-truncated": good[: len(good) // 2],                    # libpng: input buffer is incomplete
        "png-idat-check": good[:adler_at] + bytes([good[adler_at] ^ 0xFF]) + good[adler_at + 1:],
        "png-chunk-2^31-1": good[:ihdr_end] + struct.pack(">I", 0x7FFFFFFF) + b"tEXt" + b"\0" * 64,
        "png-idat-crc": good[:-13] + bytes([good[-13] ^ 0xFF]) + good[-12:],
        "png-no-iend": good[:-12],
    }


# Files OpenCV's decoders fail on after our header check let them through:
# each made libpng, OpenCV's logger or a codec print before.
def failing_files() -> dict[str, bytes]:
    files = bad_pngs()
    for kind, make in sorted(hostile_files.BOMBS.items()):
        if kind != "png":  # the PNG builder writes every row of a small image
            files[f"{kind}-pixels-missing"] = make(64, 64)
        files[f"{kind}-bomb"] = make(16384, 16384)  # refused from the header
    files["tiff-strip-missing"] = hostile_files.tiff(64, 64, rows_per_strip=8)
    files["random-bytes"] = np.random.default_rng(5).integers(0, 256, 4096, dtype=np.uint8).tobytes()
    return files


def test_no_failing_file_writes_to_stdout_or_stderr(tmp_path):
    files = failing_files()
    paths = {}
    for name, data in files.items():
        path = tmp_path / f"{name}.img"
        path.write_bytes(data)
        paths[str(path)] = name
    outcomes, stdout, stderr = run_child(sorted(paths))
    assert stdout == b""
    assert stderr == b"", stderr.decode(errors="replace")[:2000]
    assert set(outcomes) == set(paths)
    for path, results in outcomes.items():
        want = f"RuntimeError: {TOO_BIG}" if paths[path].endswith("-bomb") else f"RuntimeError: {NOT_RGBA}"
        assert results == [want] * 3, (paths[path], results)


def test_png_variants_decoded_by_libpng_match_opencv(tmp_path):
    """PNGs the fast path declines (palette with transparency, colour key,
    16-bit, interlaced-free grey + alpha, text chunks) decode through libpng
    with the results OpenCV's own decoder gives: same outlines, same errors."""
    alpha = np.zeros((30, 36), np.uint8)
    alpha[4:20, 5:25] = 255
    alpha[10:14, 10:16] = 0
    cases = {
        "rgba16": np.dstack([np.full((30, 36, 3), 1000, np.uint16), alpha.astype(np.uint16) * 257]),
        "bgra8": np.dstack([np.full((30, 36, 3), 7, np.uint8), alpha]),
    }
    paths = []
    for name, image in cases.items():
        path = tmp_path / f"{name}.png"
        assert cv2.imwrite(str(path), image)
        paths.append(str(path))
    # The same 8-bit image behind an extra ancillary chunk: the fast path
    # declines nothing for that, so add an unknown critical-looking chunk
    # order change instead: a second IDAT run is not allowed, a tEXt before
    # IDAT is, and an sRGB chunk with a bad CRC is a warning libpng prints.
    good = rgba_png()
    ihdr_end = 8 + 25
    with_bad_crc = good[:ihdr_end] + chunk(b"sRGB", b"\0")[:-1] + b"\0" + good[ihdr_end:]
    (tmp_path / "bad-ancillary-crc.png").write_bytes(with_bad_crc)
    (tmp_path / "plain.png").write_bytes(good)
    paths += [str(tmp_path / "bad-ancillary-crc.png"), str(tmp_path / "plain.png")]
    outcomes, stdout, stderr = run_child(paths)
    assert stdout == b"" and stderr == b"", stderr.decode(errors="replace")
    assert outcomes[paths[0]][0].startswith("RuntimeError") and "FindContours" in outcomes[paths[0]][0]
    assert outcomes[paths[1]] == ["ok"] * 3
    # A bad CRC on an ancillary chunk is only a warning: the image loads as
    # the plain file does.
    assert outcomes[paths[2]] == outcomes[paths[3]] == ["ok"] * 3


@pytest.mark.parametrize("kind", ["fifo", "directory", "socket", "char-device"])
def test_files_that_are_not_regular_are_refused_at_once(tmp_path, kind):
    path = tmp_path / "sprite.png"
    sock = None
    if kind == "fifo":
        os.mkfifo(path)  # no writer: opening it for reading used to block forever
    elif kind == "directory":
        path.mkdir()
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(str(path))
    else:
        path = "/dev/zero"  # reading it never ends
    try:
        outcomes, stdout, stderr = run_child([str(path)], timeout=30)
    finally:
        if sock is not None:
            sock.close()
    assert outcomes == {str(path): [f"RuntimeError: {NOT_RGBA}"] * 3}
    assert stdout == stderr == b""
