// A small transport-stream builder for tests.
//
// It writes packets, adaptation fields and PSI sections byte by byte from the layouts of
// ISO/IEC 13818-1, independently of the library: the CRC-32 here is a plain bitwise
// implementation, not the library's table. Tests build their input with it and check the
// library's decoding against the values they put in.
//
//   tsb::Bytes pat = tsb::PatSection(1, {{1, 0x100}});              // PAT with a valid CRC_32
//   auto pkts = tsb::Packetize(tsb::PsiStream{.pid = 0}, {pat});   // into 188-byte packets
//   tsb::Bytes file = tsb::Join(pkts);                             // a file image
//
// Everything here allocates freely: it is test code, not the per-packet path.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace tsb {

using Bytes = std::vector<uint8_t>;
using Packet = std::array<uint8_t, 188>;

// CRC-32/MPEG-2: polynomial 0x04C11DB7, initial 0xFFFFFFFF, MSB first, no reflection, no
// final XOR. One bit at a time, so it shares nothing with a table-driven implementation.
inline uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(p[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}
inline uint32_t Crc32(const Bytes& b) { return Crc32(b.data(), b.size()); }

inline void PutU16(Bytes& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v >> 8)), b.push_back(static_cast<uint8_t>(v)); }
inline void PutU32(Bytes& b, uint32_t v) { PutU16(b, v >> 16), PutU16(b, v & 0xFFFF); }
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Descriptors: tag, length, body.
inline Bytes Descriptor(uint8_t tag, const Bytes& body) {
    Bytes d;
    d.reserve(2 + body.size());
    d.push_back(tag);
    d.push_back(static_cast<uint8_t>(body.size()));
    d.insert(d.end(), body.begin(), body.end());
    return d;
}
// CA_descriptor: CA_system_ID, three reserved bits set, CA_PID, private bytes.
inline Bytes CaDescriptor(uint16_t system_id, uint16_t ca_pid, const Bytes& priv = {}) {
    Bytes body;
    body.reserve(4 + priv.size());
    PutU16(body, system_id);
    PutU16(body, 0xE000u | (ca_pid & 0x1FFFu));
    body.insert(body.end(), priv.begin(), priv.end());
    return Descriptor(9, body);
}
// ISO_639_language_descriptor: one 3-letter code and audio_type per entry.
inline Bytes LanguageDescriptor(const std::vector<std::pair<std::string, uint8_t>>& langs) {
    Bytes body;
    for (const auto& [code, type] : langs) {
        for (int i = 0; i < 3; ++i) body.push_back(static_cast<uint8_t>(code.at(i)));
        body.push_back(type);
    }
    return Descriptor(10, body);
}

// Sections. Every long-form section gets a correct CRC_32 unless the caller corrupts it.
struct LongHeader {
    uint8_t table_id = 0;
    uint16_t table_id_extension = 0;  // transport_stream_id, program_number, ...
    uint8_t version = 0;
    bool current_next = true;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
    bool private_indicator = false;  // the bit after section_syntax_indicator
};

// A long-form section (section_syntax_indicator 1) around `body`, the bytes between
// last_section_number and CRC_32. section_length = 5 + body + 4.
inline Bytes LongSection(const LongHeader& h, const Bytes& body) {
    const uint32_t section_length = 5 + static_cast<uint32_t>(body.size()) + 4;
    Bytes s;
    s.reserve(3 + section_length);
    s.push_back(h.table_id);
    s.push_back(static_cast<uint8_t>(0x80 | (h.private_indicator ? 0x40 : 0) | 0x30 |
                                     ((section_length >> 8) & 0x0F)));
    s.push_back(static_cast<uint8_t>(section_length));
    PutU16(s, h.table_id_extension);
    s.push_back(static_cast<uint8_t>(0xC0 | ((h.version & 0x1F) << 1) | (h.current_next ? 1 : 0)));
    s.push_back(h.section_number);
    s.push_back(h.last_section_number);
    s.insert(s.end(), body.begin(), body.end());
    PutU32(s, Crc32(s));
    return s;
}

// A short-form private section (section_syntax_indicator 0): no header fields, no CRC.
inline Bytes ShortSection(uint8_t table_id, const Bytes& data, bool private_indicator = true) {
    const uint32_t len = static_cast<uint32_t>(data.size());
    Bytes s;
    s.reserve(3 + data.size());
    s.push_back(table_id);
    s.push_back(static_cast<uint8_t>((private_indicator ? 0x40 : 0) | 0x30 | ((len >> 8) & 0x0F)));
    s.push_back(static_cast<uint8_t>(len));
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

struct Program {
    uint16_t number;
    uint16_t pid;  // network_PID for program 0, else program_map_PID
};
inline Bytes PatSection(uint16_t tsid, const std::vector<Program>& programs, uint8_t version = 0) {
    Bytes body;
    for (const Program& p : programs) PutU16(body, p.number), PutU16(body, 0xE000u | (p.pid & 0x1FFFu));
    return LongSection({.table_id = 0x00, .table_id_extension = tsid, .version = version}, body);
}

struct Stream {
    uint8_t type;
    uint16_t pid;
    Bytes descriptors;  // concatenated descriptors of the ES_info loop
};
inline Bytes PmtSection(uint16_t program_number, uint16_t pcr_pid, const Bytes& program_descriptors,
                        const std::vector<Stream>& streams, uint8_t version = 0) {
    Bytes body;
    PutU16(body, 0xE000u | (pcr_pid & 0x1FFFu));
    PutU16(body, 0xF000u | (program_descriptors.size() & 0x0FFFu));
    body.insert(body.end(), program_descriptors.begin(), program_descriptors.end());
    for (const Stream& s : streams) {
        body.push_back(s.type);
        PutU16(body, 0xE000u | (s.pid & 0x1FFFu));
        PutU16(body, 0xF000u | (s.descriptors.size() & 0x0FFFu));
        body.insert(body.end(), s.descriptors.begin(), s.descriptors.end());
    }
    return LongSection({.table_id = 0x02, .table_id_extension = program_number, .version = version}, body);
}
// CAT: table_id 1, reserved table_id_extension (all ones), descriptors.
inline Bytes CatSection(const Bytes& descriptors, uint8_t version = 0) {
    return LongSection({.table_id = 0x01, .table_id_extension = 0xFFFF, .version = version}, descriptors);
}

// Recomputes the CRC_32 of a long-form section after a test edited its bytes.
inline void FixCrc(Bytes& s) {
    uint32_t c = Crc32(s.data(), s.size() - 4);
    for (int i = 0; i < 4; ++i) s[s.size() - 4 + i] = static_cast<uint8_t>(c >> (24 - 8 * i));
}
// Sets section_length (12 bits) without touching anything else.
inline void SetSectionLength(Bytes& s, uint16_t len) {
    s[1] = static_cast<uint8_t>((s[1] & 0xF0) | ((len >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(len);
}
// The last four bytes of a section, big-endian: its CRC_32.
inline uint32_t TrailingU32(const Bytes& s) {
    const size_t n = s.size();
    return (uint32_t{s[n - 4]} << 24) | (uint32_t{s[n - 3]} << 16) | (uint32_t{s[n - 2]} << 8) | s[n - 1];
}

// Packets
struct Header {
    uint16_t pid = 0;
    bool pusi = false;
    uint8_t cc = 0;
    uint8_t afc = 1;  // 1 payload only, 2 adaptation field only, 3 both
};

inline void WriteHeader(uint8_t* p, const Header& h) {
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>((h.pusi ? 0x40 : 0) | ((h.pid >> 8) & 0x1F));
    p[2] = static_cast<uint8_t>(h.pid);
    p[3] = static_cast<uint8_t>(((h.afc & 3) << 4) | (h.cc & 0x0F));
}

// The optional parts of an adaptation field. The encoder writes them in the standard's order;
// `stuffing` bytes of 0xFF follow unless the packet builder sizes them.
struct Adaptation {
    bool discontinuity = false, random_access = false, es_priority = false;
    std::optional<std::pair<uint64_t, uint16_t>> pcr = {};  // base (33 bits), extension (9 bits)
    std::optional<std::pair<uint64_t, uint16_t>> opcr = {};
    std::optional<uint8_t> splice_countdown = {};
    std::optional<Bytes> private_data = {};
    std::optional<Bytes> extension = {};  // the bytes after adaptation_field_extension_length
    size_t stuffing = 0;
};

inline void PutClock(Bytes& b, uint64_t base, uint16_t ext) {
    b.push_back(static_cast<uint8_t>(base >> 25));
    b.push_back(static_cast<uint8_t>(base >> 17));
    b.push_back(static_cast<uint8_t>(base >> 9));
    b.push_back(static_cast<uint8_t>(base >> 1));
    b.push_back(static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1)));
    b.push_back(static_cast<uint8_t>(ext));
}

// The adaptation field from its length byte on.
inline Bytes EncodeAdaptation(const Adaptation& a) {
    Bytes body;
    body.push_back(static_cast<uint8_t>((a.discontinuity ? 0x80 : 0) | (a.random_access ? 0x40 : 0) |
                                        (a.es_priority ? 0x20 : 0) | (a.pcr ? 0x10 : 0) |
                                        (a.opcr ? 0x08 : 0) | (a.splice_countdown ? 0x04 : 0) |
                                        (a.private_data ? 0x02 : 0) | (a.extension ? 0x01 : 0)));
    if (a.pcr) PutClock(body, a.pcr->first, a.pcr->second);
    if (a.opcr) PutClock(body, a.opcr->first, a.opcr->second);
    if (a.splice_countdown) body.push_back(*a.splice_countdown);
    if (a.private_data) {
        body.push_back(static_cast<uint8_t>(a.private_data->size()));
        body.insert(body.end(), a.private_data->begin(), a.private_data->end());
    }
    if (a.extension) {
        body.push_back(static_cast<uint8_t>(a.extension->size()));
        body.insert(body.end(), a.extension->begin(), a.extension->end());
    }
    body.insert(body.end(), a.stuffing, 0xFF);
    Bytes out;
    out.reserve(1 + body.size());
    out.push_back(static_cast<uint8_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// One packet: header, the adaptation field when afc has bit 1 set (`adaptation` is the field
// from its length byte on; absent means a one-byte field of length 0), then `payload`.
// What room is left after the payload is filled with `fill` (0xFF: PSI stuffing).
inline Packet MakePacket(const Header& h, const Bytes& payload, const Bytes& adaptation = {},
                         uint8_t fill = 0xFF) {
    Packet p;
    p.fill(fill);
    WriteHeader(p.data(), h);
    size_t pos = 4;
    if (h.afc & 2) {
        Bytes af = adaptation.empty() ? Bytes{0} : adaptation;
        if (af.size() > 184) std::abort();
        std::copy(af.begin(), af.end(), p.begin() + 4);
        pos += af.size();
    }
    if (pos + payload.size() > 188) std::abort();
    std::copy(payload.begin(), payload.end(), p.begin() + static_cast<long>(pos));
    return p;
}

// A packet whose adaptation field is sized (by stuffing) so that `payload` ends exactly at
// byte 187, as a muxer writes a PES packet's last piece.
inline Packet MakeStuffedPacket(Header h, const Bytes& payload, Adaptation a = {}) {
    h.afc = payload.empty() ? 2 : 3;
    a.stuffing = 0;
    size_t bare = EncodeAdaptation(a).size();
    if (bare + payload.size() > 184) std::abort();
    a.stuffing = 184 - payload.size() - bare;
    return MakePacket(h, payload, EncodeAdaptation(a));
}

// A PSI packet with payload_unit_start_indicator 1: pointer_field, then `payload` (the bytes
// finishing an earlier section, if any, then sections), then 0xFF stuffing.
inline Packet PsiStartPacket(Header h, uint8_t pointer_field, const Bytes& payload,
                             const Bytes& adaptation = {}) {
    h.pusi = true;
    Bytes b{pointer_field};
    b.insert(b.end(), payload.begin(), payload.end());
    return MakePacket(h, b, adaptation);
}

// Packetisation of a run of sections on one PID.
struct PsiStream {
    uint16_t pid = 0;
    uint8_t first_cc = 0;
    Bytes first_adaptation = {};  // non-empty: the first packet carries this adaptation field
};

// Puts `sections` back to back into packets, as a multiplexer does: each packet in which a
// section starts has payload_unit_start_indicator 1 and a pointer_field pointing to the first
// section start in it; sections run across packets with consecutive continuity counters; the
// last packet is filled with 0xFF. A section is never started in the last payload byte of a
// continuation packet (that byte becomes stuffing), since only a pointer_field can announce it.
inline std::vector<Packet> Packetize(const PsiStream& st, const std::vector<Bytes>& sections) {
    Bytes all;
    std::vector<size_t> starts;
    for (const Bytes& s : sections) {
        starts.push_back(all.size());
        all.insert(all.end(), s.begin(), s.end());
    }
    std::vector<Packet> out;
    size_t pos = 0;
    uint8_t cc = st.first_cc;
    bool first = true;
    while (pos < all.size()) {
        Header h{.pid = st.pid, .cc = static_cast<uint8_t>(cc & 0x0F)};
        Bytes af;
        if (first && !st.first_adaptation.empty()) {
            h.afc = 3;
            af = st.first_adaptation;
        }
        const size_t room = 184 - af.size();
        std::optional<size_t> start;
        for (size_t s : starts)
            if (s >= pos && s < pos + room - 1) { start = s; break; }
        Bytes payload;
        if (start) {
            h.pusi = true;
            payload.push_back(static_cast<uint8_t>(*start - pos));
        }
        size_t take = room - payload.size();
        if (!start) {
            // Keep a section start out of the last byte of a continuation packet.
            for (size_t s : starts)
                if (s > pos && s < pos + take) take = s - pos;
        }
        if (take > all.size() - pos) take = all.size() - pos;
        payload.insert(payload.end(), all.begin() + static_cast<long>(pos),
                       all.begin() + static_cast<long>(pos + take));
        out.push_back(MakePacket(h, payload, af));
        pos += take;
        ++cc;
        first = false;
    }
    return out;
}

// Files
inline Bytes Join(const std::vector<Packet>& pkts) {
    Bytes out;
    for (const Packet& p : pkts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// 192-byte units: a 4-byte TP_extra_header (2 bits copy permission, 30 bits arrival time
// stamp) in front of each packet.
inline Bytes JoinM2ts(const std::vector<Packet>& pkts, uint32_t first_ats = 0x01234567,
                      uint32_t ats_step = 0x1000) {
    Bytes out;
    uint32_t ats = first_ats;
    for (const Packet& p : pkts) {
        PutU32(out, ats & 0x3FFFFFFFu);
        out.insert(out.end(), p.begin(), p.end());
        ats += ats_step;
    }
    return out;
}

// Reads a whole file; false when it cannot be opened (sample streams may be absent).
inline bool ReadFile(const std::string& path, Bytes& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    out.clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

// Puts a whole section into `pre` as the assembler leaves it, without going through the
// import: the buffer bytes beyond the section keep whatever they held.
inline void LoadSection(TS_PreSection& pre, const Bytes& section) {
    if (section.size() > sizeof pre.buffer) std::abort();
    std::copy(section.begin(), section.end(), pre.buffer);
    pre.complete = 1;
    pre.total_length = static_cast<uint16_t>(section.size());
    pre.filled_length = pre.total_length;
    pre.last_continuity_counter = 0;
}

// Collecting what TS_Packet_FeedSections completes
struct Completed {
    Bytes section;                // the whole section as assembled
    std::vector<Bytes> carriers;  // the packet units reported with it
};

// Feeds packets of one PID to TS_Packet_FeedSections and records every section it accepts.
struct SectionSink {
    TS_PreSection pre;
    TS_SectionKind kind;
    TS_SectionCarriers carriers{};
    bool with_carriers;
    std::vector<Completed> done;

    explicit SectionSink(TS_SectionKind k, bool keep_carriers = false)
        : kind(k), with_carriers(keep_carriers) {
        TS_PreSection_Initialise(&pre);
    }
    static int32_t OnSection(void* ctx, const TS_SectionEvent* ev) {
        auto* self = static_cast<SectionSink*>(ctx);
        Completed c;
        c.section.assign(ev->section->buffer, ev->section->buffer + ev->section->total_length);
        for (uint16_t i = 0; i < ev->unit_count; ++i)
            c.carriers.emplace_back(ev->carriers->units[i], ev->carriers->units[i] + ev->carriers->unit_size);
        self->done.push_back(std::move(c));
        return 0;
    }
    // Feeds one unit: a 188-byte packet, 192 bytes with the packet in the last 188, or 204
    // bytes with the packet in the first 188.
    int32_t FeedUnit(const uint8_t* unit, uint32_t unit_size) {
        TS_Header h{};
        TS_Header_Get(&h, unit + (unit_size == 192 ? 4 : 0));
        return TS_Packet_FeedSections(&pre, kind, &h, unit, unit_size, with_carriers ? &carriers : nullptr, &OnSection, this);
    }
    int32_t Feed(const Packet& p) { return FeedUnit(p.data(), 188); }
    void FeedAll(const std::vector<Packet>& pkts) {
        for (const Packet& p : pkts) Feed(p);
    }
    // Feeds the packets of `pid` in a file of 188-byte packets.
    void FeedFile(const Bytes& file, uint16_t pid) {
        for (size_t at = 0; at + 188 <= file.size(); at += 188)
            if ((((file[at + 1] & 0x1F) << 8) | file[at + 2]) == pid) FeedUnit(&file[at], 188);
    }
};

}  // namespace tsb
