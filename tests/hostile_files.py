"""Builders for image files whose header declares more than the file holds.

Each builder returns the bytes of a small file that a decoder would size its
output from: without a check on the header, decoding it allocates (and for
most formats fills) width * height * channels bytes. Used by the tests and by
bench/bench_image_bombs.py.
"""
from __future__ import annotations

import struct
import zlib


def png(width: int, height: int, rows: int = 64) -> bytes:
    """RGBA PNG with a real zlib stream of `rows` transparent rows."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = max(1, min(rows, (1 << 20) // (4 * width + 1)))
    raw = (b"\0" + b"\0" * (4 * width)) * rows
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def png_full(width: int, height: int) -> bytes:
    """RGBA PNG whose zlib stream really holds every row: about 1 MB for
    16384 x 16384, and a decoder that trusts it fills a gigabyte."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    z = zlib.compressobj(9)
    row = b"\0" * (1 + 4 * width)
    idat = b"".join(z.compress(row) for _ in range(height)) + z.flush()
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", idat) + chunk(b"IEND", b""))


def bmp(width: int, height: int) -> bytes:
    """32-bit BMP with bit-field masks (the variant OpenCV decodes to 4 channels)."""
    info = struct.pack("<IiiHHIIiiII", 56, width, height, 1, 32, 3, 0, 2835, 2835, 0, 0)
    masks = struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
    offset = 14 + len(info) + len(masks)
    return b"BM" + struct.pack("<IHHI", offset + 16, 0, 0, offset) + info + masks + b"\0" * 16


def webp_vp8x(width: int, height: int) -> bytes:
    payload = struct.pack("<I", 0x10) + (width - 1).to_bytes(3, "little") + (height - 1).to_bytes(3, "little")
    body = b"WEBP" + b"VP8X" + struct.pack("<I", len(payload)) + payload
    return b"RIFF" + struct.pack("<I", len(body)) + body


def webp_vp8l(width: int, height: int) -> bytes:
    bits = (width - 1) | ((height - 1) << 14) | (1 << 28)  # alpha_is_used
    payload = b"\x2f" + struct.pack("<I", bits) + b"\0" * 16
    body = b"WEBP" + b"VP8L" + struct.pack("<I", len(payload)) + payload
    return b"RIFF" + struct.pack("<I", len(body)) + body


def tiff(width: int, height: int, rows_per_strip: int | None = None,
         tile: tuple[int, int] | None = None, big_endian: bool = False) -> bytes:
    """Uncompressed RGBA TIFF, one strip (or one tile) of data that is not there."""
    e = ">" if big_endian else "<"
    entries = [
        (256, 4, 1, width), (257, 4, 1, height), (258, 3, 1, 8), (259, 3, 1, 1),
        (262, 3, 1, 2), (277, 3, 1, 4), (284, 3, 1, 1), (338, 3, 1, 2),
    ]
    if tile:
        entries += [(322, 4, 1, tile[0]), (323, 4, 1, tile[1]), (324, 4, 1, 8), (325, 4, 1, 16)]
    else:
        entries += [(273, 4, 1, 8), (278, 4, 1, rows_per_strip or height), (279, 4, 1, 16)]
    entries.sort()
    ifd = struct.pack(e + "H", len(entries))
    for tag, typ, count, value in entries:
        packed = struct.pack(e + "H", value) + b"\0\0" if typ == 3 else struct.pack(e + "I", value)
        ifd += struct.pack(e + "HHI", tag, typ, count) + packed
    ifd += struct.pack(e + "I", 0)
    header = (b"MM\x00\x2a" if big_endian else b"II\x2a\x00") + struct.pack(e + "I", 24)
    return header + b"\0" * 16 + ifd


def pam(width: int, height: int) -> bytes:
    return (b"P7\n# made by hand\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
            % (width, height)) + b"\0" * 64


def exr(width: int, height: int, tile: tuple[int, int] | None = None) -> bytes:
    def attr(name: bytes, typ: bytes, value: bytes) -> bytes:
        return name + b"\0" + typ + b"\0" + struct.pack("<I", len(value)) + value

    channels = b"".join(c + b"\0" + struct.pack("<iBBBBii", 2, 0, 0, 0, 0, 1, 1) for c in (b"A", b"B", b"G", b"R")) + b"\0"
    window = struct.pack("<iiii", 0, 0, width - 1, height - 1)
    head = attr(b"channels", b"chlist", channels) + attr(b"compression", b"compression", b"\x03")
    head += attr(b"dataWindow", b"box2i", window) + attr(b"displayWindow", b"box2i", window)
    head += attr(b"lineOrder", b"lineOrder", b"\0") + attr(b"pixelAspectRatio", b"float", struct.pack("<f", 1))
    head += attr(b"screenWindowCenter", b"v2f", struct.pack("<ff", 0, 0))
    head += attr(b"screenWindowWidth", b"float", struct.pack("<f", 1))
    version = 2
    if tile:
        head += attr(b"tiles", b"tiledesc", struct.pack("<IIB", tile[0], tile[1], 0))
        version |= 0x200
    return b"\x76\x2f\x31\x01" + struct.pack("<I", version) + head + b"\0" + b"\0" * 64


def j2k(width: int, height: int, components: int = 4) -> bytes:
    siz = struct.pack(">HHIIIIIIIIH", 38 + 3 * components, 0, width, height, 0, 0,
                      width, height, 0, 0, components) + b"\x07\x01\x01" * components
    return b"\xff\x4f\xff\x51" + siz + b"\xff\xd9"


def jp2(width: int, height: int) -> bytes:
    def box(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", 8 + len(data)) + kind + data

    ihdr = box(b"ihdr", struct.pack(">IIHBBBB", height, width, 4, 7, 7, 0, 0))
    return (b"\x00\x00\x00\x0cjP  \r\n\x87\n" + box(b"ftyp", b"jp2 \0\0\0\0jp2 ")
            + box(b"jp2h", ihdr) + box(b"jp2c", j2k(width, height)))


# Every format OpenCV may decode to four channels, as a bomb declaring
# 16384 x 16384 (268 million pixels), and the same builder at a size of its own.
BOMBS = {
    "png": lambda w, h: png(w, h),
    "bmp": bmp,
    "bmp-top-down": lambda w, h: bmp(w, -h),
    "webp-vp8x": webp_vp8x,
    "webp-vp8l": webp_vp8l,
    "tiff": tiff,
    "tiff-big-endian": lambda w, h: tiff(w, h, big_endian=True),
    "pam": pam,
    "exr": exr,
    "j2k": j2k,
    "jp2": jp2,
}
