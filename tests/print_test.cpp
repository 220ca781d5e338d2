// Packet, descriptor and table printers: the exact text each one writes for records filled
// by hand, including counts that exceed what the records' arrays hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

// A printer's text, checking its status as well.
template <class T>
std::string Printed(int32_t (*printer)(const T*), const T* record, int32_t status = 0) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(printer(record), status);
    return testing::internal::GetCapturedStdout();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TS_Descriptor Desc(uint8_t tag, uint8_t length) {
    TS_Descriptor d{};
    d.descriptor_tag = tag;
    d.descriptor_length = length;
    return d;
}

using DescriptorPrinter = int32_t (*)(const TS_Descriptor*);
// The printers of tags 2 to 18, in tag order.
const DescriptorPrinter kTagPrinters[] = {
    TS_Descriptor_PrintVideoStream,      TS_Descriptor_PrintAudioStream,          TS_Descriptor_PrintHierarchy,
    TS_Descriptor_PrintRegistration,     TS_Descriptor_PrintDataStreamAlignment,  TS_Descriptor_PrintTargetBackgroundGrid,
    TS_Descriptor_PrintVideoWindow,      TS_Descriptor_PrintConditionalAccess,    TS_Descriptor_PrintISO639Language,
    TS_Descriptor_PrintSystemClock,      TS_Descriptor_PrintMultiplexBufferUtilization, TS_Descriptor_PrintCopyright,
    TS_Descriptor_PrintMaximumBitrate,   TS_Descriptor_PrintPrivateDataIndicator, TS_Descriptor_PrintSmoothingBuffer,
    TS_Descriptor_PrintSTD,              TS_Descriptor_PrintIBP};

TEST(PacketPrinters, HeaderFieldsInOrderWithThePIDLabel) {
    TS_Packet p{};
    p.transport_error_indicator = p.transport_priority = 1;
    p.PID = 0x1FFF;
    p.transport_scrambling_control = 2;
    p.adaptation_field_control = 1;
    p.continuity_counter = 13;
    EXPECT_EQ(Printed(TS_Packet_Print, &p), "[TS Packet] TEI:1 PUSI:0 TP:1 PID:0x1FFF(Null packet) TSC:2 AFC:1 CN:13\n");
    EXPECT_EQ(Printed<TS_Header>(TS_Packet_PrintHeader, &p),
              "[TS Packet Header] TEI:1 PUSI:0 TP:1 PID:0x1FFF(Null packet) TSC:2 AFC:1 CN:13\n");
    p = TS_Packet{};
    p.payload_unit_start_indicator = 1;
    EXPECT_EQ(Printed(TS_Packet_Print, &p),
              "[TS Packet] TEI:0 PUSI:1 TP:0 PID:0x0000(Program Association Table) TSC:0 AFC:0 CN:0\n");
    p.PID = 0x00AB;
    EXPECT_EQ(Printed<TS_Header>(TS_Packet_PrintHeader, &p),
              "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x00AB(<assigned>) TSC:0 AFC:0 CN:0\n");
    // The adaptation field is never shown.
    p.adaptation_field_control = 3;
    p.adaptation_field.adaptation_field_length = 7;
    p.adaptation_field.PCR_flag = 1;
    p.adaptation_field.program_clock_reference_base = 12345;
    EXPECT_EQ(Printed(TS_Packet_Print, &p), "[TS Packet] TEI:0 PUSI:1 TP:0 PID:0x00AB(<assigned>) TSC:0 AFC:3 CN:0\n");
    testing::internal::CaptureStdout();
    TS_Packet_PrintAdaptationField(&p.adaptation_field);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// The line against printf's own conversion of its format, for every field at values a
// hand-filled header may hold (one, two and three digits) and PIDs that share a slot of the
// printer's per-PID cache, each printed twice.
TEST(PacketPrinters, TheLineIsPrintfsForAnyFieldValueAndPID) {
    const uint16_t pids[] = {0x0000, 0x0040, 0x0001, 0x1FFF, 0x003F, 0x0010, 0x000F, 0xFFFF, 0x2000};
    const uint8_t values[] = {0, 9, 10, 99, 100, 255};
    char label[64];
    char want[256];
    for (uint16_t pid : pids)
        for (int round = 0; round < 2; ++round)
            for (uint8_t v : values) {
                TS_Header h{};
                h.transport_error_indicator = v;
                h.payload_unit_start_indicator = static_cast<uint8_t>(255 - v);
                h.transport_priority = static_cast<uint8_t>(v / 2);
                h.PID = pid;
                h.transport_scrambling_control = static_cast<uint8_t>(v + 1);
                h.adaptation_field_control = static_cast<uint8_t>(v ^ 0x5A);
                h.continuity_counter = v;
                TS_Header_PIDToString(label, pid);
                std::snprintf(want, sizeof want,
                              "[TS Packet Header] TEI:%d PUSI:%d TP:%d PID:0x%04X(%s) TSC:%d AFC:%d CN:%d\n",
                              h.transport_error_indicator, h.payload_unit_start_indicator, h.transport_priority, h.PID,
                              label, h.transport_scrambling_control, h.adaptation_field_control, h.continuity_counter);
                EXPECT_EQ(Printed(TS_Packet_PrintHeader, &h), want);
            }
}

TEST(PacketPrinters, RawPacketBreaksLinesAtOffsetsFifteenModSixteen) {
    uint8_t bytes[188];
    for (int i = 0; i < 188; ++i) bytes[i] = static_cast<uint8_t>(i);
    bytes[0] = 0x47;
    std::string expected = "[TS Packet]\n  Header: 0x47, 0x01, 0x02, 0x03, 0x04, \n  Section:\n  ";
    for (int i = 5; i < 188; ++i) {
        char b[8];
        std::snprintf(b, sizeof b, "0x%02X, ", i);
        expected += b;
        if (i % 16 == 15 || i == 187) expected += i == 187 ? "\n" : "\n  ";
    }
    ASSERT_NE(expected.find("0x0F, \n  0x10, "), std::string::npos);  // the first break
    EXPECT_EQ(Printed<uint8_t>(TS_Packet_Print_RAW, bytes), expected);
}

TEST(PrintersRefuse, NullRecordsAndForeignTags) {
    EXPECT_EQ(Printed<TS_Packet>(TS_Packet_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Header>(TS_Packet_PrintHeader, nullptr, -1), "");
    EXPECT_EQ(Printed<uint8_t>(TS_Packet_Print_RAW, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Descriptor>(TS_Descriptor_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Descriptor>(TS_Descriptor_PrintRAW, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_PAT>(TS_PAT_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_CAT>(TS_CAT_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_PMT>(TS_PMT_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_PCR>(TS_PCR_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Section>(TS_Section_PrintPrivate, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Section>(TS_Section_PrintEMM, nullptr, -1), "");
    for (uint8_t own = 2; own <= 18; ++own) {
        SCOPED_TRACE(int(own));
        const DescriptorPrinter printer = kTagPrinters[own - 2];
        // The tag just above (or, for the last, just below) is not its own.
        TS_Descriptor other = Desc(own == 18 ? 17 : static_cast<uint8_t>(own + 1), 4), mine = Desc(own, 4);
        EXPECT_EQ(Printed(printer, &other, -2), "");
        EXPECT_EQ(Printed<TS_Descriptor>(printer, nullptr, -1), "");
        EXPECT_NE(Printed(printer, &mine, 0), "");
    }
}

// Each row prints the same through TS_Descriptor_Print and through the printer of its tag
// (TS_Descriptor_PrintRAW for tags without one of their own).
TEST(DescriptorPrinters, EveryLayoutWithItsEdges) {
    const struct { TS_Descriptor d; const char* text; } rows[] = {
        // Raw, with and without a label; a byte beyond descriptor_length is not printed.
        {{.descriptor_tag = 0x52, .descriptor_length = 3, .raw = {{0x01, 0xAB, 0xFF, 0x77}}},
         "[D Stream Identifier] T:0x52 L:3\n  0x01, 0xAB, 0xFF, \n"},
        {Desc(0x01, 0), "[D ?] T:0x01 L:0\n  \n"},
        // Registration and copyright: 32-bit identifiers print signed; trailing bytes follow the
        // four fixed ones, none when the descriptor is shorter than those.
        {{.descriptor_tag = 5, .descriptor_length = 4, .registration = {0x48444D56, {}}},
         "[D Registration] FI:1212435798\n  \n"},
        {{.descriptor_tag = 5, .descriptor_length = 6, .registration = {0x80000001u, {0x12, 0x34}}},
         "[D Registration] FI:-2147483647\n  0x12, 0x34, \n"},
        {{.descriptor_tag = 5, .descriptor_length = 2, .registration = {0x80000001u, {0x12, 0x34}}},
         "[D Registration] FI:-2147483647\n  \n"},
        {{.descriptor_tag = 13, .descriptor_length = 5, .copyright = {0xFFFFFFFFu, {0x0C}}}, "[D Copyright] CI:-1\n  0x0C, \n"},
        {{.descriptor_tag = 9, .descriptor_length = 4, .conditional_access = {0x105, 7, 0x101, {}}},
         "[D Conditional access] L:4 CASID:105 R:7 CAPID:0x0101\n  \n"},
        {{.descriptor_tag = 9, .descriptor_length = 7, .conditional_access = {0xABCD, 0, 0x1FFE, {1, 2, 3}}},
         "[D Conditional access] L:7 CASID:ABCD R:0 CAPID:0x1FFE\n  0x01, 0x02, 0x03, \n"},
        // ISO 639: whole four-byte entries only ("jpn", "eng").
        {{.descriptor_tag = 10, .descriptor_length = 8, .ISO_639_language = {{{0x6A706E, 0}, {0x656E67, 3}}}},
         "[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n  <1> ILC:6647399 AT:3\n"},
        {{.descriptor_tag = 10, .descriptor_length = 7, .ISO_639_language = {{{0x6A706E, 0}, {0x656E67, 3}}}},
         "[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n"},
        {{.descriptor_tag = 10, .descriptor_length = 0, .ISO_639_language = {{{0x6A706E, 0}}}}, "[D ISO 639 language]\n"},
        // Video stream: the second line only when MPEG_1_only_flag is 0.
        {{.descriptor_tag = 2, .descriptor_length = 3, .video_stream = {1, 4, 0, 0, 1, 0x48, 1, 1, 31}},
         "[D Video stream] MFRF:1 FRC:4 CPF:0 SPF:1\n  PALI:72 CF:1 FREF:1 R:31\n"},
        {{.descriptor_tag = 2, .descriptor_length = 3, .video_stream = {1, 4, 1, 0, 1, 0x48, 1, 1, 31}},
         "[D Video stream] MFRF:1 FRC:4 CPF:0 SPF:1\n"},
        // The fixed layouts, their fields in order.
        {{.descriptor_tag = 3, .descriptor_length = 1, .audio_stream = {1, 0, 2, 1, 5}}, "[D Audio Stream] FFF:1 I:0 L:2 VRAI:1 R:5\n"},
        {{.descriptor_tag = 4, .descriptor_length = 4, .hierarchy = {15, 3, 2, 63, 1, 7, 3, 42}},
         "[D Hierarchy] R1:15 HT:3 R2:2 HLI:63 R3:1 HELI:7 R4:3 HC:42\n"},
        {{.descriptor_tag = 6, .descriptor_length = 1, .data_stream_alignment = {2}}, "[D Data stream alignment] AT:2\n"},
        {{.descriptor_tag = 7, .descriptor_length = 4, .target_background_grid = {1920, 1080, 3}},
         "[D Target background grid] HS:1920 VS:1080 ARI:3\n"},
        {{.descriptor_tag = 8, .descriptor_length = 4, .video_window = {16383, 2, 15}}, "[D Video window] HO:16383 VO:2 WP:15\n"},
        {{.descriptor_tag = 11, .descriptor_length = 2, .system_clock = {1, 0, 63, 7, 31}},
         "[D System clock] ECRI:1 R1:0 CAI:63 CAE:7 R2:31\n"},
        {{.descriptor_tag = 12, .descriptor_length = 4, .multiplex_buffer_utilization = {1, 32767, 1, 5}},
         "[D Multiplex buffer utilization] BVF:1 LOLB:32767 R:1 LOUB:5\n"},
        {{.descriptor_tag = 14, .descriptor_length = 3, .maximum_bitrate = {3, 0x3FFFFF}}, "[D Maximum bitrate] R:3 MB:4194303\n"},
        {{.descriptor_tag = 15, .descriptor_length = 4, .private_data_indicator = {0xFFFFFFFEu}}, "[D Private data indicator] PD:-2\n"},
        {{.descriptor_tag = 16, .descriptor_length = 6, .smoothing_buffer = {3, 1, 1, 65538}},
         "[D Smoothing buffer] R1:3 SLR:1 R2:1 SS:65538\n"},
        {{.descriptor_tag = 17, .descriptor_length = 1, .STD = {0xFE, 1}}, "[D STD] R:254 LVF:1\n"},
        {{.descriptor_tag = 18, .descriptor_length = 2, .IBP = {1, 0, 16383}}, "[D IBP] CGF:1 IGF:0 MGL:16383\n"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        const uint8_t tag = r.d.descriptor_tag;
        EXPECT_EQ(Printed(TS_Descriptor_Print, &r.d), r.text);
        EXPECT_EQ(Printed(tag >= 2 && tag <= 18 ? kTagPrinters[tag - 2] : TS_Descriptor_PrintRAW, &r.d), r.text);
    }
}

TEST(DescriptorPrinters, ByteListBreaksAfterEverySixteenthByte) {
    TS_Descriptor d = Desc(0xFE, 255);
    for (int i = 0; i < 255; ++i) d.raw.data[i] = static_cast<uint8_t>(0xA0 + i);
    const std::string sixteen = "  0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, \n";
    const std::string head = "[D System Management] T:0xFE L:";
    d.descriptor_length = 17;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), head + "17\n" + sixteen + "  0xB0, \n");
    d.descriptor_length = 16;  // exactly sixteen: the last line holds only the indent
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), head + "16\n" + sixteen + "  \n");
    // The longest: 255 bytes, 15 full lines and one of 15 bytes.
    d.descriptor_length = 255;
    const std::string out = Printed(TS_Descriptor_Print, &d);
    EXPECT_EQ(out.rfind(head + "255\n" + sixteen, 0), 0u);
    EXPECT_EQ(Count(out, ","), 255u);
    EXPECT_EQ(Count(out, "\n"), 17u);
    EXPECT_NE(out.find("0x9E, \n"), std::string::npos);  // byte 254 (0xA0 + 254 wraps to 0x9E) ends the list
}

// Tables with empty loops. Filled ones are printed by the decoder and dump tests.
TEST(TablePrinters, EmptyLoops) {
    TS_PAT pat{};
    pat.section_syntax_indicator = 1;
    pat.reserved_1 = pat.reserved_2 = 3;
    pat.section_length = 17;
    pat.transport_stream_id = 32737;
    pat.version_number = 5;
    pat.current_next_indicator = 1;
    pat.CRC_32 = 0x0000000A;
    EXPECT_EQ(Printed(TS_PAT_Print, &pat),
              "[PAT] TI:0x00(PAT) SSI:1 R1:3 SL:17 TSI:32737 R2:3 VN:5 CNI:1 SN:0 LSN:0\n  Program:0\n  CRC32:0x0000000A\n");
    TS_CAT cat{};
    cat.table_id = 1;
    cat.section_syntax_indicator = 1;
    cat.reserved_1 = cat.reserved_2 = 3;
    cat.section_length = 9;
    cat.transport_stream_id = 0xFFFF;
    cat.version_number = 2;
    cat.current_next_indicator = 1;
    cat.CRC_32 = 0xDEADBEEF;
    EXPECT_EQ(Printed(TS_CAT_Print, &cat),
              "[CAT] TI:0x01(CAT) SSI:1 R1:3 SL:9 TSI:65535 R2:3 VN:2 CNI:1 SN:0 LSN:0\n  DSC:0\n\n  CRC32:0xDEADBEEF\n");
}

// Every count a printer walks stops at the capacity of its array, whatever the record says.
TEST(TablePrinters, CountsStopAtTheArrayCapacities) {
    TS_PAT pat{};
    pat.program_count = 300;
    for (uint16_t i = 0; i < TS_MAX_PROGRAMS; ++i) pat.programs[i] = {uint16_t(i + 1), 7, uint16_t(0x100 + i)};
    std::string out = Printed(TS_PAT_Print, &pat);
    EXPECT_NE(out.find("  Program:300\n"), std::string::npos);
    EXPECT_EQ(Count(out, "PMTPID"), TS_MAX_PROGRAMS);
    EXPECT_NE(out.find("  PN:256 R3:7 PMTPID:0x01FF\n  CRC32:0x00000000\n"), std::string::npos);

    TS_CAT cat{};
    cat.descriptor_count = 300;
    for (auto& d : cat.descriptors) d = Desc(0x42, 0);
    EXPECT_EQ(Count(Printed(TS_CAT_Print, &cat), "[D Stuffing]"), TS_MAX_DESCRIPTORS);

    auto pmt = std::make_unique<TS_PMT>();
    pmt->descriptor_count = 33;
    pmt->stream_count = TS_MAX_STREAMS + 1;
    for (auto& d : pmt->descriptors) d = Desc(0x42, 0);
    for (auto& s : pmt->streams) {
        s.stream_type = 0x02;
        s.descriptor_count = 0xFFFF;
        for (auto& d : s.descriptors) d = Desc(0x42, 0);
    }
    out = Printed(TS_PMT_Print, pmt.get());
    EXPECT_EQ(Count(out, "  ST:0x02"), TS_MAX_STREAMS);
    EXPECT_EQ(Count(out, "[D Stuffing]"), TS_MAX_DESCRIPTORS + TS_MAX_STREAMS * TS_MAX_DESCRIPTORS);

    // A short-form section may announce 4095 bytes; a section that fits the assembly holds at
    // most 2925 after its header, and the printer shows what the decoder keeps.
    auto s = std::make_unique<TS_Section>();
    s->private_section_length = 4095;
    std::memset(s->private_data_byte, 0x5A, sizeof s->private_data_byte);
    EXPECT_EQ(Count(Printed(TS_Section_PrintPrivate, s.get()), ","), TS_SECTION_CAPACITY - 3);
    EXPECT_EQ(TS_Section_DataLength(s.get()), TS_SECTION_CAPACITY - 3);
}

TEST(TablePrinters, PCRAsTicksAndClockTime) {
    const struct { uint64_t base; uint8_t table_id, reserved; uint32_t extension; const char* text; } rows[] = {
        {0, 0x10, 63, 300, "[PCR] TI:0x10(?) PB:0(00:00:00.000) R:63 PE:300\n"},
        {89, 0x50, 0, 0, "[PCR] TI:0x50(EIT Self Scedule) PB:89(00:00:00.000) R:0 PE:0\n"},
        {90, 0x10, 63, 300, "[PCR] TI:0x10(?) PB:90(00:00:00.001) R:63 PE:300\n"},
        {2268000000ull, 0x10, 63, 300, "[PCR] TI:0x10(?) PB:2268000000(07:00:00.000) R:63 PE:300\n"},
        {8589934591ull, 0x10, 1, 511, "[PCR] TI:0x10(?) PB:8589934591(26:30:43.717) R:1 PE:511\n"},
        // One hour, one minute, one second and one millisecond, less one tick.
        {324000000ull + 5400000 + 90000 + 90 + 89, 0x10, 63, 300, "[PCR] TI:0x10(?) PB:329490179(01:01:01.001) R:63 PE:300\n"}};
    for (const auto& r : rows) {
        TS_PCR pcr{.table_id = r.table_id, .program_clock_reference_base = r.base, .reserved = r.reserved,
                   .program_clock_reference_extension = r.extension};
        EXPECT_EQ(Printed(TS_PCR_Print, &pcr), r.text);
    }
}

std::unique_ptr<TS_Section> LongFormSection(uint8_t table_id, uint16_t private_section_length) {
    auto s = std::make_unique<TS_Section>();
    s->table_id = table_id;
    s->section_syntax_indicator = 1;
    s->reserved_1 = s->reserved_2 = 3;
    s->private_section_length = private_section_length;
    s->table_id_extension = 258;
    s->version_number = 9;
    s->current_next_indicator = 1;
    s->section_number = 1;
    s->last_section_number = 2;
    s->CRC_32 = 0x12345678;
    return s;
}

TEST(TablePrinters, PrivateSectionsLongAndShortForm) {
    const std::string head = "[Private] TI:0x82(ECM ECM-S) SSI:1 PI:0 R1:3 PSL:";
    const std::string tail = " TE:258 R2:3 VN:9 CNI:1 SN:1 LSN:2\n";
    auto s = LongFormSection(0x82, 15);  // six data bytes
    for (int i = 0; i < 8; ++i) s->private_data_byte[i] = static_cast<uint8_t>(0xE0 + i);
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, s.get()),
              head + "15" + tail + "  0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, \n  CRC32:0x12345678\n");
    s->private_section_length = 5;  // too short for its own header: no data bytes
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, s.get()), head + "5" + tail + "  \n  CRC32:0x12345678\n");

    auto t = std::make_unique<TS_Section>();
    t->table_id = 0x80;
    t->private_indicator = 1;
    t->reserved_1 = 3;
    t->private_section_length = 3;
    t->private_data_byte[0] = 0x01;
    t->private_data_byte[1] = 0x02;
    t->private_data_byte[2] = 0x03;
    t->CRC_32 = 0xFFFFFFFF;  // a short-form section has no CRC line
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, t.get()), "[Private] TI:0x80(?) SSI:0 PI:1 R1:3 PSL:3\n  0x01, 0x02, 0x03, \n");
}

TEST(TablePrinters, EMMWithCardIdentifier) {
    auto s = LongFormSection(0x84, 15);  // six data bytes: the card identifier alone
    const uint8_t card[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(s->private_data_byte, card, 6);
    const std::string head = "[EMM] TI:0x84(EMM EMM-S) SSI:1 PI:0 R1:3 PSL:";
    const std::string id = " TE:258 R2:3 VN:9 CNI:1 SN:1 LSN:2\n  CardID:1099511627778(0x10000000002)\n";
    EXPECT_EQ(Printed(TS_Section_PrintEMM, s.get()), head + "15" + id + "  \n  CRC32:0x12345678\n");
    // Twenty-three data bytes: the identifier, then 17 bytes with a break after the 16th.
    s->private_section_length = 9 + 23;
    for (int i = 6; i < 23; ++i) s->private_data_byte[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(Printed(TS_Section_PrintEMM, s.get()),
              head + "32" + id +
                  "  0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, \n"
                  "  0x16, \n  CRC32:0x12345678\n");
    // Short form with fewer than six bytes: the identifier still reads the first six.
    auto t = std::make_unique<TS_Section>();
    t->table_id = 0x85;
    t->private_section_length = 2;
    std::memcpy(t->private_data_byte, "\x00\x00\x00\x00\x01\x00", 6);
    EXPECT_EQ(Printed(TS_Section_PrintEMM, t.get()), "[EMM] TI:0x85(EMM EMM-S) SSI:0 PI:0 R1:0 PSL:2\n  CardID:256(0x100)\n  \n");
}

}  // namespace
