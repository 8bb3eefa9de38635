#!/usr/bin/env python3
"""Draws the player's tool-bar images: 16 images of 16 x 16 side by side, one
per button of the player's command table (common/player_command_table.h),
left to right, each drawn by its image name, as a 24-bit .bmp; with
--size 24 or --size 32 the same images at that size, for 150 % and 200 %
scale (the shapes are laid out on the 16-pixel grid and drawn at the size
asked for).

    tools/make_toolbar.py player/toolbar.bmp
    tools/make_toolbar.py --size 24 player/toolbar24.bmp
    tools/make_toolbar.py --size 32 player/toolbar32.bmp

Magenta (255, 0, 255) is the background: the tool bar loads the bitmap into
an image list with magenta as the mask colour, so the images are drawn
transparently on any button face. Shapes have hard edges for that reason.
--ascii prints the images as text instead.
"""
import os
import re
import struct
import sys

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common', 'player_command_table.h')

SIZE = 16
BACK = (255, 0, 255)
INK = (24, 24, 24)
GREEN = (0, 140, 0)
RED = (210, 0, 0)
GREY = (150, 150, 150)

# 3 x 5 pixel letters, one string of 3 characters per row.
FONT = {
    'F': ('###', '#..', '##.', '#..', '#..'),
    'u': ('...', '#.#', '#.#', '#.#', '###'),
    'l': ('#..', '#..', '#..', '#..', '##.'),
}


class Image:
    """One image of `size` pixels. Shapes are given on the 16-pixel grid; a
    pixel takes a shape's colour when its centre, in grid units, lies in the
    shape, so at 16 pixels each grid cell is one pixel."""

    def __init__(self, size=SIZE):
        self.size = size
        self.px = [[BACK] * size for _ in range(size)]

    def fill(self, inside, c):
        """Every pixel whose centre (u, v), in grid units, is inside."""
        k = SIZE / self.size
        for y in range(self.size):
            for x in range(self.size):
                if inside((x + 0.5) * k, (y + 0.5) * k):
                    self.px[y][x] = c

    def cells(self, cells, c):
        """Whole grid cells (x, y)."""
        cells = set(cells)
        self.fill(lambda u, v: (int(u), int(v)) in cells, c)

    def rect(self, x0, y0, x1, y1, c):
        """Fills grid columns x0..x1 and rows y0..y1 (inclusive)."""
        self.fill(lambda u, v: x0 <= u < x1 + 1 and y0 <= v < y1 + 1, c)

    def triangle(self, base, apex, half, c, yc=8.0):
        """A triangle pointing along x: its base at x=base with rows
        yc-half..yc+half, its tip at x=apex."""
        lo, hi = min(base, apex), max(base, apex)
        self.fill(lambda u, v: lo <= u <= hi and abs(v - yc) <= half * (apex - u) / (apex - base) + 1e-9, c)

    def line(self, x0, y0, x1, y1, c, width=1):
        """A line of grid cells from (x0, y0) to (x1, y1), `width` cells across in x."""
        steps = max(abs(x1 - x0), abs(y1 - y0))
        self.cells(((x0 + round((x1 - x0) * i / steps) + w, y0 + round((y1 - y0) * i / steps))
                    for i in range(steps + 1) for w in range(width)), c)

    def text(self, x, y, word, c):
        cells = []
        for ch in word:
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    if bit == '#':
                        cells.append((x + col, y + row))
            x += 4
        self.cells(cells, c)


def speaker(im, c, waves):
    im.rect(1, 6, 3, 9, c)                   # the magnet
    # The cone, widening to the right column by column.
    im.fill(lambda u, v: 4 <= u < 9 and abs(v - 8) <= 2 + (int(u) - 4) * 0.6, c)
    if waves:
        def wave(u, v):
            d = ((u - 7) ** 2 + (v - 8) ** 2) ** 0.5
            return u >= 10 and any(abs(d - r) < 0.55 and abs(v - 8) < r * 0.8 for r in (3.5, 6))
        im.fill(wave, c)


def buttons():
    """The image name of each button of the table, left to right; None for a
    gap (a blank button)."""
    row = re.compile(r'^\s*(?:BUTTON|WINDOW_BUTTON)\(.*,\s*(\w+)\)[\s\\]*$|^\s*GAP\(\)[\s\\]*$')
    with open(TABLE) as f:
        return [m.group(1) for m in (row.match(line) for line in f) if m]


def draw(name, size=SIZE):
    im = Image(size)
    if name == 'play':
        im.triangle(4, 13, 5.5, GREEN)
    elif name == 'pause':
        im.rect(4, 3, 6, 12, INK)
        im.rect(9, 3, 11, 12, INK)
    elif name == 'stop':
        im.rect(4, 4, 11, 11, INK)
    elif name == 'skip_back':       # bar, triangle pointing left
        im.rect(3, 3, 4, 12, INK)
        im.triangle(13, 5, 5.5, INK)
    elif name == 'rewind':
        im.triangle(8, 1, 4.5, INK)
        im.triangle(15, 8, 4.5, INK)
    elif name == 'fast_forward':
        im.triangle(1, 8, 4.5, INK)
        im.triangle(8, 15, 4.5, INK)
    elif name == 'skip_forward':    # triangle pointing right, bar
        im.triangle(3, 11, 5.5, INK)
        im.rect(11, 3, 12, 12, INK)
    elif name == 'step':            # one frame, an arrow to the next
        im.rect(1, 4, 7, 4, INK)
        im.rect(1, 11, 7, 11, INK)
        im.rect(1, 4, 1, 11, INK)
        im.rect(7, 4, 7, 11, INK)
        im.triangle(9, 15, 4, INK)
    elif name == 'full_screen':     # the word
        im.text(1, 6, 'Full', INK)
        im.rect(0, 3, 15, 3, INK)
        im.rect(0, 12, 15, 12, INK)
    elif name == 'sound_on':
        speaker(im, INK, True)
    elif name == 'mute':            # the speaker crossed out
        speaker(im, INK, True)
        im.line(1, 14, 14, 1, RED, 2)
    elif name == 'audio_off':       # a grey speaker
        speaker(im, GREY, False)
    elif name == 'kill':            # kill the remote player: a red cross
        im.line(3, 3, 11, 11, RED, 2)
        im.line(11, 3, 3, 11, RED, 2)
    elif name is not None:
        sys.exit('make_toolbar.py: no drawing for the image "%s" of %s' % (name, TABLE))
    return im       # a gap is blank


def strip(size=SIZE):
    """Rows of the whole strip, top first."""
    images = [draw(name, size) for name in buttons()]
    return [[c for im in images for c in im.px[y]] for y in range(size)]


def bmp(rows):
    width, height = len(rows[0]), len(rows)
    stride = (width * 3 + 3) // 4 * 4
    pixels = b''
    for row in reversed(rows):  # bottom-up
        line = b''.join(struct.pack('<BBB', b, g, r) for r, g, b in row)
        pixels += line + bytes(stride - len(line))
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + pixels


def ascii_art(rows, size):
    marks = {BACK: '.', INK: '#', GREEN: 'g', RED: 'r', GREY: '+'}
    for y, row in enumerate(rows):
        count = len(rows[0]) // size
    print(' '.join(''.join(marks[c] for c in row[i * size:(i + 1) * size]) for i in range(count)))


def main(args):
    size = SIZE
    if len(args) >= 2 and args[0] == '--size':
        size = int(args[1])
        args = args[2:]
    if args and args[0] == '--ascii':
        ascii_art(strip(size), size)
        return
    with open(args[0] if args else 'player/toolbar.bmp', 'wb') as f:
        f.write(bmp(strip(size)))


if __name__ == '__main__':
    main(sys.argv[1:])
