#!/usr/bin/env python3
"""Draws the player's tool-bar images: 16 images of 16 x 16 side by side, one
per button in the order of the tool-bar resource, as a 24-bit .bmp.

    tools/make_toolbar.py player/toolbar.bmp

Magenta (255, 0, 255) is the background: the tool bar loads the bitmap into
an image list with magenta as the mask colour, so the images are drawn
transparently on any button face. Shapes have hard edges for that reason.
--ascii prints the images as text instead.
"""
import struct
import sys

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
    def __init__(self):
        self.px = [[BACK] * SIZE for _ in range(SIZE)]

    def set(self, x, y, c):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        """Fills columns x0..x1 and rows y0..y1 (inclusive)."""
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.set(x, y, c)

    def triangle(self, base, apex, half, c, yc=8.0):
        """A triangle pointing along x: its base at x=base with rows
        yc-half..yc+half, its tip at x=apex. Pixels whose centre is inside."""
        lo, hi = min(base, apex), max(base, apex)
        for y in range(SIZE):
            for x in range(SIZE):
                u, v = x + 0.5, y + 0.5
                if lo <= u <= hi and abs(v - yc) <= half * (apex - u) / (apex - base) + 1e-9:
                    self.set(x, y, c)

    def line(self, x0, y0, x1, y1, c, width=1):
        """A line from pixel (x0, y0) to (x1, y1), `width` pixels across in x."""
        steps = max(abs(x1 - x0), abs(y1 - y0))
        for i in range(steps + 1):
            x = x0 + round((x1 - x0) * i / steps)
            y = y0 + round((y1 - y0) * i / steps)
            for w in range(width):
                self.set(x + w, y, c)

    def text(self, x, y, word, c):
        for ch in word:
            for row, bits in enumerate(FONT[ch]):
                for col, bit in enumerate(bits):
                    if bit == '#':
                        self.set(x + col, y + row, c)
            x += 4


def speaker(im, c, waves):
    im.rect(1, 6, 3, 9, c)                   # the magnet
    for x in range(4, 9):                    # the cone, widening to the right
        half = 2 + (x - 4) * 0.6
        for y in range(SIZE):
            if abs(y + 0.5 - 8) <= half:
                im.set(x, y, c)
    if waves:
        for r in (3.5, 6):
            for y in range(SIZE):
                for x in range(10, SIZE):
                    d = ((x + 0.5 - 7) ** 2 + (y + 0.5 - 8) ** 2) ** 0.5
                    if abs(d - r) < 0.55 and abs(y + 0.5 - 8) < r * 0.8:
                        im.set(x, y, c)


def draw(i):
    im = Image()
    if i == 0:      # play
        im.triangle(4, 13, 5.5, GREEN)
    elif i == 1:    # pause
        im.rect(4, 3, 6, 12, INK)
        im.rect(9, 3, 11, 12, INK)
    elif i == 2:    # stop
        im.rect(4, 4, 11, 11, INK)
    elif i == 4:    # skip back: bar, triangle pointing left
        im.rect(3, 3, 4, 12, INK)
        im.triangle(13, 5, 5.5, INK)
    elif i == 5:    # rewind
        im.triangle(8, 1, 4.5, INK)
        im.triangle(15, 8, 4.5, INK)
    elif i == 6:    # fast forward
        im.triangle(1, 8, 4.5, INK)
        im.triangle(8, 15, 4.5, INK)
    elif i == 7:    # skip forward: triangle pointing right, bar
        im.triangle(3, 11, 5.5, INK)
        im.rect(11, 3, 12, 12, INK)
    elif i == 9:    # step: one frame, an arrow to the next
        im.rect(1, 4, 7, 4, INK)
        im.rect(1, 11, 7, 11, INK)
        im.rect(1, 4, 1, 11, INK)
        im.rect(7, 4, 7, 11, INK)
        im.triangle(9, 15, 4, INK)
    elif i == 11:   # full screen: the word
        im.text(1, 6, 'Full', INK)
        im.rect(0, 3, 15, 3, INK)
        im.rect(0, 12, 15, 12, INK)
    elif i == 12:   # sound on
        speaker(im, INK, True)
    elif i == 13:   # mute: the speaker crossed out
        speaker(im, INK, True)
        im.line(1, 14, 14, 1, RED, 2)
    elif i == 14:   # audio off: a grey speaker
        speaker(im, GREY, False)
    elif i == 15:   # kill the remote player: a red cross
        im.line(3, 3, 11, 11, RED, 2)
        im.line(11, 3, 3, 11, RED, 2)
    return im       # 3, 8 and 10 are blank


def strip():
    """Rows of the whole strip, top first."""
    images = [draw(i) for i in range(16)]
    return [[c for im in images for c in im.px[y]] for y in range(SIZE)]


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


def ascii_art(rows):
    marks = {BACK: '.', INK: '#', GREEN: 'g', RED: 'r', GREY: '+'}
    for y, row in enumerate(rows):
        print(' '.join(''.join(marks[c] for c in row[i * SIZE:(i + 1) * SIZE]) for i in range(16)))


def main(args):
    if args and args[0] == '--ascii':
        ascii_art(strip())
        return
    with open(args[0] if args else 'player/toolbar.bmp', 'wb') as f:
        f.write(bmp(strip()))


if __name__ == '__main__':
    main(sys.argv[1:])
