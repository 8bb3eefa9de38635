#!/usr/bin/env python3
"""Writes a sample media file for the main job: a 16-bit stereo 44.1 kHz WAV
of a slowly changing chord, SECONDS long (default 96, about 16 MiB).

    make_sample.py OUT.wav [SECONDS]
"""
import math
import struct
import sys

RATE = 44100


def second(index):
    """One second of audio; the chord moves with the index."""
    base = 220.0 * 2 ** ((index % 12) / 12.0)
    freqs = (base, base * 1.25, base * 1.5)
    out = bytearray()
    for n in range(RATE):
        t = n / RATE
        v = sum(math.sin(2 * math.pi * f * t) for f in freqs) / 3.0
        left = int(12000 * v)
        right = int(12000 * v * (0.5 + 0.5 * math.cos(2 * math.pi * 0.25 * (index + t))))
        out += struct.pack('<hh', left, right)
    return bytes(out)


def main():
    path = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 96
    blocks = [second(i) for i in range(12)]
    data_size = seconds * RATE * 4
    with open(path, 'wb') as f:
        f.write(b'RIFF' + struct.pack('<I', 36 + data_size) + b'WAVE')
        f.write(b'fmt ' + struct.pack('<IHHIIHH', 16, 1, 2, RATE, RATE * 4, 4, 16))
        f.write(b'data' + struct.pack('<I', data_size))
        for i in range(seconds):
            f.write(blocks[i % 12])
    print(f'sample: {path} ({data_size + 44} bytes, {seconds} s of 44.1 kHz stereo)')


if __name__ == '__main__':
    main()
