// PMT survey and split writer: a one-program stream cut into runs by the CRC_32 of its PMT
// sections. The survey and the writer walk the stream with the same walker (pmt_walk.h) and
// differ only in their sink, so that the size the survey gives a PMT is exactly what the
// writer writes.
#include <cstdio>
#include <cstring>

#include "output.h"
#include "pmt_walk.h"
#include "state.h"
#include "ts.h"

using namespace ts_detail;

namespace {

constexpr uint32_t kTableSize = 256;

// Survey sink: books each PMT section on its run and counts the bytes written for it.
struct SurveySink {
    TS_PMTSplitTable* table;
    int32_t current = -1;  // entry that the current run's bytes go to; -1: not counted
    bool warned = false;

    int32_t Section(uint32_t crc, const uint8_t*, uint32_t pat_size, const uint8_t (*)[TS_M2TS_PACKET_SIZE],
                    uint16_t unit_count, uint16_t unit_size, const ScanPacket&) {
        uint16_t& n = table->u16Count;
        if (current < 0 || table->ltEntry[current].u32CRC32 != crc) {
            if (n >= kTableSize) {
                // No room for another run: its bytes join the last run of the same PMT, so
                // that each PMT's total stays what the writer writes for it.
                if (!warned)
                    std::fprintf(stderr, "Warning: more than %u PMT runs; later runs are counted with their PMT's earlier runs.\n",
                                 kTableSize);
                warned = true;
                current = -1;
                for (uint16_t i = n; i-- > 0;)
                    if (table->ltEntry[i].u32CRC32 == crc) {
                        current = i;
                        break;
                    }
            } else {
                TS_PMTSplitEntry& e = table->ltEntry[n];
                e.u32CRC32 = crc;
                e.u16Repeat = 0;
                for (uint16_t i = 0; i < n; ++i)
                    if (table->ltEntry[i].u32CRC32 == crc) ++e.u16Repeat;
                e.u64Size = 0;
                e.nFile = 0;
                current = n++;
            }
        }
        if (current >= 0) table->ltEntry[current].u64Size += pat_size + uint64_t{unit_count} * unit_size;
        return 0;
    }

    int32_t Stream(const ScanPacket& p) {
        if (current >= 0) table->ltEntry[current].u64Size += p.unit_size;
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
                    const uint8_t (*units)[TS_M2TS_PACKET_SIZE], uint16_t unit_count, uint16_t unit_size,
                    const ScanPacket&) {
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

    int32_t Stream(const ScanPacket& p) { return current >= 0 ? Write(p.unit, p.unit_size) : 0; }
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
    int32_t closed = FinishOutputs(r);
    CloseInput(&input);
    if (written) *written = sink.table;
    if (r == 0 && closed != 0) r = closed;
    return r;
}
