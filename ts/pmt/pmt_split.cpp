// PMT survey and split writer: a one-program stream cut into runs by the CRC_32 of its PMT
// sections. The survey and the writer walk the stream with the same walker (pmt_walk.h) and
// differ only in their sink, so that the size the survey gives a PMT is exactly what the
// writer writes.
#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "core/output.h"
#include "pmt/pmt_walk.h"
#include "psi/state.h"
#include "pmt/pmt.h"

using namespace ts_detail;

WalkStorage ts_detail::g_tWalk;

namespace {

constexpr uint32_t kTableSize = 256;

// Index of the entry of `table` (of `count` in use) with `crc`, or -1.
int32_t FindCRC(const TS_PMTSplitEntry* entries, uint16_t count, uint32_t crc) {
    for (uint16_t i = 0; i < count; ++i)
        if (entries[i].u32CRC32 == crc) return i;
    return -1;
}

// Survey sink: one entry per distinct PMT, with its runs and the bytes written for it.
struct SurveySink {
    TS_PMTSplitTable* table;
    const char* name;
    int32_t current = -1;  // entry the stream packets count for; -1: none
    int32_t next = -1;     // entry of the section being handed out
    bool any = false;
    uint32_t run_crc = 0;
    bool warned = false;

    int32_t Begin(uint32_t crc, uint64_t bytes) {
        uint16_t& n = table->u16Count;
        next = FindCRC(table->ltEntry, n, crc);
        if (next < 0) {
            if (n >= kTableSize) {
                if (!warned)
                    Report("Warning: %s holds more than %u distinct PMTs; the later ones are not listed.\n",
                                 name, kTableSize);
                warned = true;
            } else {
                TS_PMTSplitEntry& e = table->ltEntry[n];
                e.u32CRC32 = crc;
                e.u16Repeat = 0;
                e.u64Size = 0;
                e.nFile = 0;
                e.u32Runs = 0;
                next = n++;
            }
        }
        if (next >= 0 && (!any || crc != run_crc)) ++table->ltEntry[next].u32Runs;
        any = true;
        run_crc = crc;
        Count(next, bytes);
        return 0;
    }
    void Count(int32_t entry, uint64_t bytes) {
        if (entry >= 0) table->ltEntry[entry].u64Size += bytes;
    }
    int32_t PATCopy(const uint8_t*, uint32_t) { return 0; }
    int32_t Carrier(const uint8_t*, uint32_t, uint64_t, uint64_t) { return 0; }
    int32_t Stream(const ScanPacket& p) { return Count(current, p.unit_size), 0; }
    void End() { current = next; }
};

// Writer sink: the saved PAT packet and the packets of each PMT section, then the stream
// packets while that PMT is current, into the file of its CRC_32.
struct WriterSink {
    TS_PMTSplitTable table{};  // one entry per output file; nFile is the output slot
    const InputFile* input;
    bool all;
    uint32_t crc;
    const char* output_name;
    const char* base;      // of the generated names
    int32_t current = -1;  // entry of the current PMT, -1 when it is not written
    int32_t next = -1;
    bool warned = false;

    int32_t Open(uint32_t index, uint32_t pmt_crc) {
        const char* name = output_name;
        if (name == nullptr) {
            int n = std::snprintf(g_strString2, sizeof g_strString2, "%s_%08X.ts", base, pmt_crc);
            if (n < 0 || static_cast<size_t>(n) >= sizeof g_strString2) {
                Report("Error: Failed open %s_%08X.ts.\n", base, pmt_crc);
                return -4;
            }
            name = g_strString2;
        }
        int32_t r = OpenOutput(index, name, input, -4);
        if (r == 0) table.ltEntry[index].nFile = static_cast<int32_t>(index);
        return r;
    }

    int32_t Begin(uint32_t pmt_crc, uint64_t) {
        next = -1;
        if (!all && pmt_crc != crc) return 0;
        int32_t index = FindCRC(table.ltEntry, table.u16Count, pmt_crc);
        if (index < 0) {
            if (table.u16Count >= kTableSize) {
                if (!warned) Report("Warning: more than %u PMTs; the others are not written.\n", kTableSize);
                warned = true;
                return 0;
            }
            index = table.u16Count;
            table.ltEntry[index].u32CRC32 = pmt_crc;
            table.ltEntry[index].nFile = -1;
            int32_t r = Open(static_cast<uint32_t>(index), pmt_crc);
            if (r != 0) return r;
            ++table.u16Count;
        }
        next = index;
        return 0;
    }

    int32_t Write(int32_t entry, const uint8_t* bytes, uint32_t size) {
        if (entry < 0) return 0;
        table.ltEntry[entry].u64Size += size;
        return WriteOutput(static_cast<uint32_t>(entry), bytes, size);
    }
    int32_t PATCopy(const uint8_t* unit, uint32_t size) { return Write(next, unit, size); }
    int32_t Carrier(const uint8_t* unit, uint32_t size, uint64_t, uint64_t) { return Write(next, unit, size); }
    int32_t Stream(const ScanPacket& p) { return Write(current, p.unit, p.unit_size); }
    void End() { current = next; }
};

}  // namespace

int32_t TS_CheckPMTSplit(TS_PMTSplitTable* table, const char* fileName, TS_PMTOptions* options) {
    if (table == nullptr || fileName == nullptr) return -1;
    TS_InitialiseSimple(&g_tSimpleData);
    std::memset(static_cast<void*>(table), 0, sizeof *table);
    InputFile input;
    if (OpenInput(&input, fileName) != 0) return -2;
    SurveySink sink{table, fileName};
    PMTWalk<SurveySink> walk(sink, fileName, options);
    int32_t r = walk.Run(input);
    CloseInput(&input);
    return r;
}

int32_t TS_PMTSplitFile(const char* fileName, uint8_t all, uint32_t crc, const char* outputName,
                        TS_PMTSplitTable* written, TS_PMTOptions* options) {
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
    sink.base = options && options->output_base ? options->output_base : g_strString1;
    PMTWalk<WriterSink> walk(sink, fileName, options);
    int32_t r = walk.Run(input);
    // A stream that turns into several programs stops the split, but the pieces written up to
    // that PAT are whole: they are kept.
    int32_t closed = FinishOutputs(r == kTooManyPrograms ? 0 : r);
    CloseInput(&input);
    if (written) *written = sink.table;
    if (r == 0 && closed != 0) r = closed;
    return r;
}
