#!/usr/bin/env python3
"""Write a large one-program transport stream for the benchmark.

One segment is built in memory and written again and again.  A segment holds
five PMT runs, A B A C A, on PMT PID 0x1000 (program 1):

  A  MPEG-2 video 0x100, MPEG audio 0x101 (jpn); PCR on its own PID 0x1FF.
  B  as A plus audio 0x102 (eng) and subtitles 0x103 with a long language
     list, so that B's section spans two packets; PCR on 0x1FF.
  C  H.264 video 0x100 carrying the PCR, AAC audio 0x101; during C the PAT
     also carries the network entry (program 0, PID 0x10).

The segment starts and ends with run A, so a repetition joins its last run
with the next one's first: the file holds 4 * repeats + 1 runs.  Every PID
that carries payload has a multiple of 16 packets in the segment, so the
continuity counters stay continuous across repetitions; packets without
payload (PCR-only, null) keep their counter as the standard requires.

Besides the stream, a key=value file describes what a correct tool reports
for it: the listing lines, the bytes of each PMT split and of the program
split.
"""

import argparse
import os
import random
import sys
import time

PACKET = 188
PAT_PID = 0x0000
SDT_PID = 0x0011
PMT_PID = 0x1000
PCR_PID = 0x01FF
VIDEO_PID = 0x0100
AUDIO1_PID = 0x0101
AUDIO2_PID = 0x0102
SUBS_PID = 0x0103
NULL_PID = 0x1FFF
PROGRAM = 1
NETWORK_PID = 0x0010

MUX_RATE = 8_000_000          # bit/s, sets the clock of PCR and PTS
TICKS_PER_PACKET = PACKET * 8 * 27_000_000 // MUX_RATE   # 27 MHz ticks
PSI_INTERVAL = 500            # packets between PAT/PMT repeats (~94 ms)
PCR_INTERVAL = 180            # packets between PCRs (~34 ms)
SDT_INTERVAL = 10_000
AUDIO_PES_PACKETS = 4         # one audio PES fills exactly four packets
AUDIO_INTERVAL = 60           # slots between audio PES starts, per audio PID
SUBS_INTERVAL = 2_000
NULL_INTERVAL = 23


def _crc_table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        table.append(c & 0xFFFFFFFF)
    return table


_CRC_TABLE = _crc_table()


def crc32_mpeg2(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ _CRC_TABLE[((crc >> 24) ^ b) & 0xFF]
    return crc


def long_section(table_id, ext, version, body, flags=0xB0):
    """A long-form section with its CRC_32; flags is the byte holding the
    section_syntax_indicator and the reserved bits above section_length."""
    length = 5 + len(body) + 4
    assert length <= 1021
    head = bytes([table_id, flags | (length >> 8), length & 0xFF,
                  ext >> 8, ext & 0xFF, 0xC1 | (version << 1), 0, 0])
    sec = head + body
    return sec + crc32_mpeg2(sec).to_bytes(4, "big")


def pat_section(entries, version):
    body = b"".join(pn.to_bytes(2, "big") + (0xE000 | pid).to_bytes(2, "big")
                    for pn, pid in entries)
    return long_section(0x00, 0x0421, version, body)


def iso639(*langs):
    data = b"".join(l.encode() + b"\x00" for l in langs)
    return bytes([0x0A, len(data)]) + data


def pmt_section(version, pcr_pid, program_info, streams):
    body = (0xE000 | pcr_pid).to_bytes(2, "big")
    body += (0xF000 | len(program_info)).to_bytes(2, "big") + program_info
    for stype, pid, info in streams:
        body += bytes([stype]) + (0xE000 | pid).to_bytes(2, "big")
        body += (0xF000 | len(info)).to_bytes(2, "big") + info
    return long_section(0x02, PROGRAM, version, body)


def sdt_section():
    name = b"Bench"
    provider = b"velkarin"
    service = bytes([0x48, 3 + len(provider) + len(name), 0x01,
                     len(provider)]) + provider + bytes([len(name)]) + name
    body = (0x0001).to_bytes(2, "big") + b"\xFF"
    body += PROGRAM.to_bytes(2, "big") + b"\xFC"
    body += (0x8000 | len(service)).to_bytes(2, "big") + service
    return long_section(0x42, 0x0421, 0, body, flags=0xF0)


def pts_bytes(prefix, pts):
    pts &= (1 << 33) - 1
    return bytes([(prefix << 4) | ((pts >> 29) & 0x0E) | 1,
                  (pts >> 22) & 0xFF, ((pts >> 14) & 0xFE) | 1,
                  (pts >> 7) & 0xFF, ((pts << 1) & 0xFE) | 1])


def pcr_bytes(ticks):
    base, ext = divmod(ticks, 300)
    base &= (1 << 33) - 1
    return bytes([(base >> 25) & 0xFF, (base >> 17) & 0xFF, (base >> 9) & 0xFF,
                  (base >> 1) & 0xFF, ((base & 1) << 7) | 0x7E | (ext >> 8),
                  ext & 0xFF])


# PMT versions and PATs of the runs.
PMT_A = pmt_section(0, PCR_PID, b"", [
    (0x02, VIDEO_PID, b""),
    (0x03, AUDIO1_PID, iso639("jpn")),
])
PMT_B = pmt_section(1, PCR_PID, bytes([0x0E, 3, 0xC0, 0x4E, 0x20]), [
    (0x02, VIDEO_PID, bytes([0x06, 1, 0x01])),
    (0x03, AUDIO1_PID, iso639("jpn")),
    (0x03, AUDIO2_PID, iso639("eng")),
    (0x06, SUBS_PID, iso639("jpn", "eng", "fra", "deu", "ita", "spa", "por",
                            "nld", "swe", "nor", "dan", "fin", "pol", "ces",
                            "hun", "ell", "tur", "rus", "kor", "zho", "ara",
                            "heb", "tha", "vie", "ind", "msa", "hin", "ukr",
                            "ron", "bul", "hrv", "srp", "slk", "slv", "est",
                            "lav", "lit", "isl")),
])
PMT_C = pmt_section(2, VIDEO_PID, b"", [
    (0x1B, VIDEO_PID, b""),
    (0x0F, AUDIO1_PID, iso639("jpn")),
])
PAT_SINGLE = pat_section([(PROGRAM, PMT_PID)], 0)
PAT_NETWORK = pat_section([(0, NETWORK_PID), (PROGRAM, PMT_PID)], 1)
SDT = sdt_section()

assert len(PMT_B) > PACKET - 5, "run B's PMT must span two packets"
assert len(PMT_A) <= PACKET - 5 and len(PMT_C) <= PACKET - 5


class Segment:
    """Packets of one segment, with per-PID continuity counters and the
    bookkeeping of what a PMT split and a program split would keep."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.pool = rng.randbytes(1 << 22)
        self.pool_pos = 0
        self.packets = []
        self.cc = {}
        self.count = {}            # payload-carrying packets per PID
        self.pmt = None            # (crc, set of followed PIDs) in force
        self.pmt_bytes = {}        # CRC_32 -> bytes a PMT split writes
        self.crc_order = []
        self.program_bytes = 0     # bytes a program split writes
        self.video_frame = 0
        self.audio_frame = {}

    def random(self, n):
        if self.pool_pos + n > len(self.pool):
            self.pool_pos = 0
        b = self.pool[self.pool_pos:self.pool_pos + n]
        self.pool_pos += n
        return b

    def ticks(self):
        return len(self.packets) * TICKS_PER_PACKET

    def emit(self, pid, pusi, adaptation, payload):
        """Append one packet; adaptation is the adaptation field without its
        length byte (None for none), payload the bytes after it."""
        has_payload = payload is not None
        if has_payload:
            cc = self.cc.get(pid, 0)
            self.cc[pid] = (cc + 1) & 0x0F
            self.count[pid] = self.count.get(pid, 0) + 1
        else:
            cc = (self.cc.get(pid, 0) - 1) & 0x0F   # unchanged: no payload
            payload = b""
        if adaptation is not None:
            af_len = PACKET - 4 - 1 - len(payload)
            stuffing = af_len - len(adaptation)
            assert stuffing >= 0
            af = bytes([af_len]) + adaptation + b"\xFF" * stuffing
            afc = 3 if has_payload else 2
        else:
            af = b""
            afc = 1
            assert len(payload) == PACKET - 4
        head = bytes([0x47, (0x40 if pusi else 0) | (pid >> 8), pid & 0xFF,
                      (afc << 4) | cc])
        pkt = head + af + payload
        assert len(pkt) == PACKET
        self.packets.append(pkt)
        if self.pmt is not None and pid in self.pmt[1]:
            self.pmt_bytes[self.pmt[0]] += PACKET
            self.program_bytes += PACKET

    def section(self, pid, sec):
        """Write a section from the start of a packet, pointer_field 0."""
        data = b"\x00" + sec
        chunks = [data[i:i + PACKET - 4] for i in range(0, len(data), PACKET - 4)]
        for i, chunk in enumerate(chunks):
            self.emit(pid, i == 0, None, chunk + b"\xFF" * (PACKET - 4 - len(chunk)))
        return len(chunks)

    def pat(self, sec):
        self.section(PAT_PID, sec)
        self.program_bytes += PACKET          # the reduced PAT

    def pmt_section(self, sec, followed):
        crc = int.from_bytes(sec[-4:], "big")
        n = self.section(PMT_PID, sec)
        if crc not in self.pmt_bytes:
            self.pmt_bytes[crc] = 0
            self.crc_order.append(crc)
        self.pmt_bytes[crc] += PACKET * (1 + n)   # PAT copy + section packets
        self.program_bytes += PACKET * n
        self.pmt = (crc, followed)

    def pcr_only(self, discontinuity):
        flags = 0x10 | (0x80 if discontinuity else 0)
        self.emit(PCR_PID, False, bytes([flags]) + pcr_bytes(self.ticks()), None)

    def video(self, start, pcr, discontinuity=False):
        adaptation = None
        if pcr:
            flags = 0x10 | (0x80 if discontinuity else 0)
            adaptation = bytes([flags]) + pcr_bytes(self.ticks())
        room = PACKET - 4 - (0 if adaptation is None else 1 + len(adaptation))
        if start:
            pts = self.ticks() // 300 + 45_000
            pes = b"\x00\x00\x01\xE0\x00\x00\x80\x80\x05" + pts_bytes(2, pts)
            # Picture header (temporal reference, I/P/B type), then a slice.
            kind = (1, 2, 3, 3)[self.video_frame % 4] if self.video_frame % 12 else 1
            tref = self.video_frame % 12
            es = (b"\x00\x00\x01\x00" + bytes([tref >> 2, ((tref & 3) << 6) | (kind << 3) | 7,
                                               0xFF, 0xF8]) + b"\x00\x00\x01\x01")
            if self.video_frame % 12 == 0:
                es = (b"\x00\x00\x01\xB3\x2D\x02\x40\x33\xFF\xFF\xE0\x18"
                      b"\x00\x00\x01\xB8\x00\x08\x00\x40") + es
            self.video_frame += 1
            payload = pes + es
            payload += self.random(room - len(payload))
        else:
            payload = self.random(room)
        self.emit(VIDEO_PID, start, adaptation, payload)

    def audio(self, pid, stream_id, packets=AUDIO_PES_PACKETS):
        """One audio PES filling exactly `packets` packets."""
        size = packets * (PACKET - 4)
        pts = self.ticks() // 300 + 45_000
        pes = (b"\x00\x00\x01" + bytes([stream_id]) + (size - 6).to_bytes(2, "big")
               + b"\x80\x80\x05" + pts_bytes(2, pts))
        frame = b"\xFF\xFD\x94\x00"
        data = pes + frame + self.random(size - len(pes) - len(frame))
        for i in range(packets):
            self.emit(pid, i == 0, None, data[i * (PACKET - 4):(i + 1) * (PACKET - 4)])

    def null(self):
        self.emit(NULL_PID, False, None, b"\xFF" * (PACKET - 4))
        self.cc[NULL_PID] = 0

    def run(self, slots, pat, pmt, pcr_on_video, streams, first=False):
        """One PMT run of about `slots` packets; streams lists the ES PIDs
        besides the video.  The run ends with each payload PID of it on a
        multiple of 16 packets, so the segment's counters stay continuous."""
        followed = {VIDEO_PID} | set(streams)
        if not pcr_on_video:
            followed.add(PCR_PID)
        start_counts = {pid: self.count.get(pid, 0) for pid in followed}
        next_audio = {pid: (k + 1) * AUDIO_INTERVAL // (len(streams) + 1)
                      for k, pid in enumerate(streams)}
        video_left = 0                      # packets left in the current frame
        discontinuity = first
        for slot in range(slots):
            if slot % PSI_INTERVAL == 0:
                self.pat(pat)
                self.pmt_section(pmt, followed)
            if slot % SDT_INTERVAL == SDT_INTERVAL // 2:
                self.section(SDT_PID, SDT)
            pcr_due = slot % PCR_INTERVAL == 0
            if pcr_due and not pcr_on_video:
                self.pcr_only(discontinuity)
                discontinuity = False
            if slot % NULL_INTERVAL == NULL_INTERVAL - 1:
                self.null()
                continue
            due = [pid for pid in streams if slot >= next_audio[pid]]
            if due:
                pid = due[0]
                if pid == SUBS_PID:
                    self.audio(pid, 0xBD, 1)
                    next_audio[pid] = slot + SUBS_INTERVAL
                else:
                    self.audio(pid, 0xC0 + (pid - AUDIO1_PID), AUDIO_PES_PACKETS)
                    next_audio[pid] = slot + AUDIO_INTERVAL
                continue
            start = video_left == 0
            if start:
                video_left = (90, 30, 12, 12)[self.video_frame % 4] \
                    if self.video_frame % 12 else 140
            self.video(start, pcr_due and pcr_on_video, discontinuity)
            if pcr_due and pcr_on_video:
                discontinuity = False
            video_left -= 1
        # Fill each stream of the run up to a multiple of 16 packets.
        for pid in sorted(followed):
            if pid == PCR_PID:
                continue
            while (self.count.get(pid, 0) - start_counts[pid]) % 16:
                if pid == VIDEO_PID:
                    self.video(False, False)
                elif pid == SUBS_PID:
                    self.audio(pid, 0xBD, 1)
                else:
                    self.audio(pid, 0xC0 + (pid - AUDIO1_PID), AUDIO_PES_PACKETS)

    def close(self, pat, pmt, followed):
        """Top up PAT, PMT and SDT so their counters wrap at the segment end;
        the segment ends in run A, whose PMT is one packet."""
        while self.count[PAT_PID] % 16:
            self.pat(pat)
        while self.count[PMT_PID] % 16:
            self.pmt_section(pmt, followed)
        while self.count[SDT_PID] % 16:
            self.section(SDT_PID, SDT)
        for pid, n in self.count.items():
            assert pid == NULL_PID or n % 16 == 0, (hex(pid), n)


def build_segment(run_slots, network_entry):
    seg = Segment(seed=20240601)
    a_streams = [AUDIO1_PID]
    pat_c = PAT_NETWORK if network_entry else PAT_SINGLE
    seg.run(run_slots, PAT_SINGLE, PMT_A, False, a_streams, first=True)
    seg.run(run_slots, PAT_SINGLE, PMT_B, False, [AUDIO1_PID, AUDIO2_PID, SUBS_PID])
    seg.run(run_slots, PAT_SINGLE, PMT_A, False, a_streams)
    seg.run(run_slots, pat_c, PMT_C, True, a_streams)
    seg.run(run_slots // 2, PAT_SINGLE, PMT_A, False, a_streams)
    seg.close(PAT_SINGLE, PMT_A, {VIDEO_PID, AUDIO1_PID, PCR_PID})
    return seg


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("output", help="stream file to write")
    ap.add_argument("--size-mib", type=int, default=1024,
                    help="approximate size of the stream in MiB (default 1024)")
    ap.add_argument("--run-packets", type=int, default=40_000,
                    help="packet slots per PMT run (default 40000)")
    ap.add_argument("--no-network-entry", action="store_true",
                    help="keep the PAT to its single entry in run C too")
    ap.add_argument("--facts", help="write the expected results here (key=value)")
    args = ap.parse_args()

    t0 = time.monotonic()
    seg = build_segment(args.run_packets, not args.no_network_entry)
    data = b"".join(seg.packets)
    repeats = max(1, round(args.size_mib * (1 << 20) / len(data)))
    with open(args.output, "wb") as f:
        for _ in range(repeats):
            f.write(data)
    total = repeats * len(data)

    runs = 4 * repeats + 1
    if runs > 256:
        print(f"warning: {runs} PMT runs; a survey table holds 256",
              file=sys.stderr)
    if args.facts:
        with open(args.facts, "w") as f:
            f.write(f"bytes={total}\n")
            f.write(f"packets={total // PACKET}\n")
            f.write(f"segment_bytes={len(data)}\n")
            f.write(f"repeats={repeats}\n")
            f.write(f"runs={runs}\n")
            for i, crc in enumerate(seg.crc_order):
                size = seg.pmt_bytes[crc] * repeats
                f.write(f"crc{i}={crc:08X}\n")
                f.write(f"crc{i}_bytes={size}\n")
                f.write(f"listing{i}=PMT CRC32:0x{crc:08X} size:{size >> 20}MB\n")
            f.write(f"crcs={len(seg.crc_order)}\n")
            f.write(f"program_bytes={seg.program_bytes * repeats}\n")
    print(f"{args.output}: {total} bytes, {repeats} x {len(data)}-byte segment, "
          f"{runs} PMT runs, {time.monotonic() - t0:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
