#!/usr/bin/env python3
"""Prints how loud the cluck and the music are in a capture of the game.

The capture is what the game sent to its sound output: a WAV of 32-bit float
stereo frames. The music is stereo and low-passed at 480 Hz; the cluck is
mono, centred while the aim is on the chicken, with most of its energy far
above that. So the side signal (left minus right) is the music's alone, and
the first difference of the mid signal, which damps everything under 500 Hz
more than tenfold, is mostly the cluck's.

Usage: CaptureLevels.py capture.wav  ->  "cluck <rms> music <rms> seconds <s>"
"""
import math
import struct
import sys


def frames(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        sys.exit(f"{path}: not a WAV file")
    pos, fmt = 12, None
    while pos + 8 <= len(data):
        chunk, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = pos + 8
        if chunk == b"fmt ":
            tag, channels, rate = struct.unpack_from("<HHI", data, body)
            bits = struct.unpack_from("<H", data, body + 14)[0]
            fmt = (tag, channels, rate, bits)
        elif chunk == b"data":
            if fmt is None or fmt[1] != 2 or fmt[3] != 32 or fmt[0] not in (3, 0xFFFE):
                sys.exit(f"{path}: expected 32-bit float stereo, got {fmt}")
            # A capture cut short leaves the size open: take what is there.
            end = len(data) if size in (0, 0xFFFFFFFF) else min(len(data), body + size)
            count = (end - body) // 8
            return fmt[2], struct.unpack_from(f"<{2 * count}f", data, body)
        pos = body + size + (size & 1)
    sys.exit(f"{path}: no data chunk")


def main():
    rate, samples = frames(sys.argv[1])
    left, right = samples[0::2], samples[1::2]
    n = len(left)
    if n < 2:
        print(f"cluck 0 music 0 seconds {n / rate:.2f}")
        return
    side = sum((l - r) ** 2 for l, r in zip(left, right)) / n
    mids = [(l + r) / 2 for l, r in zip(left, right)]
    edge = sum((b - a) ** 2 for a, b in zip(mids, mids[1:])) / (n - 1)
    print(f"cluck {math.sqrt(edge):.6f} music {math.sqrt(side):.6f} seconds {n / rate:.2f}")


if __name__ == "__main__":
    main()
