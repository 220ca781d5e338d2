// Section assembly: collects the section bytes that packets of one PID carry into a
// TS_PreSection, and decides which bytes of a packet belong to which section
// (ISO/IEC 13818-1 2.4.4: pointer_field, continuity, section_length bounds, CRC_32).
#include <cstring>

#include "core/scan.h"
#include "core/core.h"

int32_t TS_PreSection_Initialise(TS_PreSection* pre) {
    if (pre == nullptr) return -1;
    pre->complete = 1;
    pre->total_length = 0;
    pre->filled_length = 0;
    pre->last_continuity_counter = -1;
    pre->intact_length = 0;
    std::memset(pre->buffer, 0, sizeof pre->buffer);
    return 0;
}

// Drops the assembly without clearing the whole buffer: what lies beyond total_length is
// never read.
static void Drop(TS_PreSection* pre) {
    pre->complete = 1;
    pre->total_length = 0;
    pre->filled_length = 0;
    pre->last_continuity_counter = -1;
}

// Learns total_length once the first three section bytes are held; checks its bounds.
static int32_t TakeLength(TS_PreSection* pre, uint16_t minimum) {
    uint16_t section_length = static_cast<uint16_t>(((pre->buffer[1] & 0x0F) << 8) | pre->buffer[2]);
    if (section_length < minimum) return TS_SECTION_TOO_SHORT;
    if (section_length + 3u > TS_SECTION_CAPACITY) return TS_SECTION_TOO_LONG;
    pre->total_length = static_cast<uint16_t>(section_length + 3);
    return 0;
}

// Writes `n` section bytes at the fill position. The last intact section stays held while
// the bytes written over it are its own.
static void Put(TS_PreSection* pre, const uint8_t* bytes, uint16_t n) {
    uint8_t* at = pre->buffer + pre->filled_length;
    if (pre->intact_length && (pre->filled_length + n > pre->intact_length || std::memcmp(at, bytes, n) != 0))
        pre->intact_length = 0;
    std::memcpy(at, bytes, n);
    pre->filled_length = static_cast<uint16_t>(pre->filled_length + n);
}

// Appends up to `length` bytes of the section being collected; sets complete when whole.
static int32_t Append(TS_PreSection* pre, const uint8_t* bytes, uint16_t length, uint16_t minimum) {
    if (pre->total_length == 0) {
        // The three header bytes that give section_length may straddle packets.
        uint16_t n = static_cast<uint16_t>(3 - pre->filled_length);
        if (n > length) n = length;
        Put(pre, bytes, n);
        bytes += n;
        length = static_cast<uint16_t>(length - n);
        if (pre->filled_length < 3) {
            pre->complete = 0;
            return 0;
        }
        int32_t r = TakeLength(pre, minimum);
        if (r != 0) {
            TS_PreSection_Initialise(pre);
            return r;
        }
    }
    uint16_t missing = static_cast<uint16_t>(pre->total_length - pre->filled_length);
    uint16_t n = length < missing ? length : missing;
    Put(pre, bytes, n);
    pre->complete = pre->filled_length == pre->total_length ? 1 : 0;
    return 0;
}

static int32_t Import(TS_PreSection* pre, const uint8_t* bytes, uint16_t length, uint8_t cc,
                      uint16_t minimum) {
    if (pre == nullptr || bytes == nullptr || cc > 15) return -1;
    if (pre->complete == 0) {
        if (pre->last_continuity_counter == 15 && cc != 0) {
            TS_PreSection_Initialise(pre);
            return TS_SECTION_WRAP_BREAK;
        }
        if (pre->last_continuity_counter != 15 && cc != pre->last_continuity_counter + 1) {
            TS_PreSection_Initialise(pre);
            return TS_SECTION_CC_BREAK;
        }
        pre->last_continuity_counter = static_cast<int8_t>(cc);
        return Append(pre, bytes, length, minimum);
    }
    pre->last_continuity_counter = static_cast<int8_t>(cc);
    if (length == 0) return 0;
    pre->total_length = 0;
    pre->filled_length = 0;
    return Append(pre, bytes, length, minimum);
}

int32_t TS_PAT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length, uint8_t cc) {
    return Import(pre, bytes, length, cc, 9);
}
int32_t TS_CAT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length, uint8_t cc) {
    return Import(pre, bytes, length, cc, 9);
}
int32_t TS_PMT_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length, uint8_t cc) {
    return Import(pre, bytes, length, cc, 13);
}
int32_t TS_Section_ImportPreSection(TS_PreSection* pre, const uint8_t* bytes, uint16_t length,
                                    uint8_t cc) {
    return Import(pre, bytes, length, cc, 9);
}

static bool CRCChecks(const TS_PreSection* pre) {
    uint32_t n = pre->total_length;
    if (n < 4 || n > TS_SECTION_CAPACITY) return false;
    return GetCRC32(0xFFFFFFFFu, pre->buffer, n) == 0;
}

bool TS_PreSection_IsIntact(const TS_PreSection* pre) {
    if (pre == nullptr || pre->complete == 0 || pre->total_length == 0) return false;
    if ((pre->buffer[1] & 0x80) == 0) return true;  // short form: no CRC_32
    return CRCChecks(pre);
}

namespace {

// The table_id a section of each PSI kind must carry (ISO/IEC 13818-1 table 2-31); private
// sections take any.
bool TableIdFits(TS_SectionKind kind, uint8_t table_id) {
    switch (kind) {
        case TS_SECTION_PAT: return table_id == 0x00;
        case TS_SECTION_CAT: return table_id == 0x01;
        case TS_SECTION_PMT: return table_id == 0x02;
        case TS_SECTION_PRIVATE: return true;
    }
    return false;
}

struct Feed {
    TS_PreSection* pre;
    TS_SectionKind kind;
    uint16_t pid;
    const uint8_t* unit;
    uint32_t unit_size;
    TS_SectionCarriers* carriers;
    TS_SectionHandler handler;
    void* context;

    int32_t import(const uint8_t* bytes, uint16_t length, uint8_t cc) {
        return Import(pre, bytes, length, cc, kind == TS_SECTION_PMT ? 13 : 9);
    }

    // Remembers the current packet as one that carries the section in progress. A section
    // spread over more packets than the record holds is dropped.
    bool carry() {
        if (carriers == nullptr) return true;
        if (carriers->count >= TS_MAX_CARRIERS) {
            carriers->count = 0;
            Drop(pre);
            return false;
        }
        carriers->unit_size = static_cast<uint16_t>(unit_size);
        carriers->index[carriers->count] = carriers->packet_index;
        carriers->offset[carriers->count] = carriers->packet_offset;
        std::memcpy(carriers->units[carriers->count++], unit, unit_size);
        return true;
    }

    int32_t complete() {
        // PSI tables always carry a CRC_32; private sections may be in the short form. A
        // repeat of the last intact section is intact without computing it again.
        const bool repeat = pre->intact_length != 0 && pre->intact_length == pre->total_length;
        const bool intact =
            repeat || (kind == TS_SECTION_PRIVATE ? TS_PreSection_IsIntact(pre) : CRCChecks(pre));
        pre->intact_length = intact ? pre->total_length : 0;
        int32_t r = 0;
        if (!intact) {
            ++ts_detail::g_tDamage.crc_failures;
            ++ts_detail::g_tDamage.crc_failures_by_PID[pid & 0x1FFF];
        } else if (TableIdFits(kind, pre->buffer[0]) && handler) {
            TS_SectionEvent e{};
            e.section = pre;
            e.repeat = repeat ? 1 : 0;
            if (carriers) {
                e.carriers = carriers;
                e.unit_count = carriers->count;
            }
            r = handler(context, &e);
        }
        if (carriers) carriers->count = 0;
        return r;
    }
};

}  // namespace

int32_t TS_Packet_FeedSections(TS_PreSection* pre, TS_SectionKind kind, const TS_Header* header,
                               const uint8_t* unit, uint32_t unit_size,
                               TS_SectionCarriers* carriers, TS_SectionHandler handler,
                               void* context) {
    if (pre == nullptr || header == nullptr || unit == nullptr ||
        (unit_size != TS_PACKET_SIZE && unit_size != TS_M2TS_PACKET_SIZE && unit_size != TS_RS_PACKET_SIZE))
        return -1;
    const uint8_t* packet = unit + TS_UnitLead(unit_size);
    Feed f{pre, kind, header->PID, unit, unit_size, carriers, handler, context};
    const uint8_t cc = header->continuity_counter;

    // A packet without payload carries no section bytes and leaves the counter alone.
    if ((header->adaptation_field_control & 1) == 0) return 0;
    uint32_t start = 4;
    if (header->adaptation_field_control & 2) start += 1u + packet[4];
    if (start >= TS_PACKET_SIZE) {
        // An adaptation field that fills or overruns the packet: nothing can follow it.
        if (pre->complete == 0) Drop(pre);
        if (carriers) carriers->count = 0;
        return 0;
    }
    const uint8_t* payload = packet + start;
    const uint16_t payload_length = static_cast<uint16_t>(TS_PACKET_SIZE - start);

    if (!header->payload_unit_start_indicator) {
        // A continuation packet: its whole payload continues the section in progress;
        // bytes after the section's end are stuffing.
        if (pre->complete) return 0;
        if (f.import(payload, payload_length, cc) != 0) {
            if (carriers) carriers->count = 0;
            return 0;
        }
        if (!f.carry()) return 0;
        return pre->complete ? f.complete() : 0;
    }

    const uint8_t pointer_field = payload[0];
    const uint8_t* data = payload + 1;
    const uint16_t length = static_cast<uint16_t>(payload_length - 1);
    if (pointer_field > length) {
        // Points beyond the payload: nothing in this packet can be trusted.
        Drop(pre);
        if (carriers) carriers->count = 0;
        return 0;
    }
    // The bytes in front of the pointed position finish the section in progress.
    if (pre->complete == 0) {
        if (pointer_field > 0 && f.import(data, pointer_field, cc) == 0 && f.carry() &&
            pre->complete) {
            int32_t r = f.complete();
            if (r != 0) return r;
        }
        if (pre->complete == 0) Drop(pre);  // not finished by them: dropped
    }
    if (carriers) carriers->count = 0;
    // Sections start at the pointed position, back to back until 0xFF stuffing.
    uint16_t offset = pointer_field;
    while (offset < length && data[offset] != 0xFF) {
        if (f.import(data + offset, static_cast<uint16_t>(length - offset), cc) != 0) break;
        if (!f.carry()) break;
        if (!pre->complete) break;  // continues in the next packets
        int32_t r = f.complete();
        if (r != 0) return r;
        offset = static_cast<uint16_t>(offset + pre->total_length);
    }
    return 0;
}
