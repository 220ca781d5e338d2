"""Transport-stream helpers for the corruption run, the output checker and make_corpus.sh,
written from the format alone: packet unit detection (188, 192 and 204 bytes), the units of a
file by one exact resynchronisation rule, section assembly and PAT/PMT parsing, the
subsequence check of an output against its input, and cutting windows of whole units.

Units. A 188-byte unit is the packet. A 192-byte unit (M2TS) is a 4-byte arrival time stamp
and the packet, so its sync byte is at unit offset 4. A 204-byte unit is the packet and a
16-byte trailer, so its sync byte is the unit's first byte. "0x47 at a unit" below means 0x47
at the unit's sync offset.

Resynchronisation (units()). A unit start is confirmed when 0x47 stands at it and at the next
two unit strides (strides whose sync byte lies past the end of the input excepted). The scan
starts at the first confirmed start and steps one unit at a time while the next unit begins
with 0x47. Where it does not, sync is lost: the scan goes on at the first confirmed start
after the current packet's start, and the current packet is kept only when that start lies at
or beyond the current packet's end (or when no confirmed start follows at all); a start inside
it means the packet lost bytes, and it is dropped. An incomplete last packet is dropped.
"""

import bisect

SYNC = 0x47
UNITS = (188, 192, 204)
DETECT_STRIDES = 8  # syncs in a row that unit_size() asks for, where the input has them


def _crc_table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if c & 0x80000000 else (c << 1) & 0xFFFFFFFF
        table.append(c)
    return table


_CRC_TABLE = _crc_table()


def crc32_mpeg(data):
    """CRC-32 of ISO/IEC 13818-1: polynomial 0x04C11DB7, MSB first, start 0xFFFFFFFF."""
    crc = 0xFFFFFFFF
    t = _CRC_TABLE
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ t[(crc >> 24) ^ b]
    return crc


def lead(unit):
    """Offset of the sync byte in a unit."""
    return 4 if unit == 192 else 0


def unit_size(data, limit=1 << 20):
    """The unit of a file: 188, 192 or 204, whichever locks first (DETECT_STRIDES syncs in a
    row at its stride, or as many as the input holds, at least two) within the first `limit`
    bytes; 188 on a tie and when none locks."""
    best = None
    n = len(data)
    for unit in UNITS:
        ld = lead(unit)
        q = data.find(b"\x47", ld, limit)
        while q >= 0:
            strides = [q + k * unit for k in range(DETECT_STRIDES) if q + k * unit < n]
            if len(strides) >= 2 and all(data[p] == SYNC for p in strides):
                if best is None or q - ld < best[0]:
                    best = (q - ld, unit)
                break
            q = data.find(b"\x47", q + 1, limit)
    return best[1] if best else 188


def _confirmed(data, unit, q):
    n = len(data)
    return all(q + k * unit >= n or data[q + k * unit] == SYNC for k in (1, 2))


def first_confirmed(data, unit, start=0):
    """The first confirmed unit start at or after `start`, or None."""
    ld = lead(unit)
    q = data.find(b"\x47", start + ld)
    while q >= 0:
        if _confirmed(data, unit, q):
            return q - ld
        q = data.find(b"\x47", q + 1)
    return None


def units(data, unit):
    """Offsets of the units of `data` that the resynchronisation rule keeps, in order."""
    ld = lead(unit)
    n = len(data)
    kept = []
    s = first_confirmed(data, unit)
    while s is not None:
        end = s + unit
        if end > n:
            break  # incomplete last packet
        if end + ld >= n or data[end + ld] == SYNC:
            kept.append(s)
            if end + ld >= n:
                break  # the input ends within the next unit's lead, or right here
            s = end
            continue
        t = first_confirmed(data, unit, s + 1)
        if t is None or t >= end:
            kept.append(s)
        s = t
    return kept


def packets(data, unit):
    """(unit offset, 188-byte packet) of each unit the resynchronisation rule keeps."""
    ld = lead(unit)
    for off in units(data, unit):
        yield off, data[off + ld:off + ld + 188]


def pid_of(p):
    return ((p[1] & 0x1F) << 8) | p[2]


def payload(p):
    afc = (p[3] >> 4) & 3
    if not afc & 1:
        return b""
    start = 4 + (1 + p[4] if afc & 2 else 0)
    return p[start:] if start < 188 else b""


class Sections:
    """Section assembly on the chosen PIDs (all when None): pointer_field, sections spanning
    packets, several in one packet, stuffing. A continuity break, a transport_error_indicator
    or a section longer than 4096 bytes drops the section being assembled; a repeated
    continuity_counter is skipped. feed() returns the sections a packet completes, CRC
    unchecked."""

    def __init__(self, pids=None):
        self.pids = pids
        self.pending = {}
        self.cc = {}

    def feed(self, p):
        pid = pid_of(p)
        if self.pids is not None and pid not in self.pids:
            return []
        if p[1] & 0x80:
            self.pending.pop(pid, None)
            self.cc.pop(pid, None)
            return []
        pl = payload(p)
        if not (p[3] & 0x10):
            return []
        cc = p[3] & 0x0F
        last = self.cc.get(pid)
        if last == cc:
            return []
        self.cc[pid] = cc
        if last is not None and cc != (last + 1) & 0x0F:
            self.pending.pop(pid, None)
        done = []
        if p[1] & 0x40:
            if not pl:
                return done
            ptr = pl[0]
            if pid in self.pending:
                self._grow(pid, pl[1:1 + ptr], done)
                self.pending.pop(pid, None)
            rest = pl[1 + ptr:]
            while rest and rest[0] != 0xFF:
                if len(rest) < 3:
                    self.pending[pid] = bytes(rest)
                    break
                total = 3 + (((rest[1] & 0x0F) << 8) | rest[2])
                if total > len(rest):
                    self.pending[pid] = bytes(rest)
                    break
                done.append(bytes(rest[:total]))
                rest = rest[total:]
        elif pid in self.pending:
            if self._grow(pid, pl, done):
                self.pending.pop(pid, None)
        return done

    def _grow(self, pid, more, done):
        buf = self.pending[pid] + bytes(more)
        if len(buf) >= 3:
            total = 3 + (((buf[1] & 0x0F) << 8) | buf[2])
            if total > 4096:
                return True
            if len(buf) >= total:
                done.append(buf[:total])
                return True
        self.pending[pid] = buf
        return False


def section_ok(sec, table_id):
    """A long-form section with this table_id, section_syntax_indicator set and a CRC_32 that
    checks."""
    return (len(sec) >= 12 and sec[0] == table_id and sec[1] & 0x80
            and crc32_mpeg(sec) == 0)


def parse_pat(sec):
    """[(program_number, PID)] of an intact PAT section (the network entry has number 0), or
    None."""
    if not section_ok(sec, 0x00) or (len(sec) - 12) % 4:
        return None
    return [((sec[k] << 8) | sec[k + 1], ((sec[k + 2] & 0x1F) << 8) | sec[k + 3])
            for k in range(8, len(sec) - 4, 4)]


def parse_pmt(sec):
    """(program_number, PCR_PID, [(stream_type, elementary_PID)]) of an intact PMT section,
    or None."""
    if not section_ok(sec, 0x02):
        return None
    pcr = ((sec[8] & 0x1F) << 8) | sec[9]
    k = 12 + (((sec[10] & 0x0F) << 8) | sec[11])
    end = len(sec) - 4
    es = []
    while k + 5 <= end:
        es.append((sec[k], ((sec[k + 1] & 0x1F) << 8) | sec[k + 2]))
        k += 5 + (((sec[k + 3] & 0x0F) << 8) | sec[k + 4])
    if k != end:
        return None
    return (sec[3] << 8) | sec[4], pcr, es


class Stream:
    """One file read by the rules above: its unit, the offsets of its units, its PIDs, its
    intact PAT entries and its intact PMT sections (on every PID its PATs name, also before
    the first PAT)."""

    def __init__(self, data, unit=None):
        self.data = data
        self.unit = unit or unit_size(data)
        self.lead = lead(self.unit)
        self.offsets = units(data, self.unit)
        self.pids = set()
        self.pat_entries = []  # (program_number, PMT PID) in order of first appearance
        self.pmts = {}  # CRC_32 -> (PMT PID, program_number, PCR_PID, [(stream_type, PID)])
        pat = Sections({0})
        for p in self.packets():
            self.pids.add(pid_of(p))
            for sec in pat.feed(p):
                for entry in parse_pat(sec) or []:
                    if entry not in self.pat_entries:
                        self.pat_entries.append(entry)
        pmt = Sections({pid for number, pid in self.pat_entries if number})
        for p in self.packets():
            for sec in pmt.feed(p):
                parsed = parse_pmt(sec)
                if parsed:
                    self.pmts.setdefault(int.from_bytes(sec[-4:], "big"), (pid_of(p),) + parsed)

    def packets(self):
        d, ld = self.data, self.lead
        return (d[off + ld:off + ld + 188] for off in self.offsets)

    def programs(self):
        """(program_number, PMT PID) of the PAT entries that are programs."""
        return [e for e in self.pat_entries if e[0]]

    def es_pids(self, crcs):
        """Elementary PIDs of the PMTs with these CRC_32s."""
        return {pid for crc in crcs if crc in self.pmts for _, pid in self.pmts[crc][3]}


def pat_unit_ok(p):
    """Why a generated PID-0 packet is not one well-formed single-section PAT with a correct
    CRC_32, or None when it is."""
    if p[0] != SYNC:
        return "no sync byte"
    if p[1] & 0x80:
        return "transport_error_indicator set"
    if not p[1] & 0x40:
        return "payload_unit_start_indicator clear"
    if (p[3] >> 4) & 3 not in (1, 3):
        return "no payload"
    pl = payload(p)
    if not pl:
        return "no payload"
    sec = pl[1 + pl[0]:]
    if len(sec) < 3:
        return "pointer_field points past the packet"
    total = 3 + (((sec[1] & 0x0F) << 8) | sec[2])
    if total > len(sec):
        return "section of %d bytes does not fit the packet" % total
    sec, stuffing = sec[:total], sec[total:]
    if sec[0] != 0x00:
        return "table_id 0x%02X" % sec[0]
    if total < 12 or not sec[1] & 0x80:
        return "not a long-form section"
    if sec[6] != 0 or sec[7] != 0:
        return "section_number %d, last_section_number %d" % (sec[6], sec[7])
    if (total - 12) % 4:
        return "section_length %d does not hold whole entries" % (total - 3)
    if crc32_mpeg(sec):
        return "CRC_32 0x%08X does not check" % int.from_bytes(sec[-4:], "big")
    if any(b != 0xFF for b in stuffing):
        return "bytes after the section are not 0xFF stuffing"
    return None


class Index:
    """The units of an input, for the subsequence check of its outputs."""

    def __init__(self, stream):
        self.stream = stream
        self.unit = stream.unit
        self.where = {}  # unit bytes -> input offsets, increasing
        self.pid0 = set()
        d, u = stream.data, self.unit
        for off in stream.offsets:
            b = d[off:off + u]
            self.where.setdefault(b, []).append(off)
            if pid_of(b[stream.lead:]) == 0:
                self.pid0.add(b)

    def check(self, out):
        """None when `out` is a subsequence of the input's units as the module's header says,
        else the first violation: "offset N, PID 0xP: why"."""
        u, ld = self.unit, self.stream.lead
        if len(out) % u:
            return "offset %d: %d bytes at the end are not a whole %d-byte unit" % (len(out) - len(out) % u, len(out) % u, u)
        last = -1
        for o in range(0, len(out), u):
            b = out[o:o + u]
            p = b[ld:ld + 188]
            if p[0] != SYNC:
                return "offset %d: no sync byte (0x%02X)" % (o + ld, p[0])
            pid = pid_of(p)
            if pid == 0:
                if b in self.pid0:
                    continue
                why = pat_unit_ok(p)
                if why:
                    return "offset %d, PID 0x0000: neither a PAT packet of the input nor a well-formed PAT: %s" % (o, why)
                continue
            at = self.where.get(b)
            if at is None:
                return "offset %d, PID 0x%04X: not a packet of the input" % (o, pid)
            k = bisect.bisect_right(at, last)
            if k == len(at):
                return ("offset %d, PID 0x%04X: the input packet at %d comes again or out of order "
                        "(the output packet before came from input offset %d)" % (o, pid, at[-1], last))
            last = at[k]
        return None


def window(data, unit, start, size):
    """Whole units from `start` (moved to a unit boundary of the sync grid) for about `size`
    bytes."""
    first = first_confirmed(data, unit) or 0
    start = first + max(0, (start - first) // unit) * unit
    count = max(1, size // unit)
    return data[start:start + count * unit]


def psi_pids(data, unit, limit=20000):
    """PIDs whose unit-start packets begin with a pointer_field and a table_id (not PES)."""
    pids = {0, 1}
    for n, (_, p) in enumerate(packets(data, unit)):
        if n >= limit:
            break
        if not p[1] & 0x40:
            continue
        pl = payload(p)
        if len(pl) < 4 or pl[:3] == b"\x00\x00\x01":
            continue
        ptr = pl[0]
        if 1 + ptr < len(pl) and pl[1 + ptr] != 0xFF:
            pids.add(pid_of(p))
    pids.discard(0x1FFF)
    return pids


def pmt_pids(data, unit):
    """PMT PIDs named by the first intact PAT section."""
    pat = Sections({0})
    for _, p in packets(data, unit):
        for sec in pat.feed(p):
            found = {pid for number, pid in parse_pat(sec) or [] if number}
            if found:
                return found
    return set()


def pmt_changes(data, unit, limit=8):
    """Offsets of the PMT unit-start packets whose payload differs from the one before."""
    pmts = pmt_pids(data, unit)
    last, changes = {}, []
    for off, p in packets(data, unit):
        pid = pid_of(p)
        if pid in pmts and p[1] & 0x40:
            pl = bytes(payload(p))
            if pid in last and pl != last[pid]:
                changes.append(off)
                if len(changes) >= limit:
                    break
            last[pid] = pl
    return changes


def last_pat_before(data, unit, offset):
    """Offset of the last PAT packet before `offset` (0 when none)."""
    best = 0
    for off, p in packets(data[:offset], unit):
        if pid_of(p) == 0:
            best = off
    return best


def psi_piece(data, unit, count=24, es_every=8):
    """The first `count` units on PSI PIDs, with an elementary unit after every `es_every`."""
    pids = psi_pids(data, unit)
    out, taken, es = bytearray(), 0, None
    for off, p in packets(data, unit):
        if pid_of(p) in pids:
            out += data[off:off + unit]
            taken += 1
            if es is not None and taken % es_every == 0:
                out += es
            if taken >= count:
                break
        elif es is None and pid_of(p) != 0x1FFF:
            es = bytes(data[off:off + unit])
    return bytes(out)


def pat_section(tsid, version, current, number, last, entries):
    """A PAT section with a correct CRC_32: `entries` are (program_number, PID) pairs."""
    body = bytearray()
    for n, pid in entries:
        body += bytes([n >> 8, n & 0xFF, 0xE0 | (pid >> 8), pid & 0xFF])
    length = 5 + len(body) + 4
    sec = bytearray([0x00, 0xB0 | (length >> 8), length & 0xFF, tsid >> 8, tsid & 0xFF,
                     0xC0 | ((version & 0x1F) << 1) | (1 if current else 0), number, last]) + body
    crc = crc32_mpeg(sec)
    return bytes(sec + crc.to_bytes(4, "big"))


def pat_variants(data, unit, rng, count=2):
    """`data` with up to `count` PAT packets replaced by the same table in two sections (one
    unit each, the second inserted behind the first) followed by a unit announcing another
    version with current_next_indicator 0: the cases of PATs in several sections and of PATs
    not yet applicable. Units keep the bytes around their packet. Returns (data, how many)."""
    ld = lead(unit)
    out, done, at = bytearray(), 0, 0
    offsets = [off for off in units(data, unit)]
    for off in offsets:
        p = data[off + ld:off + ld + 188]
        if done >= count or pid_of(p) != 0 or not p[1] & 0x40 or rng.random() < 0.5:
            continue
        pl = payload(p)
        if not pl or 1 + pl[0] + 8 > len(pl):
            continue
        sec = pl[1 + pl[0]:]
        length = ((sec[1] & 0x0F) << 8) | sec[2]
        if 3 + length > len(sec) or length < 13 or (length - 9) % 4:
            continue
        entries = [((sec[k] << 8) | sec[k + 1], ((sec[k + 2] & 0x1F) << 8) | sec[k + 3]) for k in range(8, 3 + length - 4, 4)]
        tsid, version = (sec[3] << 8) | sec[4], (sec[5] >> 1) & 0x1F
        half = len(entries) // 2
        sections = [pat_section(tsid, version, True, 0, 1, entries[:half]),
                    pat_section(tsid, version, True, 1, 1, entries[half:]),
                    pat_section(tsid, (version + 1) & 0x1F, False, 0, 0, entries[:1] + [(0xFFF0, 0x1FFE)])]
        cc = p[3] & 0x0F
        made = bytearray()
        for k, section in enumerate(sections):
            pkt = bytearray([0x47, 0x40, 0x00, 0x10 | ((cc + k) & 0x0F), 0x00]) + section
            pkt += b"\xff" * (188 - len(pkt))
            made += data[off:off + ld] + pkt + data[off + ld + 188:off + unit]
        out += data[at:off] + made
        at = off + unit
        done += 1
    out += data[at:]
    return bytes(out), done


def corpus_pieces(data, piece=4096):
    """Small pieces of a stream for a seed corpus: its start, each PMT change from the PAT
    before it, and its PSI packets."""
    unit = unit_size(data)
    pieces = [("start", window(data, unit, 0, piece))]
    for n, off in enumerate(pmt_changes(data, unit, limit=3)):
        pieces.append(("change%d" % n, window(data, unit, last_pat_before(data, unit, off), piece)))
    psi = psi_piece(data, unit)
    if psi:
        pieces.append(("psi", psi))
    import random
    sections, n = pat_variants(window(data, unit, 0, piece * 4), unit, random.Random(1), count=4)
    if n:
        pieces.append(("pat-sections", sections))
    return pieces
