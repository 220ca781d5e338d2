"""Small transport-stream helpers shared by make_corpus.sh and corrupt.py: packet unit
detection, PID and PMT-change discovery, and cutting windows of whole packets."""

SYNC = 0x47


def crc32_mpeg(data):
    """CRC-32 of ISO/IEC 13818-1: polynomial 0x04C11DB7, MSB first, start 0xFFFFFFFF."""
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if crc & 0x80000000 else (crc << 1) & 0xFFFFFFFF
    return crc


def unit_size(data):
    """188, or 192 when 0x47 repeats with a 192-byte stride from offset 4."""
    if len(data) >= 4 + 192 * 4 and all(data[4 + 192 * k] == SYNC for k in range(4)):
        if not all(data[188 * k] == SYNC for k in range(4)):
            return 192
    return 188


def packets(data, unit):
    """(offset, packet bytes) of each whole unit whose sync byte is in place."""
    lead = unit - 188
    off = 0
    while off + unit <= len(data):
        p = data[off + lead:off + unit]
        if p[0] == SYNC:
            yield off, p
            off += unit
        else:
            off += 1


def pid_of(p):
    return ((p[1] & 0x1F) << 8) | p[2]


def payload(p):
    afc = (p[3] >> 4) & 3
    if not afc & 1:
        return b""
    start = 4 + (1 + p[4] if afc & 2 else 0)
    return p[start:] if start < 188 else b""


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
    """PMT PIDs named by the first PAT section that fits one packet."""
    for _, p in packets(data, unit):
        if pid_of(p) != 0 or not p[1] & 0x40:
            continue
        pl = payload(p)
        if not pl:
            continue
        sec = pl[1 + pl[0]:]
        if len(sec) < 12:
            continue
        length = ((sec[1] & 0x0F) << 8) | sec[2]
        found = set()
        for k in range(8, min(3 + length - 4, len(sec) - 3), 4):
            number = (sec[k] << 8) | sec[k + 1]
            if number:
                found.add(((sec[k + 2] & 0x1F) << 8) | sec[k + 3])
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


def window(data, unit, start, size):
    """Whole units from `start` (moved to a unit boundary of the sync grid) for about `size` bytes."""
    first = 0
    lead = unit - 188
    while first + lead < len(data) and data[first + lead] != SYNC:
        first += 1
    start = first + max(0, (start - first) // unit) * unit
    count = max(1, size // unit)
    return data[start:start + count * unit]


def psi_piece(data, unit, count=24, es_every=8):
    """The first `count` packets on PSI PIDs, with an elementary packet after every `es_every`."""
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
    return pieces
