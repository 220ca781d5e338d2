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

// Takes entry `index` out of `table`, the later ones moving up; the entry indices in `refs`
// follow (one that named it becomes -1).
template <class... Refs>
void RemoveEntry(TS_PMTSplitTable* table, int32_t index, Refs&... refs) {
    if (index < 0 || index >= table->u16Count) return;
    std::memmove(&table->ltEntry[index], &table->ltEntry[index + 1],
                 sizeof(TS_PMTSplitEntry) * static_cast<size_t>(table->u16Count - index - 1));
    --table->u16Count;
    auto follow = [index](int32_t& ref) { ref = ref == index ? -1 : ref > index ? ref - 1 : ref; };
    (follow(refs), ...);
}

// Survey sink: one entry per distinct PMT, with its runs and the bytes written for it.
struct SurveySink {
    TS_PMTSplitTable* table;
    const char* name;
    int32_t current = -1;  // entry the stream packets count for; -1: none
    int32_t next = -1;     // entry of the section being handed out
    bool warned = false;
    // For margins: the runs begun, the run of `current` and of `next`, and the entry and
    // the bytes of the first run and of the last one.
    uint32_t runs = 0;
    uint32_t current_run = 0, next_run = 0;
    int32_t first_entry = -1, last_entry = -1;
    uint64_t first_bytes = 0, last_bytes = 0;

    int32_t Begin(uint32_t crc, uint64_t bytes, bool new_run) {
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
        if (new_run) {
            if (next >= 0) ++table->ltEntry[next].u32Runs;
            next_run = runs++;
            if (next_run == 0) first_entry = next;
            last_entry = next;
            last_bytes = 0;
        } else {
            next_run = current_run;
        }
        Count(next, next_run, bytes);
        return 0;
    }
    void Count(int32_t entry, uint32_t run, uint64_t bytes) {
        if (entry < 0) return;
        table->ltEntry[entry].u64Size += bytes;
        if (run == 0) first_bytes += bytes;
        if (run + 1 == runs) last_bytes += bytes;
    }
    int32_t PATCopy(const uint8_t*, uint32_t) { return 0; }
    int32_t Carrier(const uint8_t*, uint32_t, uint64_t, uint64_t) { return 0; }
    int32_t Stream(const ScanPacket& p) { return Count(current, current_run, p.unit_size), 0; }
    int32_t Margin(uint32_t run) {
        const int32_t entry = run == 0 ? first_entry : last_entry;
        if (entry < 0) return 0;
        TS_PMTSplitEntry& e = table->ltEntry[entry];
        e.u64Size -= run == 0 ? first_bytes : last_bytes;
        if (--e.u32Runs == 0) RemoveEntry(table, entry, current, next, first_entry, last_entry);
        return 0;
    }
    int32_t End() {
        current = next;
        current_run = next_run;
        return 0;
    }
};

// A free output slot: one that no entry of `table` writes to.
uint32_t FreeSlot(const TS_PMTSplitTable& table) {
    for (uint32_t slot = 0;; ++slot) {
        bool used = false;
        for (uint16_t i = 0; i < table.u16Count && !used; ++i) used = table.ltEntry[i].nFile == static_cast<int32_t>(slot);
        if (!used) return slot;
    }
}

// An output that a margin may have to be taken back from must be a regular file.
int32_t NeedsFile(bool margins, uint32_t slot) {
    if (!margins || IsOutputFile(slot)) return 0;
    Report("Error: Failed open %s (a run left out as a margin could not be taken back from it: not a regular "
           "file).\n", OutputName(slot));
    DropOutput(slot);
    return -4;
}

// Writer sink: the saved PAT packet and the packets of each PMT section, then the stream
// packets while that PMT is current, into the file of its CRC_32.
struct WriterSink {
    TS_PMTSplitTable table{};  // one entry per output file; nFile is the output slot
    const InputFile* input;
    bool all;
    uint32_t crc;
    const char* output_name;
    const char* base;      // of the generated names
    bool margins = false;
    int32_t current = -1;  // entry of the current PMT, -1 when it is not written
    int32_t next = -1;
    bool warned = false;
    // For margins: the runs begun, the entry of the first run and of the last one, and the
    // bytes the last one's file held before it.
    uint32_t runs = 0;
    int32_t first_entry = -1, last_entry = -1;
    uint64_t last_start = 0;

    int32_t Open(int32_t index, uint32_t pmt_crc) {
        const char* name = output_name;
        if (name == nullptr) {
            int n = std::snprintf(g_strString2, sizeof g_strString2, "%s_%08X.ts", base, pmt_crc);
            if (n < 0 || static_cast<size_t>(n) >= sizeof g_strString2) {
                Report("Error: Failed open %s_%08X.ts.\n", base, pmt_crc);
                return -4;
            }
            name = g_strString2;
        }
        // While no entry has been taken out, this is the slot of the entry's own index.
        const uint32_t slot = FreeSlot(table);
        int32_t r = OpenOutput(slot, name, input, -4);
        if (r == 0) r = NeedsFile(margins, slot);
        if (r == 0) table.ltEntry[index].nFile = static_cast<int32_t>(slot);
        return r;
    }

    int32_t Begin(uint32_t pmt_crc, uint64_t, bool new_run) {
        next = -1;
        if (new_run) {
            ++runs;
            last_entry = -1;
        }
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
            table.ltEntry[index].u64Size = 0;
            table.ltEntry[index].u32Runs = 0;
            int32_t r = Open(index, pmt_crc);
            if (r != 0) return r;
            ++table.u16Count;
        }
        next = index;
        if (new_run) {
            ++table.ltEntry[index].u32Runs;
            if (runs == 1) first_entry = index;
            last_entry = index;
            last_start = table.ltEntry[index].u64Size;
        }
        return 0;
    }

    int32_t Write(int32_t entry, const uint8_t* bytes, uint32_t size) {
        if (entry < 0) return 0;
        table.ltEntry[entry].u64Size += size;
        return WriteOutput(static_cast<uint32_t>(table.ltEntry[entry].nFile), bytes, size);
    }
    int32_t PATCopy(const uint8_t* unit, uint32_t size) { return Write(next, unit, size); }
    int32_t Carrier(const uint8_t* unit, uint32_t size, uint64_t, uint64_t) { return Write(next, unit, size); }
    int32_t Stream(const ScanPacket& p) { return Write(current, p.unit, p.unit_size); }
    // The first run is all its file holds; the last one is at the end of its file.
    int32_t Margin(uint32_t run) {
        const int32_t entry = run == 0 ? first_entry : last_entry;
        if (entry < 0) return 0;
        TS_PMTSplitEntry& e = table.ltEntry[entry];
        const uint32_t slot = static_cast<uint32_t>(e.nFile);
        if (--e.u32Runs == 0) {
            DropOutput(slot);
            RemoveEntry(&table, entry, current, next, first_entry, last_entry);
            return 0;
        }
        e.u64Size = last_start;
        return CutOutput(slot, last_start);
    }
    int32_t End() {
        current = next;
        return 0;
    }
};

// Each-run sink: every run into a file of its own, completed when the next run has begun.
struct EachRunSink {
    TS_PMTSplitTable table{};  // the files written: CRC_32, bytes, nFile the run's number
    const InputFile* input;
    const char* base;
    bool margins = false;
    uint32_t runs = 0;
    int32_t current = -1, next = -1;            // output slot of the current run, of the section's
    int32_t current_file = -1, next_file = -1;  // their entries in `table` (-1 past its end)

    int32_t Begin(uint32_t crc, uint64_t, bool new_run) {
        if (!new_run) {
            next = current;
            next_file = current_file;
            return 0;
        }
        ++runs;
        next = -1;
        next_file = -1;
        // Two runs at most are open at once: the current one and the one beginning.
        const uint32_t slot = runs & 1;
        int n = std::snprintf(g_strString2, sizeof g_strString2, "%s_%02u_%08X.ts", base, runs, crc);
        if (n < 0 || static_cast<size_t>(n) >= sizeof g_strString2) {
            Report("Error: Failed open %s_%02u_%08X.ts.\n", base, runs, crc);
            return -4;
        }
        int32_t r = OpenOutput(slot, g_strString2, input, -4);
        if (r == 0) r = NeedsFile(margins, slot);
        if (r != 0) return r;
        next = static_cast<int32_t>(slot);
        if (table.u16Count < kTableSize) {
            TS_PMTSplitEntry& e = table.ltEntry[table.u16Count];
            e.u32CRC32 = crc;
            e.u16Repeat = 0;
            e.u64Size = 0;
            e.nFile = static_cast<int32_t>(runs);
            e.u32Runs = 1;
            next_file = table.u16Count++;
        }
        return 0;
    }

    int32_t Write(int32_t slot, int32_t file, const uint8_t* bytes, uint32_t size) {
        if (slot < 0) return 0;
        if (file >= 0) table.ltEntry[file].u64Size += size;
        return WriteOutput(static_cast<uint32_t>(slot), bytes, size);
    }
    int32_t PATCopy(const uint8_t* unit, uint32_t size) { return Write(next, next_file, unit, size); }
    int32_t Carrier(const uint8_t* unit, uint32_t size, uint64_t, uint64_t) { return Write(next, next_file, unit, size); }
    int32_t Stream(const ScanPacket& p) { return Write(current, current_file, p.unit, p.unit_size); }
    // The run taken back is the current one: the first before the second's End, the last at
    // the end of the input.
    int32_t Margin(uint32_t) {
        if (current >= 0) DropOutput(static_cast<uint32_t>(current));
        current = -1;
        if (current_file >= 0) RemoveEntry(&table, current_file, current_file, next_file);
        return 0;
    }
    int32_t End() {
        int32_t r = 0;
        // The run before is whole once the next one's file is open (not when it failed to).
        if (current >= 0 && next >= 0 && current != next) r = CloseOutput(static_cast<uint32_t>(current));
        current = next;
        current_file = next_file;
        return r;
    }
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

// Opens the input, walks it into `sink` and finishes the outputs. A stream that turns into
// several programs stops the split, but the pieces written up to that PAT are whole: they
// are kept.
template <class Sink>
int32_t WalkInto(Sink& sink, const char* fileName, TS_PMTSplitTable* written, TS_PMTOptions* options) {
    TS_InitialiseSimple(&g_tSimpleData);
    if (GetBaseFileName(g_strString1, fileName, sizeof g_strString1) != 0) g_strString1[0] = '\0';
    InputFile input;
    if (OpenInput(&input, fileName) != 0) return -2;
    sink.input = &input;
    sink.base = options && options->output_base ? options->output_base : g_strString1;
    sink.margins = options && options->margins;
    PMTWalk<Sink> walk(sink, fileName, options);
    int32_t r = walk.Run(input);
    int32_t closed = FinishOutputs(r == kTooManyPrograms ? 0 : r);
    CloseInput(&input);
    if (written) *written = sink.table;
    if (r == 0 && closed != 0) r = closed;
    return r;
}

int32_t TS_PMTSplitFile(const char* fileName, uint8_t all, uint32_t crc, const char* outputName,
                        TS_PMTSplitTable* written, TS_PMTOptions* options) {
    if (fileName == nullptr) return -1;
    WriterSink sink;
    sink.all = all != 0;
    sink.crc = crc;
    sink.output_name = all ? nullptr : outputName;
    return WalkInto(sink, fileName, written, options);
}

int32_t TS_PMTSplitRuns(const char* fileName, TS_PMTSplitTable* written, TS_PMTOptions* options) {
    if (fileName == nullptr) return -1;
    EachRunSink sink;
    return WalkInto(sink, fileName, written, options);
}
