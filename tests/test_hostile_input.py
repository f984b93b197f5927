"""Hostile and malformed input: image bombs, paths with NUL, formats that cannot be RGBA."""
import json
import os
import subprocess
import sys
import textwrap

import cv2
import numpy as np
import pytest

import hostile_files
import vellumcut_core as vc

NOT_RGBA = "RGBA PNG を指定してください"
TOO_BIG = "画像が大きすぎます"
BOMB = (16384, 16384)


@pytest.fixture
def write_bytes(tmp_path):
    def _write(data: bytes, name: str = "img.bin") -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return _write


@pytest.mark.parametrize("kind", sorted(hostile_files.BOMBS))
@pytest.mark.parametrize("size", [BOMB, (4097, 4096), (16777217, 1)], ids=["16384x16384", "4097x4096", "wide-line"])
def test_oversized_headers_are_refused_for_every_rgba_format(write_bytes, kind, size):
    if kind.startswith("webp") and max(size) > 16384:
        pytest.skip("WebP cannot declare a side above 16384")
    path = write_bytes(hostile_files.BOMBS[kind](*size))
    with pytest.raises(RuntimeError, match=TOO_BIG):
        vc.islands(path, 1.0, 0)


@pytest.mark.parametrize("data", [
    hostile_files.tiff(64, 64, rows_per_strip=1 << 20),
    hostile_files.tiff(64, 64, tile=(1 << 14, 1 << 14)),
    hostile_files.exr(64, 64, tile=(1 << 14, 1 << 14)),
], ids=["tiff-strip", "tiff-tile", "exr-tile"])
def test_small_images_with_oversized_tiles_or_strips_are_refused(write_bytes, data):
    # The decoders allocate one whole tile or strip as declared, whatever the image size.
    with pytest.raises(RuntimeError, match=TOO_BIG):
        vc.islands(write_bytes(data), 1.0, 0)


@pytest.mark.parametrize("kind", ["tiff", "pam", "j2k", "jp2", "bmp", "webp-vp8x"])
def test_headers_at_exactly_the_limit_are_not_refused_as_too_big(write_bytes, kind):
    # Truncated files: the header passes the size check and the decoder then
    # fails on the missing pixels, which is a different message.
    for size in [(4096, 4096), (16777216, 1), (1, 16777216)]:
        if kind.startswith("webp") and max(size) > 16384:
            continue
        # The decoder's own failure (the loader's "not RGBA" or OpenCV's
        # text), never "too big".
        with pytest.raises(RuntimeError, match=f"^(?!{TOO_BIG})"):
            vc.islands(write_bytes(hostile_files.BOMBS[kind](*size)), 1.0, 0)


def test_png_at_exactly_the_limit_in_a_wide_strip_loads(write_png):
    alpha = np.zeros((1024, 16384), np.uint8)
    alpha[10:20, 10:20] = 255
    r = vc.islands(write_png(alpha), 1.0, 0)
    assert (r["w"], r["h"]) == (16384, 1024)


def test_bomb_refusal_stays_within_memory_budget(tmp_path):
    """Refusing every bomb must not decode it: < 100 MiB above the baseline."""
    paths = []
    for kind, build in sorted(hostile_files.BOMBS.items()):
        path = tmp_path / f"{kind}.bin"
        path.write_bytes(build(*BOMB) if not kind.startswith("webp") else build(16384, 16384))
        paths.append(str(path))
    # One whose compressed stream really holds every row: decoded unchecked it
    # fills 256 MiB, so this test fails if the header is not checked first.
    full = tmp_path / "png-full.png"
    full.write_bytes(hostile_files.png_full(8192, 8192))
    paths.append(str(full))
    script = textwrap.dedent("""
        import json, resource, sys
        import vellumcut_core as vc
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        messages = []
        for p in sys.argv[1:]:
            try:
                vc.islands(p, 1.0, 0)
                messages.append(None)
            except RuntimeError as e:
                messages.append(str(e))
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(json.dumps({"grown_kib": peak - base, "messages": messages}))
    """)
    out = subprocess.run([sys.executable, "-c", script, *paths], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["messages"] == [TOO_BIG] * len(paths)
    assert result["grown_kib"] < 100 * 1024


@pytest.mark.parametrize("ext", [".jpg", ".ppm", ".pgm", ".pfm", ".hdr", ".ras"])
def test_formats_that_never_decode_to_four_channels_are_refused(tmp_path, ext):
    image = np.full((16, 16, 3), 128, np.uint8)
    if ext in (".pfm", ".hdr"):
        image = image.astype(np.float32) / 255
    if ext == ".pgm":
        image = image[..., 0]
    path = tmp_path / f"img{ext}"
    assert cv2.imwrite(str(path), image)
    with pytest.raises(RuntimeError, match=NOT_RGBA):
        vc.islands(str(path), 1.0, 0)


@pytest.mark.parametrize("data", [
    b"NITF02.10" + b"\0" * 400,
    b"\0" * 140 + b"DTED" + b"\0" * 400,
    b"\0" * 128 + b"DICM" + b"\0" * 400,
], ids=["nitf", "dted", "dicom"])
def test_files_for_gdal_and_dicom_decoders_are_refused_without_decoding(write_bytes, data):
    with pytest.raises(RuntimeError, match=NOT_RGBA):
        vc.islands(write_bytes(data), 1.0, 0)


@pytest.mark.parametrize("ext", [".pam", ".jp2", ".tiff", ".webp", ".png"])
def test_real_rgba_files_of_each_checked_format_still_load(tmp_path, ext):
    image = np.zeros((100, 120, 4), np.uint8)
    image[3:9, 4:12] = 255
    path = tmp_path / f"img{ext}"
    params = {".webp": [cv2.IMWRITE_WEBP_QUALITY, 101],
              ".pam": [cv2.IMWRITE_PAM_TUPLETYPE, cv2.IMWRITE_PAM_FORMAT_RGB_ALPHA]}.get(ext, [])
    assert cv2.imwrite(str(path), image, params)
    r = vc.islands(str(path), 0.0, 0)
    assert (r["w"], r["h"]) == (120, 100)
    assert r["loops"] == [[4.0, 3.0, 4.0, 8.0, 11.0, 8.0, 11.0, 3.0]]


def test_real_exr_reaches_the_decoder(tmp_path):
    # Float samples decode (this build of OpenCV reads EXR) and then fail in
    # contour tracing, which takes 8-bit masks only: the header check let it through.
    path = tmp_path / "img.exr"
    script = ("import numpy as np, cv2, sys; a = np.zeros((8, 8, 4), np.float32); a[2:6, 2:6] = 1;"
              "sys.exit(0 if cv2.imwrite(sys.argv[1], a) else 1)")
    env = dict(os.environ, OPENCV_IO_ENABLE_OPENEXR="1")
    subprocess.run([sys.executable, "-c", script, str(path)], check=True, env=env, timeout=60)
    with pytest.raises(RuntimeError, match="FindContours"):
        vc.islands(str(path), 1.0, 0)


@pytest.mark.parametrize("make", [
    lambda p: p + "\0.png",
    lambda p: p + "\0",
    lambda p: (p + "\0ignored").encode(),
    lambda p: bytearray(b"\0" + p.encode()),
], ids=["str-suffix", "str-trailing", "bytes", "bytearray-leading"])
def test_paths_with_nul_are_value_errors(write_png, make):
    # The part before the NUL names a real file: it must not be read instead.
    path = write_png(np.full((8, 8), 255, np.uint8))
    with pytest.raises(ValueError, match="embedded null byte"):
        vc.islands(make(path), 1.0, 0)


@pytest.mark.parametrize("setup", ["missing", "directory", "empty"])
def test_unreadable_files_print_nothing(tmp_path, capfd, setup):
    path = tmp_path / "img.png"
    if setup == "directory":
        path.mkdir()
    elif setup == "empty":
        path.write_bytes(b"")
    with pytest.raises(RuntimeError, match=NOT_RGBA):
        vc.islands(str(path), 1.0, 0)
    assert capfd.readouterr().err == ""
