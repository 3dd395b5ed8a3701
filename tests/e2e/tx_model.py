"""A model of the modem's transmit audio, written from the framing and
modulation rules alone: HDLC flags, bit stuffing, the CRC-16/X.25 FCS and
NRZI, then phase-continuous AFSK in 32.32 fixed point from a 256-entry sine
table; and the ramped test tone that some PTT methods put first."""

import math
import struct


def _f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def fcs(data):
    reg = 0xFFFF
    for byte in data:
        reg ^= byte
        for _ in range(8):
            reg = (reg >> 1) ^ 0x8408 if reg & 1 else reg >> 1
    return ~reg & 0xFFFF


def flag_count(baud, ms):
    return (baud * ms + 7999) // 8000


def line_levels(data, pre_flags, post_flags):
    """NRZI levels of flags, the stuffed frame and its FCS, then flags."""
    flag = [0, 1, 1, 1, 1, 1, 1, 0]
    bits = flag * pre_flags
    ones = 0
    check = fcs(data)
    for byte in bytes(data) + bytes([check & 0xFF, check >> 8]):
        for k in range(8):
            bit = (byte >> k) & 1
            bits.append(bit)
            ones = ones + 1 if bit else 0
            if ones == 5:
                bits.append(0)
                ones = 0
    bits += flag * post_flags
    levels, level = [], 0
    for bit in bits:
        if bit == 0:
            level ^= 1
        levels.append(level)
    return levels


def afsk(levels, rate, baud=1200, mark=1200, space=2200):
    table = [int(math.copysign(math.floor(abs(16384 * math.sin(2 * math.pi * k / 256)) + 0.5),
                               math.sin(2 * math.pi * k / 256))) for k in range(256)]
    step = (rate << 32) // baud
    inc = {1: ((mark << 32) // rate) & 0xFFFFFFFF, 0: ((space << 32) // rate) & 0xFFFFFFFF}
    out, acc, phase = [], 0, 0
    for level in levels:
        acc += step
        n, acc = acc >> 32, acc & 0xFFFFFFFF
        for _ in range(n):
            out.append(table[phase >> 24])
            phase = (phase + inc[level]) & 0xFFFFFFFF
    return out


def frame_samples(data, rate, txdelay_ms=300, txtail_ms=100, baud=1200, mark=1200, space=2200):
    levels = line_levels(data, flag_count(baud, txdelay_ms), flag_count(baud, txtail_ms))
    return afsk(levels, rate, baud, mark, space)


def ramped_tone(rate, duration_ms, freq):
    """The test tone: 0.6 of full scale, raised-cosine ramps of 5 ms."""
    n = rate * duration_ms // 1000
    w = _f32(_f32(freq * _f32(2 * math.pi)) / rate)
    out = [int(_f32(19660.201 * _f32(math.sin(_f32(w * j))))) for j in range(n)]
    r = min(n // 2, int(_f32(rate * 5 / 1000)))
    for k in range(r):
        gain = _f32((1 - _f32(math.cos(_f32(k * _f32(math.pi) / r)))) / 2)
        out[k] = int(_f32(gain * out[k]))
        out[n - 1 - k] = int(_f32(gain * out[n - 1 - k]))
    return out


def keying_tone(count, rate, freq):
    """The keying tone beside `count` samples, from phase 0."""
    full = _f32(6.2831855)
    inc = _f32(_f32(freq * full) / rate)
    out, phase = [], 0.0
    for _ in range(count):
        out.append(int(_f32(math.sin(phase) * 19660.201)))
        phase = _f32(phase + inc)
        if phase >= full:
            phase = _f32(phase - full)
    return out
