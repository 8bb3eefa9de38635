#!/usr/bin/env python3
"""Draws a program's icon at 16, 32 and 48 pixels and writes it as a Windows
.ico with 32-bit images: the server's is a play sign on a blue tile, the
player's (--player) a play sign in a ring on a green tile.

    tools/make_icon.py server/PyxVideoServer.ico
    tools/make_icon.py --player player/PyxUserInterface.ico
"""
import struct
import sys


# Tile colours (BGR) at the top: the server's blue, the player's green.
TILES = {'server': (200, 110, 30), 'player': (60, 150, 20)}


def pixel(size, x, y, motif):
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
            if motif == 'player':
                # A smaller play sign, and a ring around it.
                inside = 0.38 <= u <= 0.7 and abs(v - 0.5) <= (0.7 - u) * 0.62
                inside = inside or abs(((u - 0.5) ** 2 + (v - 0.5) ** 2) ** 0.5 - 0.3) <= 0.045
            if inside:
                c = (255, 255, 255)
            else:
                shade = 1 - 0.35 * v
                b, g, r = TILES[motif]
                c = (int(b * shade), int(g * shade), int(r * shade))
            acc[0] += c[0]
            acc[1] += c[1]
            acc[2] += c[2]
            acc[3] += 255
    return tuple(int(round(a / 16)) for a in acc)


def image(size, motif):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b''.join(struct.pack('<BBBB', *pixel(size, x, y, motif)) for x in range(size)))
    stride = ((size + 31) // 32) * 4
    mask = bytes(stride * size)  # alpha decides; the AND mask is all opaque
    return header + b''.join(rows) + mask


def main(args):
    motif = 'player' if '--player' in args else 'server'
    paths = [a for a in args if not a.startswith('--')]
    path = paths[0] if paths else {'server': 'server/PyxVideoServer.ico',
                                   'player': 'player/PyxUserInterface.ico'}[motif]
    sizes = (16, 32, 48)
    images = [image(s, motif) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1:])
