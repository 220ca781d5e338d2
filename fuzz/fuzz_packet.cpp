// The packet reader: header, adaptation field and PCR of each whole 188-byte packet of the
// input (the first byte is made the sync byte, so every packet gets past it), with the packet
// printers and the name tables when the dump is built.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "quiet.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TS_Packet packet;
    static TS_Header header;
    static TS_PCR pcr;
    for (size_t off = 0; off + TS_PACKET_SIZE <= size; off += TS_PACKET_SIZE) {
        uint8_t bytes[TS_PACKET_SIZE];
        std::memcpy(bytes, data + off, sizeof bytes);
        // Once as given (a wrong sync byte must be refused), then with the sync byte.
        if (bytes[0] != TS_SYNC_BYTE && TS_Packet_Get(&packet, bytes) != -2) __builtin_trap();
        bytes[0] = TS_SYNC_BYTE;
        if (TS_Packet_Get(&packet, bytes) != 0) __builtin_trap();
        TS_Packet_GetAdaptationField(&packet.adaptation_field, &packet, bytes);
        TS_Header_Get(&header, bytes);
        bool has_pcr = TS_Packet_HasPCR(bytes);
        if (has_pcr && !packet.adaptation_field.PCR_flag) __builtin_trap();
        TS_PCR_Import(&pcr, bytes + 5);
        if (has_pcr && pcr.program_clock_reference_base != packet.adaptation_field.program_clock_reference_base)
            __builtin_trap();
#ifdef VELKARIN_FUZZ_DUMP
        TS_Packet_PrintHeader(&header);
        TS_Packet_Print(&packet);
        TS_Packet_Print_RAW(bytes);
        TS_PCR_Print(&pcr);
        // The name tables, on codes taken from the packet.
        char label[TS_LABEL_CAPACITY];
        TS_Header_PIDToString(label, header.PID);
        TS_Section_TagToString(label, bytes[5]);
        TS_Section_TagToString_ISO(label, bytes[6]);
        TS_Header_StreamTypeToString(label, bytes[7]);
        TS_DescriptorTagToString(label, bytes[8]);
        if (std::strlen(label) > 50) __builtin_trap();
#endif
    }
#ifdef VELKARIN_FUZZ_DUMP
    std::fflush(stdout);
#endif
    return 0;
}
