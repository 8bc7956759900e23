#!/usr/bin/env python3
"""Prints the level (0..32767) of each frequency in raw 48 kHz stereo s16le
sound (left channel, Goertzel), measured over the middle of the file.

    tone_level.py FILE HZ [HZ...]
"""
import math
import struct
import sys


def level(samples, hz):
    w = 2.0 * math.pi * hz / 48000.0
    coeff = 2.0 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s0 = x + coeff * s1 - s2
        s2, s1 = s1, s0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2.0 * math.sqrt(max(power, 0.0)) / max(len(samples), 1)


def main():
    data = open(sys.argv[1], "rb").read()
    frames = len(data) // 4
    left = struct.unpack("<%dh" % (frames * 2), data[: frames * 4])[0::2]
    middle = left[len(left) // 4 : len(left) // 4 + 24000]  # half a second
    print(" ".join("%.0f" % level(middle, float(hz)) for hz in sys.argv[2:]))


if __name__ == "__main__":
    main()
