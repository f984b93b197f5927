"""The mesh fuzzer's byte decoding (fuzz/mesh_input.hpp), for replaying its
findings through the Python module."""
from __future__ import annotations

import struct

import numpy as np

SCALES = [np.float32(s) for s in (1.0, 0.5, 1e-3, 1e-20, 1e-38, 1e-44, 1e6, 1e30, 2.6e36)]

Point = tuple[float, float]


def decode_mesh_input(data: bytes) -> tuple[list[Point], list[list[Point]], list[Point]]:
    pos = 0

    def byte() -> int:
        nonlocal pos
        if pos < len(data):
            pos += 1
            return data[pos - 1]
        return 0  # past the end every byte reads as 0

    flags = byte()
    scale = SCALES[byte() % len(SCALES)]

    def point() -> Point:
        if flags & 1:  # raw big-endian float32 bits
            x = struct.unpack(">f", bytes(byte() for _ in range(4)))[0]
            return (x, struct.unpack(">f", bytes(byte() for _ in range(4)))[0])
        x = float(np.float32(struct.unpack("b", bytes([byte()]))[0]) * scale)
        return (x, float(np.float32(struct.unpack("b", bytes([byte()]))[0]) * scale))

    def ring(n: int) -> list[Point]:
        out = []
        for _ in range(n):
            if pos >= len(data):
                break
            out.append(point())
        return out

    outer = ring(3 + byte() % 30)
    holes = [ring(byte() % 24) for _ in range((flags >> 1) % 5)]
    extra = ring(byte())
    if flags & 0x40 and outer:
        extra.append(outer[0])
    if flags & 0x80 and holes:
        holes.append(list(outer))
    return outer, holes, extra
