// Name tables: spot checks of each vocabulary (both ends of every range, neighbours of the
// gaps, the fallback "?"), the null buffer, and that a label writes nothing past its NUL.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using Labeler = int32_t (*)(char*, uint8_t);

std::string Label(Labeler f, unsigned code) {
    char buf[TS_LABEL_CAPACITY];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(f(buf, static_cast<uint8_t>(code)), 0);
    return buf;
}

TEST(Names, PIDClassesAtTheirBoundaries) {
    const struct { uint16_t pid; const char* label; } rows[] = {
        {0x0000, "Program Association Table"}, {0x0001, "Conditional Access Table"}, {0x0002, "<reserved>"},
        {0x000F, "<reserved>"}, {0x0010, "<assigned>"}, {0x1FFE, "<assigned>"}, {0x1FFF, "Null packet"},
        {0x2000, "?"}, {0xFFFF, "?"}};  // outside the 13-bit range but inside the argument's type
    for (const auto& r : rows) {
        char buf[TS_LABEL_CAPACITY];
        ASSERT_EQ(TS_Header_PIDToString(buf, r.pid), 0);
        EXPECT_STREQ(buf, r.label) << std::hex << r.pid;
    }
}

TEST(Names, SpotChecksOfEveryVocabulary) {
    const Labeler tid = TS_Section_TagToString, iso = TS_Section_TagToString_ISO,
                  st = TS_Header_StreamTypeToString, tag = TS_DescriptorTagToString;
    const struct { Labeler f; unsigned code; const char* label; } rows[] = {
        // table_id, dump vocabulary: singles, both ends of each range, the gaps between them.
        {tid, 0x00, "PAT"}, {tid, 0x01, "CAT"}, {tid, 0x02, "maybe PMT"}, {tid, 0x03, "?"}, {tid, 0x39, "?"},
        {tid, 0x3A, "DSM-CC Section"}, {tid, 0x3F, "DSM-CC Section"}, {tid, 0x40, "NIT Self"},
        {tid, 0x42, "SDT Self"}, {tid, 0x43, "?"}, {tid, 0x46, "SDT Other"}, {tid, 0x4A, "BAT"},
        {tid, 0x4F, "EIT Other"}, {tid, 0x50, "EIT Self Scedule"}, {tid, 0x5F, "EIT Self Scedule"},
        {tid, 0x60, "EIT Other Scedule"}, {tid, 0x6F, "EIT Other Scedule"}, {tid, 0x74, "AIT"}, {tid, 0x75, "?"},
        {tid, 0x7E, "DIT"}, {tid, 0x7F, "SIT"}, {tid, 0x80, "?"}, {tid, 0x81, "?"}, {tid, 0x82, "ECM ECM-S"},
        {tid, 0x83, "ECM ECM-S"}, {tid, 0x84, "EMM EMM-S"}, {tid, 0x85, "EMM EMM-S"}, {tid, 0x86, "?"},
        {tid, 0x8F, "?"}, {tid, 0x90, "<Carrier Definition>"}, {tid, 0xBF, "<Carrier Definition>"},
        {tid, 0xC0, "DCT"}, {tid, 0xC6, "NBIT Reference"}, {tid, 0xC8, "CDT"}, {tid, 0xC9, "?"}, {tid, 0xCF, "?"},
        {tid, 0xD0, "LIT"}, {tid, 0xD2, "ITT"}, {tid, 0xD3, "?"}, {tid, 0xFF, "?"},
        // table_id, ISO vocabulary.
        {iso, 0x00, "program_association_section"}, {iso, 0x01, "conditional_access_section"},
        {iso, 0x02, "TS_program_map_section"}, {iso, 0x03, "<reserved>"}, {iso, 0x3F, "<reserved>"},
        {iso, 0x40, "<User private>"}, {iso, 0xFE, "<User private>"}, {iso, 0xFF, "forbidden"},
        // stream_type: every value has a label.
        {st, 0x00, "<ISO/IEC Reserved>"}, {st, 0x01, "ISO/IEC 11172 Video"}, {st, 0x02, "ISO/IEC 13818-2 Video"},
        {st, 0x0F, "ISO/IEC 13818-7 Audio"}, {st, 0x11, "ISO/IEC 14496-3 / AMD 1"},
        {st, 0x19, "Metadata by ISO/IEC 13818-6 Sync download protocol"},  // the longest label: 50 characters
        {st, 0x1B, "ISO/IEC 14496-10 AVC Video"}, {st, 0x20, "IEC 14496-10 MVC Video sub bit"},
        {st, 0x21, "<ISO/IEC 13818-1 Reserved>"}, {st, 0x7E, "<ISO/IEC 13818-1 Reserved>"}, {st, 0x7F, "IPMP"},
        {st, 0x80, "<User define>"}, {st, 0xFF, "<User define>"},
        // descriptor_tag: the MPEG-2 tags with printers of their own take no label.
        {tag, 0x00, "?"}, {tag, 0x02, "?"}, {tag, 0x08, "?"}, {tag, 0x09, "Conditional Access"}, {tag, 0x0A, "?"},
        {tag, 0x0C, "?"}, {tag, 0x0D, "Copyright"}, {tag, 0x0E, "?"}, {tag, 0x12, "?"},
        {tag, 0x13, "Carousel Identifier"}, {tag, 0x15, "Deferred Association tags"}, {tag, 0x16, "?"},
        {tag, 0x2E, "Extended MPEG-4 Audio"}, {tag, 0x40, "Network Name"}, {tag, 0x45, "?"},
        {tag, 0x52, "Stream Identifier"}, {tag, 0x55, "Parental Rating"}, {tag, 0x58, "Local Time Offset"},
        {tag, 0x63, "Partial Transport Stream"}, {tag, 0x7F, "?"}, {tag, 0x80, "<Carrier Definition>"},
        {tag, 0xBF, "<Carrier Definition>"}, {tag, 0xC0, "Hierarchical Transmission"},
        {tag, 0xDF, "<Tag Extention>"}, {tag, 0xE0, "Service Group"}, {tag, 0xE1, "?"}, {tag, 0xF6, "?"},
        {tag, 0xF7, "Carousel Compatible Composite"}, {tag, 0xFE, "System Management"}, {tag, 0xFF, "?"}};
    for (const auto& r : rows) EXPECT_EQ(Label(r.f, r.code), r.label) << "code 0x" << std::hex << r.code;
}

TEST(Names, NullBufferIsRefused) {
    EXPECT_EQ(TS_Header_PIDToString(nullptr, 0), -1);
    for (Labeler f : {TS_Section_TagToString, TS_Section_TagToString_ISO, TS_Header_StreamTypeToString,
                      TS_DescriptorTagToString})
        EXPECT_EQ(f(nullptr, 0x52), -1);
}

TEST(Names, LabelIsWrittenWithItsTerminatorAndNothingElse) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(TS_Section_TagToString(buf, 0x00), 0);
    EXPECT_EQ(std::string(buf, 4), std::string("PAT\0", 4));
    for (size_t i = 4; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '#') << i;
}

}  // namespace
