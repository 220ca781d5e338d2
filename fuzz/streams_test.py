#!/usr/bin/env python3
"""Tests of the oracle in streams.py on hand-built units: unit detection, the
resynchronisation rule and the subsequence check. Run: python3 fuzz/streams_test.py"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import streams  # noqa: E402


def packet(pid, cc, fill=0x11, pusi=False):
    return bytes([0x47, (0x40 if pusi else 0) | pid >> 8, pid & 0xFF, 0x10 | cc]) + bytes([fill]) * 184


def unit_of(p, unit, n):
    if unit == 192:
        return bytes([0, 0, n >> 8 & 0xFF, n & 0xFF]) + p
    return p + bytes([0xA0 | n & 0x0F]) * (unit - 188)


def pat(entries, cc=0, crc_ok=True):
    length = 5 + 4 * len(entries) + 4
    sec = bytes([0x00, 0xB0 | length >> 8, length & 0xFF, 0x00, 0x01, 0xC1, 0x00, 0x00]) + b"".join(
        bytes([n >> 8, n & 0xFF, 0xE0 | pid >> 8, pid & 0xFF]) for n, pid in entries)
    sec += (streams.crc32_mpeg(sec) ^ (0 if crc_ok else 1)).to_bytes(4, "big")
    payload = b"\x00" + sec
    return bytes([0x47, 0x40, 0x00, 0x10 | cc]) + payload + b"\xFF" * (184 - len(payload))


def stream(unit, count=6):
    return [unit_of(packet(0x100 + k, k), unit, k) for k in range(count)]


class UnitSize(unittest.TestCase):
    def test_units(self):
        for unit in streams.UNITS:
            with self.subTest(unit=unit):
                self.assertEqual(streams.unit_size(b"".join(stream(unit, 10))), unit)
                self.assertEqual(streams.unit_size(b"\x12\x47" * 50 + b"".join(stream(unit, 10))), unit)

    def test_188_with_0x47_at_204_strides(self):
        # A payload byte 0x47 at every 204-byte stride for four strides: still 188.
        data = bytearray(b"".join(stream(188, 10)))
        for k in range(4):
            data[100 + 204 * k] = 0x47
        self.assertEqual(streams.unit_size(bytes(data)), 188)


class Resync(unittest.TestCase):
    def test_rule(self):
        # (name, edit of the list of 8 units -> bytes, indexes of the units kept). The first
        # start needs two strides after it, so the damage lies after unit 2.
        lone = bytearray(60)
        lone[10] = 0x47  # a lone 0x47 in junk: not a confirmed start
        cases = [
            ("clean", lambda u, h: b"".join(u), range(8)),
            ("junk in front", lambda u, h: b"\x47\x00\x47" + b"".join(u), range(8)),
            ("damage in the first two strides", lambda u, h: u[0] + u[1][:150] + b"".join(u[3:]), range(3, 8)),
            ("junk between", lambda u, h: b"".join(u[:4]) + bytes(lone) + b"".join(u[4:]), range(8)),
            ("two junk bytes between", lambda u, h: b"".join(u[:4]) + b"\x00\x01" + b"".join(u[4:]), range(8)),
            ("one byte lost", lambda u, h: b"".join(u[:4]) + u[4][:100] + u[4][101:] + b"".join(u[5:]), [0, 1, 2, 3, 5, 6, 7]),
            ("header of one lost", lambda u, h: b"".join(u[:4]) + u[4][h:] + b"".join(u[5:]), [0, 1, 2, 3, 5, 6, 7]),
            ("cut inside, the next unit 150 in", lambda u, h: b"".join(u[:4]) + u[4][:150] + b"".join(u[6:]), [0, 1, 2, 3, 6, 7]),
            ("cut in the last", lambda u, h: b"".join(u)[:-50], range(7)),
            ("junk at the end", lambda u, h: b"".join(u) + bytes(30), range(8)),
        ]
        for unit in streams.UNITS:
            units = stream(unit, 8)
            for name, edit, kept in cases:
                with self.subTest(unit=unit, case=name):
                    data = edit(units, streams.lead(unit) + 4)
                    got = [data[o:o + unit] for o in streams.units(data, unit)]
                    self.assertEqual(got, [units[k] for k in kept])


class Subsequence(unittest.TestCase):
    def test_check(self):
        for unit in streams.UNITS:
            units = [unit_of(pat([(0, 0x10), (1, 0x1000), (2, 0x1001)]), unit, 0)] + stream(unit)[1:]
            index = streams.Index(streams.Stream(b"".join(units), unit))
            own = unit_of(pat([(1, 0x1000)]), unit, 9)
            bad = unit_of(pat([(1, 0x1000)], crc_ok=False), unit, 9)
            changed = bytearray(units[3])
            changed[-1 if unit != 204 else 187] ^= 1
            cases = [
                ("every unit", units, None),
                ("some, in order", [units[1], units[3], units[5]], None),
                ("a PAT of the input again", [units[0], units[2], units[0], units[3]], None),
                ("a PAT of its own", [own, units[4]], None),
                ("a PAT with a bad CRC", [own, bad], "offset %d, PID 0x0000: neither" % unit),
                ("repeated", [units[2], units[2]], "offset %d, PID 0x0102: the input packet" % unit),
                ("out of order", [units[3], units[2]], "offset %d, PID 0x0102" % unit),
                ("a changed byte", [units[1], bytes(changed)], "offset %d, PID 0x0103: not a packet" % unit),
                ("a partial unit", [units[1], units[2][:100]], "offset %d: 100 bytes" % unit),
            ]
            for name, out, why in cases:
                with self.subTest(unit=unit, case=name):
                    got = index.check(b"".join(out))
                    if why is None:
                        self.assertIsNone(got)
                    else:
                        self.assertIsNotNone(got)
                        self.assertTrue(got.startswith(why), got)


if __name__ == "__main__":
    unittest.main()
