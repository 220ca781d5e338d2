// Packet, descriptor and table printers: the exact text each one writes for records filled
// by hand, including counts that exceed what the records' arrays hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "ts.h"

namespace {

template <class F>
std::string Capture(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// A printer's text, checking its status as well.
template <class T>
std::string Printed(int32_t (*printer)(const T*), const T* record, int32_t status = 0) {
    int32_t r = 99;
    std::string out = Capture([&] { r = printer(record); });
    EXPECT_EQ(r, status);
    return out;
}

TS_Descriptor Desc(uint8_t tag, uint8_t length) {
    TS_Descriptor d{};
    d.descriptor_tag = tag;
    d.descriptor_length = length;
    return d;
}

// ---------------------------------------------------------------------------------------------
// Packets
// ---------------------------------------------------------------------------------------------

TEST(PacketPrinters, HeaderFieldsInOrderWithThePIDLabel) {
    TS_Packet p{};
    p.sync_byte = 0x47;
    p.transport_error_indicator = 1;
    p.payload_unit_start_indicator = 0;
    p.transport_priority = 1;
    p.PID = 0x1FFF;
    p.transport_scrambling_control = 2;
    p.adaptation_field_control = 1;
    p.continuity_counter = 13;
    EXPECT_EQ(Printed(TS_Packet_Print, &p),
              "[TS Packet] TEI:1 PUSI:0 TP:1 PID:0x1FFF(Null packet) TSC:2 AFC:1 CN:13\n");
    EXPECT_EQ(Printed(TS_Packet_PrintHeader, static_cast<const TS_Header*>(&p)),
              "[TS Packet Header] TEI:1 PUSI:0 TP:1 PID:0x1FFF(Null packet) TSC:2 AFC:1 CN:13\n");

    p = TS_Packet{};
    p.PID = 0;
    p.payload_unit_start_indicator = 1;
    p.continuity_counter = 0;
    EXPECT_EQ(Printed(TS_Packet_Print, &p),
              "[TS Packet] TEI:0 PUSI:1 TP:0 PID:0x0000(Program Association Table) TSC:0 AFC:0 "
              "CN:0\n");
    p.PID = 0x00AB;
    EXPECT_EQ(Printed(TS_Packet_PrintHeader, static_cast<const TS_Header*>(&p)),
              "[TS Packet Header] TEI:0 PUSI:1 TP:0 PID:0x00AB(<assigned>) TSC:0 AFC:0 CN:0\n");
}

TEST(PacketPrinters, AdaptationFieldIsNeverShown) {
    TS_Packet p{};
    p.PID = 0x0100;
    p.adaptation_field_control = 3;
    p.continuity_counter = 7;
    p.adaptation_field.adaptation_field_length = 7;
    p.adaptation_field.PCR_flag = 1;
    p.adaptation_field.program_clock_reference_base = 12345;
    EXPECT_EQ(Printed(TS_Packet_Print, &p),
              "[TS Packet] TEI:0 PUSI:0 TP:0 PID:0x0100(<assigned>) TSC:0 AFC:3 CN:7\n");
    EXPECT_EQ(Capture([&] { TS_Packet_PrintAdaptationField(&p.adaptation_field); }), "");
}

TEST(PacketPrinters, RawPacketBreaksLinesAtOffsetsFifteenModSixteen) {
    uint8_t bytes[188];
    bytes[0] = 0x47;
    for (int i = 1; i < 188; ++i) bytes[i] = static_cast<uint8_t>(i);
    const char* expected =
        "[TS Packet]\n"
        "  Header: 0x47, 0x01, 0x02, 0x03, 0x04, \n"
        "  Section:\n"
        "  0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, \n"
        "  0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, "
        "0x1E, 0x1F, \n"
        "  0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, "
        "0x2E, 0x2F, \n"
        "  0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, "
        "0x3E, 0x3F, \n"
        "  0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, "
        "0x4E, 0x4F, \n"
        "  0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, "
        "0x5E, 0x5F, \n"
        "  0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, "
        "0x6E, 0x6F, \n"
        "  0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, "
        "0x7E, 0x7F, \n"
        "  0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x8D, "
        "0x8E, 0x8F, \n"
        "  0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, "
        "0x9E, 0x9F, \n"
        "  0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, "
        "0xAE, 0xAF, \n"
        "  0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, \n";
    EXPECT_EQ(Printed(TS_Packet_Print_RAW, static_cast<const uint8_t*>(bytes)), expected);
}

TEST(PacketPrinters, NullRecordsPrintNothing) {
    EXPECT_EQ(Printed<TS_Packet>(TS_Packet_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Header>(TS_Packet_PrintHeader, nullptr, -1), "");
    EXPECT_EQ(Printed<uint8_t>(TS_Packet_Print_RAW, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Descriptor>(TS_Descriptor_Print, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Descriptor>(TS_Descriptor_PrintRAW, nullptr, -1), "");
    EXPECT_EQ(Printed<TS_Descriptor>(TS_Descriptor_PrintIBP, nullptr, -1), "");
}

// ---------------------------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------------------------

TEST(DescriptorPrinters, RawDescriptorWithAndWithoutLabel) {
    TS_Descriptor d = Desc(0x52, 3);
    d.raw.data[0] = 0x01;
    d.raw.data[1] = 0xAB;
    d.raw.data[2] = 0xFF;
    d.raw.data[3] = 0x77;  // beyond descriptor_length: not printed
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D Stream Identifier] T:0x52 L:3\n  0x01, 0xAB, 0xFF, \n");

    d = Desc(0x01, 0);
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D ?] T:0x01 L:0\n  \n");
}

TEST(DescriptorPrinters, ByteListBreaksAfterEverySixteenthByte) {
    TS_Descriptor d = Desc(0xC1, 17);
    for (int i = 0; i < 17; ++i) d.raw.data[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(Printed(TS_Descriptor_PrintRAW, &d),
              "[D Digital Copy Control] T:0xC1 L:17\n"
              "  0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, "
              "0xAD, 0xAE, 0xAF, \n"
              "  0xB0, \n");
    // Exactly sixteen bytes: the last line holds only the indent.
    d.descriptor_length = 16;
    EXPECT_EQ(Printed(TS_Descriptor_PrintRAW, &d),
              "[D Digital Copy Control] T:0xC1 L:16\n"
              "  0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, "
              "0xAD, 0xAE, 0xAF, \n"
              "  \n");
}

TEST(DescriptorPrinters, LongestRawDescriptorPrintsAllItsBytes) {
    TS_Descriptor d = Desc(0xFE, 255);
    for (int i = 0; i < 255; ++i) d.raw.data[i] = static_cast<uint8_t>(i);
    const std::string out = Printed(TS_Descriptor_Print, &d);
    EXPECT_EQ(out.rfind("[D System Management] T:0xFE L:255\n  0x00, 0x01, ", 0), 0u);
    // 255 bytes: 15 full lines and one of 15 bytes.
    EXPECT_NE(out.find("\n  0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, "
                       "0xFB, 0xFC, 0xFD, 0xFE, \n"),
              std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), ','), 255);
}

TEST(DescriptorPrinters, RegistrationAndCopyrightWithTrailingBytes) {
    TS_Descriptor d = Desc(5, 4);
    d.registration.format_identifier = 0x48444D56;  // "HDMV"
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Registration] FI:1212435798\n  \n");

    // A format_identifier of 2^31 or more prints as a negative number.
    d = Desc(5, 6);
    d.registration.format_identifier = 0x80000001u;
    d.registration.additional_identification_info[0] = 0x12;
    d.registration.additional_identification_info[1] = 0x34;
    EXPECT_EQ(Printed(TS_Descriptor_PrintRegistration, &d),
              "[D Registration] FI:-2147483647\n  0x12, 0x34, \n");

    // Shorter than its four fixed bytes: no trailing bytes at all.
    d.descriptor_length = 2;
    EXPECT_EQ(Printed(TS_Descriptor_PrintRegistration, &d), "[D Registration] FI:-2147483647\n  \n");

    TS_Descriptor c = Desc(13, 5);
    c.copyright.copyright_identifier = 0xFFFFFFFFu;
    c.copyright.additional_copyright_info[0] = 0x0C;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &c), "[D Copyright] CI:-1\n  0x0C, \n");
}

TEST(DescriptorPrinters, ConditionalAccess) {
    TS_Descriptor d = Desc(9, 4);
    d.conditional_access.CA_system_ID = 0x105;
    d.conditional_access.reserved = 7;
    d.conditional_access.CA_PID = 0x101;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D Conditional access] L:4 CASID:105 R:7 CAPID:0x0101\n  \n");

    d = Desc(9, 7);
    d.conditional_access.CA_system_ID = 0xABCD;
    d.conditional_access.reserved = 0;
    d.conditional_access.CA_PID = 0x1FFE;
    d.conditional_access.private_data_byte[0] = 1;
    d.conditional_access.private_data_byte[1] = 2;
    d.conditional_access.private_data_byte[2] = 3;
    EXPECT_EQ(Printed(TS_Descriptor_PrintConditionalAccess, &d),
              "[D Conditional access] L:7 CASID:ABCD R:0 CAPID:0x1FFE\n  0x01, 0x02, 0x03, \n");
}

TEST(DescriptorPrinters, ISO639LanguageEntries) {
    TS_Descriptor d = Desc(10, 8);
    d.ISO_639_language.languages[0] = {0x6A706E, 0};  // "jpn"
    d.ISO_639_language.languages[1] = {0x656E67, 3};  // "eng"
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n  <1> ILC:6647399 AT:3\n");
    d.descriptor_length = 7;  // one whole entry
    EXPECT_EQ(Printed(TS_Descriptor_PrintISO639Language, &d),
              "[D ISO 639 language]\n  <0> ILC:6975598 AT:0\n");
    d.descriptor_length = 0;
    EXPECT_EQ(Printed(TS_Descriptor_PrintISO639Language, &d), "[D ISO 639 language]\n");
}

TEST(DescriptorPrinters, VideoStreamSecondLineOnlyForMPEG2) {
    TS_Descriptor d = Desc(2, 3);
    auto& v = d.video_stream;
    v.multiple_frame_rate_flag = 1;
    v.frame_rate_code = 4;
    v.MPEG_1_only_flag = 0;
    v.constrained_parameter_flag = 0;
    v.still_picture_flag = 1;
    v.profile_and_level_indication = 0x48;
    v.chroma_format = 1;
    v.frame_rate_extension_flag = 1;
    v.reserved = 31;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D Video stream] MFRF:1 FRC:4 CPF:0 SPF:1\n  PALI:72 CF:1 FREF:1 R:31\n");
    v.MPEG_1_only_flag = 1;
    EXPECT_EQ(Printed(TS_Descriptor_PrintVideoStream, &d),
              "[D Video stream] MFRF:1 FRC:4 CPF:0 SPF:1\n");
}

TEST(DescriptorPrinters, FixedLayoutDescriptorsListTheirFieldsInOrder) {
    TS_Descriptor d = Desc(3, 1);
    d.audio_stream = {1, 0, 2, 1, 5};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Audio Stream] FFF:1 I:0 L:2 VRAI:1 R:5\n");

    d = Desc(4, 4);
    d.hierarchy = {15, 3, 2, 63, 1, 7, 3, 42};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D Hierarchy] R1:15 HT:3 R2:2 HLI:63 R3:1 HELI:7 R4:3 HC:42\n");

    d = Desc(6, 1);
    d.data_stream_alignment.alignment_type = 2;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Data stream alignment] AT:2\n");

    d = Desc(7, 4);
    d.target_background_grid = {1920, 1080, 3};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Target background grid] HS:1920 VS:1080 ARI:3\n");

    d = Desc(8, 4);
    d.video_window = {16383, 2, 15};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Video window] HO:16383 VO:2 WP:15\n");

    d = Desc(11, 2);
    d.system_clock = {1, 0, 63, 7, 31};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D System clock] ECRI:1 R1:0 CAI:63 CAE:7 R2:31\n");

    d = Desc(12, 4);
    d.multiplex_buffer_utilization = {1, 32767, 1, 5};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d),
              "[D Multiplex buffer utilization] BVF:1 LOLB:32767 R:1 LOUB:5\n");

    d = Desc(14, 3);
    d.maximum_bitrate = {3, 0x3FFFFF};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Maximum bitrate] R:3 MB:4194303\n");

    d = Desc(15, 4);
    d.private_data_indicator.private_data_indicator = 0xFFFFFFFEu;
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Private data indicator] PD:-2\n");

    d = Desc(16, 6);
    d.smoothing_buffer = {3, 1, 1, 65538};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D Smoothing buffer] R1:3 SLR:1 R2:1 SS:65538\n");

    d = Desc(17, 1);
    d.STD = {0xFE, 1};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D STD] R:254 LVF:1\n");

    d = Desc(18, 2);
    d.IBP = {1, 0, 16383};
    EXPECT_EQ(Printed(TS_Descriptor_Print, &d), "[D IBP] CGF:1 IGF:0 MGL:16383\n");
}

TEST(DescriptorPrinters, TagPrintersRefuseAnotherTag) {
    using Printer = int32_t (*)(const TS_Descriptor*);
    const Printer printers[] = {
        TS_Descriptor_PrintVideoStream,          TS_Descriptor_PrintAudioStream,
        TS_Descriptor_PrintHierarchy,            TS_Descriptor_PrintRegistration,
        TS_Descriptor_PrintDataStreamAlignment,  TS_Descriptor_PrintTargetBackgroundGrid,
        TS_Descriptor_PrintVideoWindow,          TS_Descriptor_PrintConditionalAccess,
        TS_Descriptor_PrintISO639Language,       TS_Descriptor_PrintSystemClock,
        TS_Descriptor_PrintMultiplexBufferUtilization, TS_Descriptor_PrintCopyright,
        TS_Descriptor_PrintMaximumBitrate,       TS_Descriptor_PrintPrivateDataIndicator,
        TS_Descriptor_PrintSmoothingBuffer,      TS_Descriptor_PrintSTD,
        TS_Descriptor_PrintIBP,
    };
    for (int i = 0; i < 17; ++i) {
        const uint8_t own = static_cast<uint8_t>(i + 2);
        // The tag just above (or, for the last, just below) is not its own.
        TS_Descriptor other = Desc(own == 18 ? 17 : static_cast<uint8_t>(own + 1), 4);
        EXPECT_EQ(Printed(printers[i], &other, -2), "") << "printer of tag " << int(own);
        EXPECT_EQ(Printed(printers[i], static_cast<const TS_Descriptor*>(nullptr), -1), "");
        TS_Descriptor mine = Desc(own, 4);
        EXPECT_NE(Printed(printers[i], &mine, 0), "") << "printer of tag " << int(own);
    }
}

// ---------------------------------------------------------------------------------------------
// Tables
// ---------------------------------------------------------------------------------------------

TEST(TablePrinters, PATWithNetworkAndProgramEntries) {
    TS_PAT pat{};
    pat.table_id = 0;
    pat.section_syntax_indicator = 1;
    pat.reserved_1 = 3;
    pat.section_length = 17;
    pat.transport_stream_id = 32737;
    pat.reserved_2 = 3;
    pat.version_number = 5;
    pat.current_next_indicator = 1;
    pat.section_number = 0;
    pat.last_section_number = 0;
    pat.program_count = 2;
    pat.programs[0] = {0, 7, 0x0010};
    pat.programs[1] = {1, 7, 0x0100};
    pat.CRC_32 = 0x5F0E7E34;
    EXPECT_EQ(Printed(TS_PAT_Print, &pat),
              "[PAT] TI:0x00(PAT) SSI:1 R1:3 SL:17 TSI:32737 R2:3 VN:5 CNI:1 SN:0 LSN:0\n"
              "  Program:2\n"
              "  PN:0 R3:7 NETPID:0x0010\n"
              "  PN:1 R3:7 PMTPID:0x0100\n"
              "  CRC32:0x5F0E7E34\n");

    pat.program_count = 0;
    pat.CRC_32 = 0x0000000A;
    EXPECT_EQ(Printed(TS_PAT_Print, &pat),
              "[PAT] TI:0x00(PAT) SSI:1 R1:3 SL:17 TSI:32737 R2:3 VN:5 CNI:1 SN:0 LSN:0\n"
              "  Program:0\n"
              "  CRC32:0x0000000A\n");
    EXPECT_EQ(Printed<TS_PAT>(TS_PAT_Print, nullptr, -1), "");
}

TEST(TablePrinters, PATEntriesStopAtTheArrayCapacity) {
    TS_PAT pat{};
    pat.program_count = 40;  // more than the record holds
    for (uint16_t i = 0; i < TS_MAX_PROGRAMS; ++i) pat.programs[i] = {uint16_t(i + 1), 7, uint16_t(0x100 + i)};
    const std::string out = Printed(TS_PAT_Print, &pat);
    EXPECT_NE(out.find("  Program:40\n"), std::string::npos);
    size_t lines = 0;
    for (size_t at = out.find("PMTPID"); at != std::string::npos; at = out.find("PMTPID", at + 1)) ++lines;
    EXPECT_EQ(lines, TS_MAX_PROGRAMS);
    EXPECT_NE(out.find("  PN:16 R3:7 PMTPID:0x010F\n  CRC32:0x00000000\n"), std::string::npos);
}

TEST(TablePrinters, CATWithAndWithoutDescriptors) {
    TS_CAT cat{};
    cat.table_id = 1;
    cat.section_syntax_indicator = 1;
    cat.reserved_1 = 3;
    cat.section_length = 9;
    cat.transport_stream_id = 0xFFFF;
    cat.reserved_2 = 3;
    cat.version_number = 2;
    cat.current_next_indicator = 1;
    cat.CRC_32 = 0xDEADBEEF;
    EXPECT_EQ(Printed(TS_CAT_Print, &cat),
              "[CAT] TI:0x01(CAT) SSI:1 R1:3 SL:9 TSI:65535 R2:3 VN:2 CNI:1 SN:0 LSN:0\n"
              "  DSC:0\n"
              "\n"
              "  CRC32:0xDEADBEEF\n");

    cat.section_length = 15;
    cat.descriptor_count = 1;
    cat.descriptors[0] = Desc(9, 4);
    cat.descriptors[0].conditional_access.CA_system_ID = 5;
    cat.descriptors[0].conditional_access.reserved = 7;
    cat.descriptors[0].conditional_access.CA_PID = 0x140;
    EXPECT_EQ(Printed(TS_CAT_Print, &cat),
              "[CAT] TI:0x01(CAT) SSI:1 R1:3 SL:15 TSI:65535 R2:3 VN:2 CNI:1 SN:0 LSN:0\n"
              "  DSC:1\n"
              "[D Conditional access] L:4 CASID:5 R:7 CAPID:0x0140\n"
              "  \n"
              "\n"
              "  CRC32:0xDEADBEEF\n");

    // A count beyond the 32 descriptors held prints the 32.
    cat.descriptor_count = 300;
    for (auto& d : cat.descriptors) d = Desc(0x42, 0);
    const std::string out = Printed(TS_CAT_Print, &cat);
    size_t blocks = 0;
    for (size_t at = out.find("[D Stuffing]"); at != std::string::npos; at = out.find("[D Stuffing]", at + 1))
        ++blocks;
    EXPECT_EQ(blocks, TS_MAX_DESCRIPTORS);
}

TEST(TablePrinters, PMTWithProgramAndStreamDescriptors) {
    auto pmt = std::make_unique<TS_PMT>();
    pmt->table_id = 2;
    pmt->section_syntax_indicator = 1;
    pmt->reserved_1 = 3;
    pmt->section_length = 50;
    pmt->program_number = 1024;
    pmt->reserved_2 = 3;
    pmt->version_number = 1;
    pmt->current_next_indicator = 1;
    pmt->PCR_PID = 0x1FF;
    pmt->program_info_length = 6;
    pmt->descriptor_count = 1;
    pmt->descriptors[0] = Desc(9, 4);
    pmt->descriptors[0].conditional_access = {5, 7, 0x130, {}};
    pmt->stream_count = 2;
    pmt->streams[0].stream_type = 0x1B;
    pmt->streams[0].elementary_PID = 0x111;
    pmt->streams[0].ES_info_length = 6;
    pmt->streams[0].descriptor_count = 2;
    pmt->streams[0].descriptors[0] = Desc(0x52, 1);
    pmt->streams[0].descriptors[0].raw.data[0] = 0x00;
    pmt->streams[0].descriptors[1] = Desc(0xC8, 1);
    pmt->streams[0].descriptors[1].raw.data[0] = 0x01;
    pmt->streams[1].stream_type = 0x81;
    pmt->streams[1].elementary_PID = 0x112;
    pmt->streams[1].ES_info_length = 0;
    pmt->CRC_32 = 0x01BAC2C4;
    pmt->decoded = 1;
    pmt->PID = 0x1F0;
    EXPECT_EQ(Printed(TS_PMT_Print, pmt.get()),
              "[PMT] TI:0x02(maybe PMT) SSI:1 R1:3 SLEN:50 TSI:1024 R2:3 VER:1 CNI:1 SN:0 LSN:0 "
              "PCRPID:0x01FF PIL:6\n"
              "  DSC:1\n"
              "[D Conditional access] L:4 CASID:5 R:7 CAPID:0x0130\n"
              "  \n"
              "  ST:0x1B(ISO/IEC 14496-10 AVC Video) EPID:0x0111 ESIL:6 DSC:2\n"
              "  DSC:2\n"
              "[D Stream Identifier] T:0x52 L:1\n"
              "  0x00, \n"
              "[D Video Decode Control] T:0xC8 L:1\n"
              "  0x01, \n"
              "  ST:0x81(<User define>) EPID:0x0112 ESIL:0 DSC:0\n"
              "  DSC:0\n"
              "  CRC32:0x01BAC2C4\n");
    EXPECT_EQ(Printed<TS_PMT>(TS_PMT_Print, nullptr, -1), "");
}

TEST(TablePrinters, PMTCountsStopAtTheArrayCapacities) {
    auto pmt = std::make_unique<TS_PMT>();
    pmt->descriptor_count = 33;
    pmt->stream_count = 17;
    for (auto& d : pmt->descriptors) d = Desc(0x42, 0);
    for (auto& s : pmt->streams) {
        s.stream_type = 0x02;
        s.descriptor_count = 0xFFFF;
        for (auto& d : s.descriptors) d = Desc(0x42, 0);
    }
    const std::string out = Printed(TS_PMT_Print, pmt.get());
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = out.find(what); at != std::string::npos; at = out.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("  ST:0x02"), TS_MAX_STREAMS);
    EXPECT_EQ(count("[D Stuffing]"), TS_MAX_DESCRIPTORS + TS_MAX_STREAMS * TS_MAX_DESCRIPTORS);
}

std::string PrintedPCR(uint64_t base, uint8_t table_id = 0x10, uint8_t reserved = 63,
                       uint32_t extension = 300) {
    TS_PCR pcr{};
    pcr.table_id = table_id;
    pcr.program_clock_reference_base = base;
    pcr.reserved = reserved;
    pcr.program_clock_reference_extension = extension;
    return Printed(TS_PCR_Print, &pcr);
}

TEST(TablePrinters, PCRAsTicksAndClockTime) {
    EXPECT_EQ(PrintedPCR(0), "[PCR] TI:0x10(?) PB:0(00:00:00.000) R:63 PE:300\n");
    EXPECT_EQ(PrintedPCR(89, 0x50, 0, 0), "[PCR] TI:0x50(EIT Self Scedule) PB:89(00:00:00.000) R:0 PE:0\n");
    EXPECT_EQ(PrintedPCR(90), "[PCR] TI:0x10(?) PB:90(00:00:00.001) R:63 PE:300\n");
    EXPECT_EQ(PrintedPCR(2268000000ull), "[PCR] TI:0x10(?) PB:2268000000(07:00:00.000) R:63 PE:300\n");
    EXPECT_EQ(PrintedPCR(8589934591ull, 0x10, 1, 511),
              "[PCR] TI:0x10(?) PB:8589934591(26:30:43.717) R:1 PE:511\n");
    // One hour, one minute, one second and one millisecond, less one tick.
    EXPECT_EQ(PrintedPCR(324000000ull + 5400000 + 90000 + 90 + 89),
              "[PCR] TI:0x10(?) PB:329490179(01:01:01.001) R:63 PE:300\n");
    EXPECT_EQ(Printed<TS_PCR>(TS_PCR_Print, nullptr, -1), "");
}

std::unique_ptr<TS_Section> LongFormSection(uint16_t private_section_length) {
    auto s = std::make_unique<TS_Section>();
    s->table_id = 0x82;
    s->section_syntax_indicator = 1;
    s->private_indicator = 0;
    s->reserved_1 = 3;
    s->private_section_length = private_section_length;
    s->table_id_extension = 258;
    s->reserved_2 = 3;
    s->version_number = 9;
    s->current_next_indicator = 1;
    s->section_number = 1;
    s->last_section_number = 2;
    s->CRC_32 = 0x12345678;
    return s;
}

TEST(TablePrinters, PrivateSectionsLongAndShortForm) {
    auto s = LongFormSection(15);  // six data bytes
    for (int i = 0; i < 8; ++i) s->private_data_byte[i] = static_cast<uint8_t>(0xE0 + i);
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, s.get()),
              "[Private] TI:0x82(ECM ECM-S) SSI:1 PI:0 R1:3 PSL:15 TE:258 R2:3 VN:9 CNI:1 SN:1 "
              "LSN:2\n"
              "  0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, \n"
              "  CRC32:0x12345678\n");

    auto t = std::make_unique<TS_Section>();
    t->table_id = 0x80;
    t->section_syntax_indicator = 0;
    t->private_indicator = 1;
    t->reserved_1 = 3;
    t->private_section_length = 3;
    t->private_data_byte[0] = 0x01;
    t->private_data_byte[1] = 0x02;
    t->private_data_byte[2] = 0x03;
    t->CRC_32 = 0xFFFFFFFF;  // a short-form section has no CRC line
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, t.get()),
              "[Private] TI:0x80(?) SSI:0 PI:1 R1:3 PSL:3\n  0x01, 0x02, 0x03, \n");
    EXPECT_EQ(Printed<TS_Section>(TS_Section_PrintPrivate, nullptr, -1), "");
}

TEST(TablePrinters, PrivateSectionDataStopsAtTheArrayCapacity) {
    // A short-form section may announce 4095 bytes; the record holds 2928.
    auto s = std::make_unique<TS_Section>();
    s->private_section_length = 4095;
    std::memset(s->private_data_byte, 0x5A, sizeof s->private_data_byte);
    const std::string out = Printed(TS_Section_PrintPrivate, s.get());
    EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), ',')), TS_SECTION_CAPACITY);

    // A long form too short for its own header holds no data bytes.
    auto t = LongFormSection(5);
    t->private_data_byte[0] = 0x11;
    EXPECT_EQ(Printed(TS_Section_PrintPrivate, t.get()),
              "[Private] TI:0x82(ECM ECM-S) SSI:1 PI:0 R1:3 PSL:5 TE:258 R2:3 VN:9 CNI:1 SN:1 "
              "LSN:2\n"
              "  \n"
              "  CRC32:0x12345678\n");
}

TEST(TablePrinters, EMMWithCardIdentifier) {
    auto s = LongFormSection(15);  // six data bytes: the card identifier alone
    s->table_id = 0x84;
    const uint8_t card[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(s->private_data_byte, card, 6);
    EXPECT_EQ(Printed(TS_Section_PrintEMM, s.get()),
              "[EMM] TI:0x84(EMM EMM-S) SSI:1 PI:0 R1:3 PSL:15 TE:258 R2:3 VN:9 CNI:1 SN:1 LSN:2\n"
              "  CardID:1099511627778(0x10000000002)\n"
              "  \n"
              "  CRC32:0x12345678\n");

    // Twenty-three data bytes: the identifier, then 17 bytes with a break after the 16th.
    s->private_section_length = 9 + 23;
    for (int i = 6; i < 23; ++i) s->private_data_byte[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(Printed(TS_Section_PrintEMM, s.get()),
              "[EMM] TI:0x84(EMM EMM-S) SSI:1 PI:0 R1:3 PSL:32 TE:258 R2:3 VN:9 CNI:1 SN:1 LSN:2\n"
              "  CardID:1099511627778(0x10000000002)\n"
              "  0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, "
              "0x13, 0x14, 0x15, \n"
              "  0x16, \n"
              "  CRC32:0x12345678\n");

    // Short form with fewer than six bytes: the identifier still reads the first six.
    auto t = std::make_unique<TS_Section>();
    t->table_id = 0x85;
    t->private_section_length = 2;
    std::memcpy(t->private_data_byte, "\x00\x00\x00\x00\x01\x00", 6);
    EXPECT_EQ(Printed(TS_Section_PrintEMM, t.get()),
              "[EMM] TI:0x85(EMM EMM-S) SSI:0 PI:0 R1:0 PSL:2\n"
              "  CardID:256(0x100)\n"
              "  \n");
    EXPECT_EQ(Printed<TS_Section>(TS_Section_PrintEMM, nullptr, -1), "");
}

}  // namespace
