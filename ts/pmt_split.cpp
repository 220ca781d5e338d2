// PMT survey and split writer: a one-program stream cut into runs by the CRC_32 of its PMT
// sections. The survey and the writer walk the stream with the same rules (one walker,
// two sinks), so that the size the survey gives a PMT is exactly what the writer writes.
#include <cstdio>
#include <cstring>

#include "output.h"
#include "scan.h"
#include "state.h"
#include "ts.h"

using namespace ts_detail;

namespace {

constexpr int32_t kTooManyPrograms = -3;
constexpr uint32_t kTableSize = 256;

// The walk: PAT, the PMT of the program followed, and the packets of the PIDs that the
// current PMT names (PCR_PID, first program-level CA_PID, elementary_PIDs), each once.
template <class Sink>
struct PMTWalk {
    Sink& sink;
    TS_SimpleData* data = &g_tSimpleData;
    uint16_t pmt_pid = TS_NO_PID;     // PID of the PMT followed, TS_NO_PID while none
    bool pmt_current = false;         // a PMT has been decoded
    uint8_t followed[8192 / 8] = {};  // PIDs of the current PMT
    uint8_t saved_pat[TS_M2TS_PACKET_SIZE] = {};
    uint32_t saved_pat_size = 0;
    const ScanPacket* packet = nullptr;
    TS_SectionCarriers carriers{};

    explicit PMTWalk(Sink& s) : sink(s) {}

    // The program followed: entry 1 of the PAT, or entry 0 when entry 1 is the network
    // entry or absent (most muxers write a one-entry PAT).
    static uint16_t FollowedPMTPID(const TS_PAT& pat) {
        if (pat.program_count > 1 && pat.programs[1].program_number != 0) return pat.programs[1].PID;
        if (pat.program_count > 0 && pat.programs[0].program_number != 0) return pat.programs[0].PID;
        return TS_NO_PID;
    }

    void Follow(const TS_PMT& pmt) {
        std::memset(followed, 0, sizeof followed);
        auto add = [this](uint16_t pid) {
            if (pid < 8192) followed[pid >> 3] |= static_cast<uint8_t>(1u << (pid & 7));
        };
        add(pmt.PCR_PID);
        uint16_t ca_pid = TS_NO_PID;
        TS_GetCAPIDFromPMT(&ca_pid, &pmt);
        add(ca_pid);
        for (uint32_t i = 0; i < pmt.elementary_PID_count && i < TS_MAX_ELEMENTARY_PIDS; ++i)
            add(pmt.elementary_PIDs[i]);
    }

    static int32_t OnPAT(void* context, const TS_SectionEvent* e) {
        auto* w = static_cast<PMTWalk*>(context);
        if (!e->intact) return 0;
        TS_PAT& pat = w->data->tPAT;
        TS_PAT_FromPreSection(&pat, e->section);
        if (pat.program_count > 2) return kTooManyPrograms;
        std::memcpy(w->saved_pat, w->packet->unit, w->packet->unit_size);
        w->saved_pat_size = w->packet->unit_size;
        uint16_t pid = FollowedPMTPID(pat);
        if (pid != w->pmt_pid) {
            // Another PMT PID: a section half-collected on the old one is dropped.
            TS_PreSection_Initialise(&w->data->tPMTPreSection);
            w->carriers.count = 0;
            w->pmt_pid = pid;
        }
        return 0;
    }

    static int32_t OnPMT(void* context, const TS_SectionEvent* e) {
        auto* w = static_cast<PMTWalk*>(context);
        if (!e->intact) return 0;
        TS_PMT& pmt = w->data->tPMT;
        TS_PMT_FromPreSection(&pmt, e->section, w->packet->header.PID);
        w->pmt_current = true;
        w->Follow(pmt);
        return w->sink.Section(pmt.CRC_32, w->saved_pat, w->saved_pat_size, e->units, e->unit_count,
                               e->unit_size);
    }

    int32_t Handle(const ScanPacket& p) {
        const uint16_t pid = p.header.PID;
        packet = &p;
        if (pid == TS_PID_PAT)
            return TS_Packet_FeedSections(&data->tPATPreSection, TS_SECTION_PAT, &p.header, p.unit,
                                          p.unit_size, nullptr, OnPAT, this);
        if (pid == pmt_pid)
            return TS_Packet_FeedSections(&data->tPMTPreSection, TS_SECTION_PMT, &p.header, p.unit,
                                          p.unit_size, &carriers, OnPMT, this);
        if (pmt_current && (followed[pid >> 3] >> (pid & 7) & 1)) return sink.Stream(p.unit, p.unit_size);
        return 0;
    }

    int32_t Run(int fd) {
        return ScanFile(data, fd, [this](const ScanPacket& p) { return Handle(p); });
    }
};

// Survey sink: books each PMT section on its run and counts the bytes written for it.
struct SurveySink {
    TS_PMTSplitTable* table;
    bool current = false;  // the last run has room in the table
    bool warned = false;

    int32_t Section(uint32_t crc, const uint8_t*, uint32_t pat_size, const uint8_t (*)[TS_M2TS_PACKET_SIZE],
                    uint16_t unit_count, uint16_t unit_size) {
        uint16_t& n = table->u16Count;
        if (n == 0 || table->ltEntry[n - 1].u32CRC32 != crc) {
            if (n >= kTableSize) {
                if (!warned) std::fprintf(stderr, "Warning: more than %u PMT runs; later runs are not counted.\n", kTableSize);
                warned = true;
                current = false;
                return 0;
            }
            TS_PMTSplitEntry& e = table->ltEntry[n];
            e.u32CRC32 = crc;
            e.u16Repeat = 0;
            for (uint16_t i = 0; i < n; ++i)
                if (table->ltEntry[i].u32CRC32 == crc) ++e.u16Repeat;
            e.u64Size = 0;
            e.nFile = 0;
            ++n;
            current = true;
        }
        if (current) table->ltEntry[n - 1].u64Size += pat_size + uint64_t{unit_count} * unit_size;
        return 0;
    }

    int32_t Stream(const uint8_t*, uint32_t unit_size) {
        if (current) table->ltEntry[table->u16Count - 1].u64Size += unit_size;
        return 0;
    }
};

// Writer sink: the saved PAT packet and the packets of each PMT section, then the stream
// packets while that PMT is current, into the file of its CRC_32.
struct WriterSink {
    TS_PMTSplitTable table{};  // one entry per output file; nFile is the output slot
    const InputFile* input;
    bool all;
    uint32_t crc;
    const char* output_name;
    int32_t current = -1;  // entry of the current PMT, -1 when it is not written
    bool warned = false;

    int32_t Open(uint32_t index, uint32_t pmt_crc) {
        const char* name = output_name;
        if (name == nullptr) {
            int n = std::snprintf(g_strString2, sizeof g_strString2, "%s_%08X.ts", g_strString1, pmt_crc);
            if (n < 0 || static_cast<size_t>(n) >= sizeof g_strString2) {
                std::fprintf(stderr, "Error: Failed open %s_%08X.ts.\n", g_strString1, pmt_crc);
                return -4;
            }
            name = g_strString2;
        }
        int32_t r = OpenOutput(index, name, input, -4);
        if (r == 0) table.ltEntry[index].nFile = static_cast<int32_t>(index);
        return r;
    }

    int32_t Section(uint32_t pmt_crc, const uint8_t* pat, uint32_t pat_size,
                    const uint8_t (*units)[TS_M2TS_PACKET_SIZE], uint16_t unit_count, uint16_t unit_size) {
        current = -1;
        if (!all && pmt_crc != crc) return 0;
        uint32_t index = 0;
        while (index < table.u16Count && table.ltEntry[index].u32CRC32 != pmt_crc) ++index;
        if (index == table.u16Count) {
            if (index >= kTableSize) {
                if (!warned) std::fprintf(stderr, "Warning: more than %u PMTs; the others are not written.\n", kTableSize);
                warned = true;
                return 0;
            }
            table.ltEntry[index].u32CRC32 = pmt_crc;
            table.ltEntry[index].nFile = -1;
            int32_t r = Open(index, pmt_crc);
            if (r != 0) return r;
            ++table.u16Count;
        }
        current = static_cast<int32_t>(index);
        // Nothing precedes the first PAT: a PMT before it is written without a PAT copy.
        if (pat_size) {
            int32_t r = Write(pat, pat_size);
            if (r != 0) return r;
        }
        for (uint16_t i = 0; i < unit_count; ++i) {
            int32_t r = Write(units[i], unit_size);
            if (r != 0) return r;
        }
        return 0;
    }

    int32_t Write(const uint8_t* bytes, uint32_t size) {
        table.ltEntry[current].u64Size += size;
        return WriteOutput(static_cast<uint32_t>(current), bytes, size);
    }

    int32_t Stream(const uint8_t* unit, uint32_t unit_size) {
        return current >= 0 ? Write(unit, unit_size) : 0;
    }
};

}  // namespace

int32_t TS_CheckPMTSplit(TS_PMTSplitTable* table, const char* fileName) {
    if (table == nullptr || fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    std::memset(static_cast<void*>(table), 0, sizeof *table);
    InputFile input;
    if (OpenInput(&input, fileName) != 0) return -2;
    SurveySink sink{table};
    PMTWalk<SurveySink> walk(sink);
    int32_t r = walk.Run(input.fd);
    CloseInput(&input);
    return r;
}

int32_t TS_PMTSplitFile(const char* fileName, uint8_t all, uint32_t crc, const char* outputName,
                        TS_PMTSplitTable* written) {
    if (fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    if (GetBaseFileName(g_strString1, fileName, sizeof g_strString1) != 0) g_strString1[0] = '\0';
    InputFile input;
    if (OpenInput(&input, fileName) != 0) return -2;
    WriterSink sink;
    sink.input = &input;
    sink.all = all != 0;
    sink.crc = crc;
    sink.output_name = all ? nullptr : outputName;
    PMTWalk<WriterSink> walk(sink);
    int32_t r = walk.Run(input.fd);
    int32_t closed = CloseAllOutputs();
    CloseInput(&input);
    if (written) *written = sink.table;
    if (r == 0 && closed != 0) r = closed;
    return r;
}
