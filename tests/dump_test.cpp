// The dump driver and the velkarin-dump command: exact text for streams built here, flag
// combinations, the PCR and CRC rules, and the shared broadcast recordings.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "files.h"
#include "mux.h"
#include "psi/state.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;
using tsb::Packet;

constexpr const char* kSep = "========================================\n";

std::string Hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

struct Dump {
    int32_t result = 99;
    std::string out;
};

Dump DumpFile(const std::string& path, uint32_t flags) {
    Dump d;
    testing::internal::CaptureStdout();
    d.result = TS_Print(path.c_str(), flags);
    d.out = testing::internal::GetCapturedStdout();
    return d;
}

Dump DumpPackets(const std::vector<Packet>& packets, uint32_t flags) {
    testfiles::ScratchFile f(tsb::Join(packets));
    return DumpFile(f.path, flags);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------------
// A small broadcast-like stream: PAT with a network entry and program 1 (PMT on 0x100), CAT
// naming EMM PID 0x140, PMT with a CA_descriptor naming ECM PID 0x130, PCR on 0x1FF, video
// 0x111, audio 0x112.
// ---------------------------------------------------------------------------------------------

struct Mini {
    Bytes pat = tsb::PatSection(1, {{0, 0x10}, {1, 0x100}});
    Bytes cat = tsb::CatSection(tsb::CaDescriptor(5, 0x140));
    Bytes pmt = tsb::PmtSection(1, 0x1FF, tsb::CaDescriptor(5, 0x130, {1, 2}),
                                {{0x1B, 0x111, {}}, {0x0F, 0x112, tsb::LanguageDescriptor({{"jpn", 0}})}});
    Bytes ecm = tsb::LongSection({.table_id = 0x82, .table_id_extension = 1, .version = 1}, {0x07, 0x08, 0x09});
    // Card identifier 0x12345678, then 14 more bytes.
    Bytes emm = tsb::LongSection({.table_id = 0x84, .table_id_extension = 2},
                                 {0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x10, 0x11, 0x12, 0x13, 0x14,
                                  0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D});

    std::vector<Packet> Packets() const {
        tsb::Mux x;
        x.Section(0x100, pmt);  // before any PAT
        x.Section(0, pat);
        x.Section(1, cat);
        x.Section(0x100, pmt);
        // PCR_PID: one packet with a PCR, one without adaptation field, one whose adaptation
        // field has no PCR.
        x.packets.push_back(tsb::MakeStuffedPacket({.pid = 0x1FF, .cc = 0}, {},
                                                   {.pcr = std::make_pair(uint64_t{2268000090}, uint16_t{300})}));
        x.packets.push_back(tsb::MakePacket({.pid = 0x1FF, .cc = 1}, Bytes(184, 0x5A)));
        x.packets.push_back(tsb::MakeStuffedPacket({.pid = 0x1FF, .cc = 2}, Bytes(100, 0x33)));
        x.packets.push_back(tsb::MakePacket({.pid = 0x111, .pusi = true, .cc = 0}, {0, 0, 1, 0xE0}));
        x.Section(0x130, ecm);
        // The EMM section starts behind a long adaptation field and ends in the next packet.
        for (const Packet& p : tsb::Packetize({.pid = 0x140, .first_adaptation = tsb::EncodeAdaptation({.stuffing = 158})}, {emm}))
            x.packets.push_back(p);
        x.packets.push_back(tsb::MakePacket({.pid = 0x1FFF}, {}));
        x.packets.push_back(tsb::MakePacket({.pid = 0x112, .pusi = true, .cc = 0}, {0, 0, 1, 0xC0}));
        return x.packets;
    }

    std::string PATBlock() const {
        return "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x0000(Program Association Table) TSC:0 AFC:1 CN:0\n"
               "[PAT] TI:0x00(PAT) SSI:1 R1:3 SL:17 TSI:1 R2:3 VN:0 CNI:1 SN:0 LSN:0\n"
               "  Program:2\n  PN:0 R3:7 NETPID:0x0010\n  PN:1 R3:7 PMTPID:0x0100\n  CRC32:0x" + Hex8(tsb::TrailingU32(pat)) + "\n";
    }
    std::string CATBlock() const {
        return "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x0001(Conditional Access Table) TSC:0 AFC:1 CN:0\n"
               "[CAT] TI:0x01(CAT) SSI:1 R1:3 SL:15 TSI:65535 R2:3 VN:0 CNI:1 SN:0 LSN:0\n"
               "  DSC:1\n[D Conditional access] L:4 CASID:5 R:7 CAPID:0x0140\n  \n\n  CRC32:0x" + Hex8(tsb::TrailingU32(cat)) + "\n";
    }
    std::string PMTBlock() const {
        return "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x0100(<assigned>) TSC:0 AFC:1 CN:1\n"
               "[PMT] TI:0x02(maybe PMT) SSI:1 R1:3 SLEN:37 TSI:1 R2:3 VER:0 CNI:1 SN:0 LSN:0 PCRPID:0x01FF PIL:8\n"
               "  DSC:1\n[D Conditional access] L:6 CASID:5 R:7 CAPID:0x0130\n  0x01, 0x02, \n"
               "  ST:0x1B(ISO/IEC 14496-10 AVC Video) EPID:0x0111 ESIL:0 DSC:0\n  CODEC:h264\n  DSC:0\n"
               "  ST:0x0F(ISO/IEC 13818-7 Audio) EPID:0x0112 ESIL:6 DSC:1\n  CODEC:aac\n  DSC:1\n"
               "[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n  CRC32:0x" + Hex8(tsb::TrailingU32(pmt)) + "\n";
    }
    static std::string PCRBlock() {
        return "[TS Packet Header] TEI:0 PUSI:0 TP:0 PID:0x01FF(<assigned>) TSC:0 AFC:2 CN:0\n"
               "[PCR] TI:0x10(?) PB:2268000090(07:00:00.001) R:63 PE:300\n";
    }
    std::string ECMBlock() const {
        return "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x0130(<assigned>) TSC:0 AFC:1 CN:0\n"
               "[Private] TI:0x82(ECM ECM-S) SSI:1 PI:0 R1:3 PSL:12 TE:1 R2:3 VN:1 CNI:1 SN:0 LSN:0\n"
               "  0x07, 0x08, 0x09, \n  CRC32:0x" + Hex8(tsb::TrailingU32(ecm)) + "\n";
    }
    std::string EMMBlock() const {
        return "[TS Packet Header] TEI:0 PUSI:0 TP:0 PID:0x0140(<assigned>) TSC:0 AFC:1 CN:1\n"
               "[EMM] TI:0x84(EMM EMM-S) SSI:1 PI:0 R1:3 PSL:29 TE:2 R2:3 VN:0 CNI:1 SN:0 LSN:0\n  CardID:305419896(0x12345678)\n"
               "  0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, \n"
               "  CRC32:0x" + Hex8(tsb::TrailingU32(emm)) + "\n";
    }
    static std::string PIDList() {
        return std::string(kSep) +
               "PID List:\n  0x0100,\n  0x0000,\n  0x0001,\n  0x01FF,\n  0x0111,\n  0x0130,\n"
               "  0x0140,\n  0x1FFF,\n  0x0112,\n";
    }
};

TEST(Dump, FlagsSelectTheBlocks) {
    Mini m;
    const auto packets = m.Packets();
    const std::string pat = kSep + m.PATBlock(), cat = kSep + m.CATBlock(), pmt = kSep + m.PMTBlock(),
                      pcr = kSep + m.PCRBlock(), ecm = kSep + m.ECMBlock(), emm = kSep + m.EMMBlock();
    // The PMT packet ahead of the PAT prints nothing, nor do the PCR_PID packets without a PCR.
    const struct { uint32_t flags; std::string text; } rows[] = {
        {TS_PRINT_PAT | TS_PRINT_CAT | TS_PRINT_PMT | TS_PRINT_PCR | TS_PRINT_PRIVATE | TS_PRINT_EMM | TS_PRINT_PID_LIST,
         pat + cat + pmt + pcr + ecm + emm + m.PIDList()},
        {TS_PRINT_PAT, pat}, {TS_PRINT_CAT, cat}, {TS_PRINT_PMT, pmt}, {TS_PRINT_PCR, pcr}, {TS_PRINT_PRIVATE, ecm},
        {TS_PRINT_EMM, emm}, {TS_PRINT_PID_LIST, m.PIDList()},
        {0xFFFFFE00u | TS_PRINT_PAT, pat},  // bits beyond the nine flags are ignored
        {0, ""}};
    for (const auto& r : rows) {
        const Dump d = DumpPackets(packets, r.flags);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.out, r.text) << "flags 0x" << std::hex << r.flags;
    }
    // With no flag the tables are still kept. Slot 0 belongs to program 1 (the network entry
    // has none). Nothing selected the PCR, private or EMM steps, nor the PID list.
    EXPECT_EQ(g_tData.tPAT.decoded, 1);
    EXPECT_EQ(g_tData.tPAT.program_count, 2);
    EXPECT_EQ(g_tData.tCAT.decoded, 1);
    EXPECT_EQ(g_tData.u16PMTSlotCount, 1);
    EXPECT_EQ(g_tData.lu16PMTSlotPID[0], 0x100);
    EXPECT_EQ(g_tData.lu16PMTSlotProgram[0], 1);
    EXPECT_EQ(g_tData.ltPMT[0].decoded, 1);
    EXPECT_EQ(g_tData.ltPMT[0].PCR_PID, 0x1FF);
    EXPECT_EQ(g_tData.ltPMT[0].PID, 0x100);
    EXPECT_EQ(g_tData.ltPMT[1].decoded, 0);
    EXPECT_EQ(g_tData.ltPCR[0].program_clock_reference_base, 0u);
    EXPECT_EQ(g_tData.tPrivateSection.decoded, 0);
    EXPECT_EQ(g_tData.tEMMSection.decoded, 0);
    EXPECT_EQ(g_tData.u16PIDCount, 0);

    // --packets with a table: the section under the same packet's separator.
    const std::string out = DumpPackets(packets, TS_PRINT_PACKET | TS_PRINT_PAT).out;
    EXPECT_NE(out.find(kSep + std::string("[TS Packet] TEI:0 PUSI:1 TP:0 PID:0x0000(Program Association Table) TSC:0 AFC:1 CN:0\n") +
                       m.PATBlock() + kSep),
              std::string::npos);
    EXPECT_EQ(Count(out, kSep), 13u);
}

TEST(Dump, PacketsAndStreamsPrintElementaryPacketsTwice) {
    Mini m;
    const char* lines[] = {
        "PUSI:1 TP:0 PID:0x0100(<assigned>) TSC:0 AFC:1 CN:0", "PUSI:1 TP:0 PID:0x0000(Program Association Table) TSC:0 AFC:1 CN:0",
        "PUSI:1 TP:0 PID:0x0001(Conditional Access Table) TSC:0 AFC:1 CN:0", "PUSI:1 TP:0 PID:0x0100(<assigned>) TSC:0 AFC:1 CN:1",
        "PUSI:0 TP:0 PID:0x01FF(<assigned>) TSC:0 AFC:2 CN:0", "PUSI:0 TP:0 PID:0x01FF(<assigned>) TSC:0 AFC:1 CN:1",
        "PUSI:0 TP:0 PID:0x01FF(<assigned>) TSC:0 AFC:3 CN:2", "PUSI:1 TP:0 PID:0x0111(<assigned>) TSC:0 AFC:1 CN:0",
        "PUSI:1 TP:0 PID:0x0130(<assigned>) TSC:0 AFC:1 CN:0", "PUSI:1 TP:0 PID:0x0140(<assigned>) TSC:0 AFC:3 CN:0",
        "PUSI:0 TP:0 PID:0x0140(<assigned>) TSC:0 AFC:1 CN:1", "PUSI:0 TP:0 PID:0x1FFF(Null packet) TSC:0 AFC:1 CN:0",
        "PUSI:1 TP:0 PID:0x0112(<assigned>) TSC:0 AFC:1 CN:0"};
    std::string both, streams;
    for (const char* l : lines) {
        const std::string text = std::string("[TS Packet] TEI:0 ") + l + "\n";
        const bool elementary = std::strstr(l, "0x0111") || std::strstr(l, "0x0112");
        both += kSep + text + (elementary ? text : "");
        if (elementary) streams += kSep + text;
    }
    EXPECT_EQ(DumpPackets(m.Packets(), TS_PRINT_PACKET | TS_PRINT_STREAM).out, both);
    // Streams alone: only the two elementary packets (the PCR_PID is not an elementary PID).
    EXPECT_EQ(DumpPackets(m.Packets(), TS_PRINT_STREAM).out, streams);
}

TEST(Dump, PCROnAVideoPIDThatCarriesThePCR) {
    tsb::Mux x;
    x.Section(0, tsb::PatSection(7, {{1, 0x100}}));
    x.Section(0x100, tsb::PmtSection(1, 0x111, {}, {{0x02, 0x111, {}}}));
    x.packets.push_back(tsb::MakeStuffedPacket({.pid = 0x111, .pusi = true, .cc = 0}, Bytes(150, 0x00),
                                               {.random_access = true, .pcr = std::make_pair(uint64_t{90}, uint16_t{1})}));
    x.packets.push_back(tsb::MakePacket({.pid = 0x111, .cc = 1}, Bytes(184, 0x10)));  // no PCR: no block
    EXPECT_EQ(DumpPackets(x.packets, TS_PRINT_PCR | TS_PRINT_STREAM).out,
              std::string(kSep) +
                  "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x0111(<assigned>) TSC:0 AFC:3 CN:0\n"
                  "[PCR] TI:0x50(EIT Self Scedule) PB:90(00:00:00.001) R:63 PE:1\n"
                  "[TS Packet] TEI:0 PUSI:1 TP:0 PID:0x0111(<assigned>) TSC:0 AFC:3 CN:0\n" +
                  kSep + "[TS Packet] TEI:0 PUSI:0 TP:0 PID:0x0111(<assigned>) TSC:0 AFC:1 CN:1\n");
}

TEST(Dump, SectionsFailingTheirCRCAreDropped) {
    Mini m;
    Bytes bad_pat = m.pat, bad_pmt = m.pmt, bad_ecm = m.ecm;
    bad_pat[9] ^= 0x01;      // a program_number bit: the CRC no longer checks
    bad_pmt.back() ^= 0x80;  // the CRC itself
    bad_ecm[8] ^= 0xFF;
    tsb::Mux x;
    x.Section(0, bad_pat);
    x.Section(0x100, m.pmt);  // no PAT yet: not followed
    x.Section(0, m.pat);
    x.Section(0x100, bad_pmt);
    x.Section(0x100, m.pmt);
    x.Section(0x130, bad_ecm);
    x.Section(0x130, m.ecm);
    // A short-form private section carries no CRC and is taken as it comes (nine bytes: the
    // shortest section the assembly accepts).
    x.Section(0x130, tsb::ShortSection(0x80, {0xAA, 0xBB, 3, 4, 5, 6, 7, 8, 9}));
    const std::string out = DumpPackets(x.packets, TS_PRINT_PAT | TS_PRINT_PMT | TS_PRINT_PRIVATE).out;
    EXPECT_EQ(Count(out, "[PAT]"), 1u);
    EXPECT_EQ(Count(out, "CRC32:0x" + Hex8(tsb::TrailingU32(m.pat))), 1u);
    EXPECT_EQ(Count(out, "[PMT]"), 1u);
    EXPECT_EQ(Count(out, "CRC32:0x" + Hex8(tsb::TrailingU32(m.pmt))), 1u);
    EXPECT_EQ(Count(out, "[Private] TI:0x82"), 1u);
    EXPECT_EQ(Count(out, "CRC32:0x" + Hex8(tsb::TrailingU32(m.ecm))), 1u);
    EXPECT_NE(out.find("[Private] TI:0x80(?) SSI:0 PI:1 R1:3 PSL:9\n"
                       "  0xAA, 0xBB, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, \n"),
              std::string::npos);
    EXPECT_EQ(g_tData.ltPMT[0].CRC_32, tsb::TrailingU32(m.pmt));  // the intact PMT is the one held

    // With only the broken PAT, nothing is ever decoded.
    tsb::Mux y;
    y.Section(0, bad_pat);
    y.Section(0x100, m.pmt);
    EXPECT_EQ(DumpPackets(y.packets, TS_PRINT_PAT | TS_PRINT_PMT).out, "");
    EXPECT_EQ(g_tData.tPAT.decoded, 0);
}

TEST(Dump, TablesArePrintedAtEveryRepetition) {
    Mini m;
    tsb::Mux x;
    for (int i = 0; i < 3; ++i) {
        x.Section(0, m.pat);
        x.Section(0x100, m.pmt);
    }
    const std::string out = DumpPackets(x.packets, TS_PRINT_PAT | TS_PRINT_PMT).out;
    EXPECT_EQ(Count(out, "[PAT]"), 3u);
    EXPECT_EQ(Count(out, "[PMT]"), 3u);
    EXPECT_EQ(Count(out, kSep), 6u);
}

TEST(Dump, PMTSpanningPacketsPrintsUnderTheCompletingPacket) {
    // Sixteen audio streams with language descriptors: a section longer than one packet.
    std::vector<tsb::Stream> streams;
    for (uint16_t i = 0; i < 16; ++i)
        streams.push_back({0x03, uint16_t(0x200 + i), tsb::LanguageDescriptor({{"eng", uint8_t(i)}})});
    const Bytes pmt = tsb::PmtSection(1, 0x200, {}, streams);
    tsb::Mux x;
    x.Section(0, tsb::PatSection(1, {{1, 0x100}}));
    x.cc[0x100] = 5;
    ASSERT_EQ(x.Psi(0x100, {pmt}).size(), 2u);
    const std::string out = DumpPackets(x.packets, TS_PRINT_PMT).out;
    EXPECT_EQ(out.rfind(std::string(kSep) +
                            "[TS Packet Header] TEI:0 PUSI:0 TP:0 PID:0x0100(<assigned>) TSC:0 AFC:1 CN:6\n"
                            "[PMT] TI:0x02(maybe PMT) SSI:1 R1:3 SLEN:",
                        0),
              0u);
    EXPECT_EQ(Count(out, "  ST:0x03(ISO/IEC 11172 Audio) EPID:0x02"), 16u);
    EXPECT_NE(out.find("  <0> ILC:6647399 AT:15\n  CRC32:0x" + Hex8(tsb::TrailingU32(pmt)) + "\n"), std::string::npos);
    // A continuity break between the two packets loses the section.
    x.packets[2][3] = static_cast<uint8_t>((x.packets[2][3] & 0xF0) | 0x08);
    EXPECT_EQ(DumpPackets(x.packets, TS_PRINT_PMT).out, "");
}

TEST(Dump, PIDListInOrderOfFirstAppearanceAndBounded) {
    std::vector<Packet> p;
    // 300 distinct PIDs, each met twice, in a scrambled order.
    for (int round = 0; round < 2; ++round)
        for (uint16_t i = 0; i < 300; ++i)
            p.push_back(tsb::MakePacket({.pid = uint16_t(0x1000 + (i * 37) % 300), .cc = uint8_t(round)}, {}));
    std::string expected = std::string(kSep) + "PID List:\n";
    for (uint16_t i = 0; i < TS_MAX_PIDS; ++i) {
        char line[16];
        std::snprintf(line, sizeof line, "  0x%04X,\n", 0x1000 + (i * 37) % 300);
        expected += line;
    }
    EXPECT_EQ(DumpPackets(p, TS_PRINT_PID_LIST).out, expected);
    EXPECT_EQ(g_tData.u16PIDCount, TS_MAX_PIDS);
    // An empty file: the separator and the heading alone.
    EXPECT_EQ(DumpPackets({}, TS_PRINT_PID_LIST).out, std::string(kSep) + "PID List:\n");
}

TEST(Dump, EMMNeedsACATWithACADescriptor) {
    Mini m;
    // No CAT at all, a CAT without CA_descriptor, the CAT naming the EMM PID.
    const struct { std::vector<Bytes> cats; size_t emms; } rows[] = {
        {{}, 0}, {{tsb::CatSection(tsb::Descriptor(0x42, {}))}, 0}, {{m.cat}, 1}};
    for (const auto& r : rows) {
        tsb::Mux x;
        x.Section(0, m.pat);
        for (const Bytes& cat : r.cats) x.Section(1, cat);
        x.Section(0x140, m.emm);
        const std::string out = DumpPackets(x.packets, TS_PRINT_EMM).out;
        EXPECT_EQ(Count(out, "[EMM]"), r.emms);
        if (r.emms == 0) { EXPECT_EQ(out, ""); }
    }
}

TEST(Dump, SharedPIDs) {
    // Two programs name the same ECM PID, whose section spans three packets: assembled once.
    tsb::Mux x;
    x.Section(0, tsb::PatSection(1, {{1, 0x100}, {2, 0x101}}));
    x.Section(0x100, tsb::PmtSection(1, 0x111, tsb::CaDescriptor(5, 0x130), {{0x02, 0x111, {}}}));
    x.Section(0x101, tsb::PmtSection(2, 0x121, tsb::CaDescriptor(5, 0x130), {{0x02, 0x121, {}}}));
    ASSERT_EQ(x.Psi(0x130, {tsb::LongSection({.table_id = 0x83, .table_id_extension = 9}, Bytes(400, 0x42))}).size(), 3u);
    const std::string out = DumpPackets(x.packets, TS_PRINT_PRIVATE).out;
    EXPECT_EQ(Count(out, "[Private] TI:0x83(ECM ECM-S)"), 1u);
    EXPECT_EQ(Count(out, "0x42, "), 400u);

    // Two PAT entries on one PMT PID: the first slot alone is updated.
    tsb::Mux y;
    y.Section(0, tsb::PatSection(1, {{1, 0x100}, {2, 0x100}}));
    y.Section(0x100, tsb::PmtSection(1, 0x111, {}, {{0x02, 0x111, {}}}));
    EXPECT_EQ(Count(DumpPackets(y.packets, TS_PRINT_PMT).out, "[PMT]"), 1u);
    EXPECT_EQ(g_tData.ltPMT[0].decoded, 1);
    EXPECT_EQ(g_tData.ltPMT[1].decoded, 0);
}

// A program's PMT belongs to its PMT PID and program_number, not to its place in the PAT: when
// a new PAT lists the programs in another order each keeps its own, and a program the PAT no
// longer lists is no longer followed.
TEST(Dump, PMTStateFollowsTheProgramAndIsDroppedWithIt) {
    tsb::Mux x;
    x.Section(0, tsb::PatSection(1, {{1, 0x100}, {2, 0x200}}));
    x.Section(0x100, tsb::PmtSection(1, 0x111, {}, {{0x02, 0x111, {}}}));
    x.Section(0x200, tsb::PmtSection(2, 0x211, {}, {{0x02, 0x211, {}}}));
    x.Es(0x111);
    x.Es(0x211);
    x.Section(0, tsb::PatSection(1, {{2, 0x200}, {1, 0x100}}, 1));  // the same programs, swapped
    x.Es(0x111);
    x.Es(0x211);
    x.Section(0, tsb::PatSection(1, {{2, 0x200}}, 2));  // program 1 leaves
    x.Es(0x111);
    x.Es(0x211);
    x.Section(0, tsb::PatSection(1, {{2, 0x200}, {1, 0x100}}, 3));  // and returns, without a PMT yet
    x.Es(0x111);
    const std::string out = DumpPackets(x.packets, TS_PRINT_STREAM).out;
    EXPECT_EQ(Count(out, "PID:0x0111("), 2u) << out;
    EXPECT_EQ(Count(out, "PID:0x0211("), 3u) << out;
    EXPECT_EQ(g_tData.u16PMTSlotCount, 2);
    for (uint32_t slot = 0; slot < TS_MAX_PMT_SLOTS; ++slot) {
        if (g_tData.lu16PMTSlotPID[slot] == 0x200) { EXPECT_EQ(g_tData.ltPMT[slot].decoded, 1); }
        if (g_tData.lu16PMTSlotPID[slot] == 0x100) { EXPECT_EQ(g_tData.ltPMT[slot].decoded, 0); }  // dropped, not back yet
    }
}

TEST(Dump, M2TSUnitsGiveTheSameText) {
    Mini m;
    const uint32_t flags = TS_PRINT_ALL;
    testfiles::ScratchFile ts(tsb::Join(m.Packets()));
    testfiles::ScratchFile m2ts(tsb::JoinM2ts(m.Packets()));
    const Dump a = DumpFile(ts.path, flags);
    const Dump b = DumpFile(m2ts.path, flags);
    EXPECT_EQ(b.result, 0);
    EXPECT_FALSE(a.out.empty());
    EXPECT_EQ(a.out, b.out);
}

TEST(Dump, ArgumentsAndUnopenableFiles) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(TS_Print(nullptr, TS_PRINT_ALL), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(TS_Print("/nonexistent/velkarin.ts", TS_PRINT_ALL), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Failed open /nonexistent/velkarin.ts.\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---------------------------------------------------------------------------------------------
// The shared broadcast recordings
// ---------------------------------------------------------------------------------------------

constexpr uint32_t kBroadcastFlags = TS_PRINT_PAT | TS_PRINT_PMT | TS_PRINT_CAT | TS_PRINT_PCR |
                                     TS_PRINT_PRIVATE | TS_PRINT_EMM | TS_PRINT_PID_LIST;

// Number of "[PCR]" lines, and how many of them follow a header line of PID 0x1FF.
std::pair<size_t, size_t> PCRLines(const std::string& out) {
    static const std::regex after_pcr_pid("PID:0x01FF\\(<assigned>\\) TSC:0 AFC:[0-3] CN:[0-9]+\n\\[PCR\\]");
    return {Count(out, "\n[PCR]"),
            static_cast<size_t>(std::distance(std::sregex_iterator(out.begin(), out.end(), after_pcr_pid), {}))};
}

// Blocks of a dump: the text between separators, without the packet header lines.
std::vector<std::string> Blocks(const std::string& out) {
    static const std::regex header("\\[TS Packet Header\\][^\n]*\n");
    std::vector<std::string> blocks;
    for (size_t at = 0, next; at < out.size(); at = next + std::strlen(kSep)) {
        next = std::min(out.find(kSep, at), out.size());
        std::string block = std::regex_replace(out.substr(at, next - at), header, "");
        if (!block.empty()) blocks.push_back(block);
    }
    return blocks;
}

TEST(DumpBroadcast, ShowsEveryTableOfTheRecording) {
    REQUIRE_SHARED_STREAM(path, "broadcast.ts");
    const Dump d = DumpFile(path.string(), kBroadcastFlags);
    ASSERT_EQ(d.result, 0);
    const std::string& out = d.out;

    // The PAT with its network entry first.
    EXPECT_NE(out.find("  Program:2\n  PN:0 R3:7 NETPID:0x0010\n  PN:1024 R3:7 PMTPID:0x01F0\n"),
              std::string::npos);

    // Three runs of PMTs: A, B (two packets, two more streams), A again.
    std::vector<std::string> runs;
    for (const std::string& b : Blocks(out)) {
        if (b.rfind("[PMT]", 0) != 0) continue;
        if (runs.empty() || runs.back() != b) runs.push_back(b);
    }
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], runs[2]);
    EXPECT_EQ(Count(runs[0], "  ST:"), 2u);
    const std::string& b = runs[1];
    EXPECT_EQ(Count(b, "  ST:"), 4u);
    EXPECT_NE(b.find("EPID:0x0113"), std::string::npos);
    EXPECT_NE(b.find("  ST:0x06(ISO/IEC 13818-1 PES packets) EPID:0x0114 ESIL:288 DSC:2\n"), std::string::npos);
    // Its long registration descriptor is there to the last byte, then the CRC line.
    EXPECT_NE(b.find("[D Registration] FI:"), std::string::npos);
    EXPECT_EQ(b.rfind("  CRC32:0x"), b.size() - std::strlen("  CRC32:0x01234567\n"));
    EXPECT_NE(b.find("[D Conditional access] L:6 CASID:5 R:7 CAPID:0x0130\n"), std::string::npos);

    // The CAT names the EMM PID.
    EXPECT_NE(out.find("[CAT] TI:0x01(CAT)"), std::string::npos);
    EXPECT_NE(out.find("  DSC:1\n[D Conditional access] L:4 CASID:5 R:7 CAPID:0x0140\n"), std::string::npos);

    // ECM sections on 0x130, EMM sections with card identifiers on 0x140, some of them
    // completed by a continuation packet.
    EXPECT_GT(Count(out, "PID:0x0130(<assigned>) TSC:0 AFC:1 CN:"), 0u);
    EXPECT_GT(Count(out, "[Private] TI:0x8"), 0u);
    EXPECT_EQ(Count(out, "[EMM] TI:0x8"), Count(out, "  CardID:"));
    EXPECT_GT(Count(out, "[EMM]"), 0u);
    EXPECT_NE(out.find("PUSI:0 TP:0 PID:0x0140(<assigned>) TSC:0 AFC:1 CN:"), std::string::npos);

    // The file read plainly as 188-byte packets: the PIDs in order of first appearance, and
    // the packets on 0x1FF whose adaptation field holds a PCR.
    const std::vector<uint8_t> bytes = testfiles::Read(path);
    ASSERT_EQ(bytes.size() % 188, 0u);
    std::vector<uint16_t> pids;
    std::set<uint16_t> seen;
    size_t pcr_packets = 0;
    for (size_t at = 0; at < bytes.size(); at += 188) {
        const uint8_t* q = &bytes[at];
        ASSERT_EQ(q[0], 0x47);
        const uint16_t pid = static_cast<uint16_t>(((q[1] & 0x1F) << 8) | q[2]);
        if (seen.insert(pid).second) pids.push_back(pid);
        if (pid == 0x1FF && (q[3] & 0x20) && q[4] >= 7 && (q[5] & 0x10)) ++pcr_packets;
    }
    std::string list = std::string(kSep) + "PID List:\n";
    for (uint16_t pid : pids) {
        char line[16];
        std::snprintf(line, sizeof line, "  0x%04X,\n", pid);
        list += line;
    }
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), list.size())), list);

    // PCRs from the PCR PID only, one per packet carrying one.
    EXPECT_GT(pcr_packets, 0u);
    EXPECT_EQ(PCRLines(out), std::make_pair(pcr_packets, pcr_packets));
}

TEST(DumpBroadcast, DamagedRecordingShowsOnlyWhatTheCleanOneHolds) {
    REQUIRE_SHARED_STREAM(clean_path, "broadcast.ts");
    REQUIRE_SHARED_STREAM(damaged_path, "broadcast-damaged.ts");
    const Dump clean = DumpFile(clean_path.string(), kBroadcastFlags & ~TS_PRINT_PID_LIST);
    const Dump damaged = DumpFile(damaged_path.string(), kBroadcastFlags & ~TS_PRINT_PID_LIST);
    ASSERT_EQ(damaged.result, 0);
    // Every table, section and PCR block of the damaged copy is one the clean recording
    // shows too: nothing corrupt gets through, and no PCR is read from bytes that are not one.
    std::set<std::string> known;
    for (const std::string& b : Blocks(clean.out)) known.insert(b);
    size_t pcrs = 0;
    for (const std::string& b : Blocks(damaged.out)) {
        EXPECT_TRUE(known.count(b)) << b;
        pcrs += b.rfind("[PCR]", 0) == 0;
    }
    EXPECT_GT(pcrs, 0u);
    EXPECT_GT(Count(damaged.out, "[PMT]"), 0u);
    EXPECT_GT(Count(damaged.out, "[EMM]"), 0u);
    // PCR lines come from the PCR PID only.
    const auto [lines, on_pcr_pid] = PCRLines(damaged.out);
    EXPECT_EQ(lines, pcrs);
    EXPECT_EQ(on_pcr_pid, pcrs);
}

TEST(DumpBroadcast, M2TSCopyGivesTheSameText) {
    REQUIRE_SHARED_STREAM(ts, "broadcast.ts");
    REQUIRE_SHARED_STREAM(m2ts, "broadcast.m2ts");
    EXPECT_EQ(DumpFile(m2ts.string(), kBroadcastFlags).out, DumpFile(ts.string(), kBroadcastFlags).out);
}

// ---------------------------------------------------------------------------------------------
// The velkarin-dump command
// ---------------------------------------------------------------------------------------------

testfiles::Result Command(const std::vector<std::string>& args, const std::string& stdout_path = {}) {
    return testfiles::RunCommand("velkarin-dump", args, {}, stdout_path);
}

TEST(DumpCommand, HelpAndUsageErrors) {
    auto help = Command({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: velkarin-dump [OPTIONS] FILE\n", 0), 0u);
    for (const char* option : {"--packets", "--pat", "--cat", "--pmt", "--private", "--emm", "--streams", "--pids", "--pcr", "--flags N"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(Command({"-h"}).out, help.out);

    testfiles::ScratchFile f(tsb::Join(Mini().Packets()));
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"--pat"},                                        // no FILE
        {"--bogus", f.path}, {"-x", f.path}, {f.path, f.path},  // unknown options, two FILEs
        {"--flags", f.path}, {"--flags"}, {"--flags=", f.path},  // a missing value
        {"--flags", "0xZZ", f.path}, {"--flags", "12abc", f.path}, {"--flags", "-1", f.path},
        {"--flags", "0x100000000", f.path}};  // beyond 32 bits
    for (const auto& args : wrong) {
        auto r = Command(args);
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + " " + (args.size() > 1 ? args[1] : ""));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\nTry 'velkarin-dump --help' for more information.\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("velkarin-dump: "), 0u) << r.err;
    }
}

TEST(DumpCommand, OptionsSelectTheFlags) {
    Mini m;
    testfiles::ScratchFile f(tsb::Join(m.Packets()));
    // No option: PAT, CAT, PMT and the PID list.
    auto plain = Command({f.path});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out, kSep + m.PATBlock() + kSep + m.CATBlock() + kSep + m.PMTBlock() + m.PIDList());
    for (const std::vector<std::string>& same : std::vector<std::vector<std::string>>{
             {"--pat", "--cat", "--pmt", "--pids"}, {"--flags", "0x8E"}, {"--flags=142"}, {"--pmt", "--flags", "6", "--pids"}}) {
        auto args = same;
        args.push_back(f.path);
        EXPECT_EQ(Command(args).out, plain.out) << same[0];
    }
    // Each option is its own flag.
    const std::map<std::string, uint32_t> options = {
        {"--packets", TS_PRINT_PACKET}, {"--pat", TS_PRINT_PAT},         {"--cat", TS_PRINT_CAT},
        {"--pmt", TS_PRINT_PMT},        {"--private", TS_PRINT_PRIVATE}, {"--emm", TS_PRINT_EMM},
        {"--streams", TS_PRINT_STREAM}, {"--pids", TS_PRINT_PID_LIST},   {"--pcr", TS_PRINT_PCR}};
    for (const auto& [option, flag] : options) {
        auto r = Command({option, f.path});
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out, DumpFile(f.path, flag).out) << option;
    }
    // --flags 0 prints nothing; "--" ends the options.
    EXPECT_EQ(Command({"--flags", "0", f.path}).out, "");
    EXPECT_EQ(Command({"--pcr", "--", f.path}).out, kSep + m.PCRBlock());
}

TEST(DumpCommand, FailuresToOpenAndToWrite) {
    auto missing = Command({"--pat", "/nonexistent/file.ts"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Error: Failed open /nonexistent/file.ts.\nvelkarin-dump: /nonexistent/file.ts: No such file or directory\n");
    testfiles::ScratchFile f(tsb::Join(Mini().Packets()));
    auto full = Command({"--packets", f.path}, "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("velkarin-dump: cannot write standard output: No space left on device\n"), std::string::npos)
        << full.err;
    // Nothing to write: /dev/full is no error then.
    auto quiet = Command({"--flags", "0", f.path}, "/dev/full");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST(DumpCommand, ClosedPipeEndsTheDumpQuietly) {
    // Enough packets for far more text than a pipe holds.
    std::vector<Packet> p;
    for (int i = 0; i < 20000; ++i) p.push_back(tsb::MakePacket({.pid = 0x1FFF, .cc = uint8_t(i)}, {}));
    testfiles::ScratchFile f(tsb::Join(p));
    testfiles::ScratchDir dir;
    const std::string err = (dir / "err").string();

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_IGN);  // the command must not depend on what it inherits
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        FILE* e = std::freopen(err.c_str(), "w", stderr);
        (void)e;
        ::execl(VELKARIN_BIN_DIR "/velkarin-dump", "velkarin-dump", "--packets", f.path.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    char buf[100];
    ASSERT_GT(::read(out[0], buf, sizeof buf), 0);
    ::close(out[0]);  // the reader goes away
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    EXPECT_EQ(testfiles::ReadText(err), "");
}

}  // namespace
