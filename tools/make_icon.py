#!/usr/bin/env python3
"""Draws the server's icon (a play sign on a blue tile) at 16, 32 and 48
pixels and writes it as a Windows .ico with 32-bit images.

    tools/make_icon.py server/PyxVideoServer.ico
"""
import struct
import sys


def pixel(size, x, y):
    """BGRA of one pixel, sampled 4x4 for smooth edges."""
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(4):
        for sx in range(4):
            u = (x + (sx + 0.5) / 4) / size
            v = (y + (sy + 0.5) / 4) / size
            # Rounded tile with a margin of 1/16.
            m, r = 1 / 16, 3 / 16
            dx = max(m + r - u, 0, u - (1 - m - r))
            dy = max(m + r - v, 0, v - (1 - m - r))
            if dx * dx + dy * dy > r * r:
                continue
            # Triangle pointing right.
            inside = 0.34 <= u <= 0.74 and abs(v - 0.5) <= (0.74 - u) * 0.6
            if inside:
                c = (255, 255, 255)
            else:
                shade = 1 - 0.35 * v
                c = (int(200 * shade), int(110 * shade), int(30 * shade))
            acc[0] += c[0]
            acc[1] += c[1]
            acc[2] += c[2]
            acc[3] += 255
    return tuple(int(round(a / 16)) for a in acc)


def image(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b''.join(struct.pack('<BBBB', *pixel(size, x, y)) for x in range(size)))
    stride = ((size + 31) // 32) * 4
    mask = bytes(stride * size)  # alpha decides; the AND mask is all opaque
    return header + b''.join(rows) + mask


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'server/PyxVideoServer.ico')
