// Descriptor decoding: every known body from hand-worked bytes, raw tags, and short or
// overlong descriptors that must not be read beyond the bytes available.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "builder.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

using tsb::Bytes;

// The bytes in a heap block of exactly their size: reads beyond are caught by the sanitizer.
struct Exact {
    std::unique_ptr<uint8_t[]> p;
    uint16_t n;
    explicit Exact(const Bytes& b) : p(new uint8_t[b.empty() ? 1 : b.size()]), n(static_cast<uint16_t>(b.size())) {
        if (!b.empty()) std::memcpy(p.get(), b.data(), b.size());
    }
};

TS_Descriptor Pattern(uint8_t v) {
    TS_Descriptor d;
    std::memset(&d, v, sizeof d);
    return d;
}

TS_Descriptor Decode(const Bytes& b) {
    Exact e(b);
    TS_Descriptor d = Pattern(0);
    EXPECT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0);
    EXPECT_EQ(d.descriptor_tag, b[0]);
    EXPECT_EQ(d.descriptor_length, b[1]);
    return d;
}

TEST(Descriptor, ConditionalAccess) {
    TS_Descriptor d = Decode({0x09, 0x04, 0x01, 0x05, 0xE1, 0x01});
    EXPECT_EQ(d.conditional_access.CA_system_ID, 261);
    EXPECT_EQ(d.conditional_access.reserved, 7);
    EXPECT_EQ(d.conditional_access.CA_PID, 257);
    EXPECT_EQ(d.conditional_access.private_data_byte[0], 0);  // none copied

    d = Decode(tsb::CaDescriptor(0x0B00, 0x1FFE, {0xDE, 0xAD, 0xBE}));
    EXPECT_EQ(d.conditional_access.CA_system_ID, 0x0B00);
    EXPECT_EQ(d.conditional_access.CA_PID, 0x1FFE);
    EXPECT_EQ(Bytes(d.conditional_access.private_data_byte, d.conditional_access.private_data_byte + 3),
              (Bytes{0xDE, 0xAD, 0xBE}));
    EXPECT_EQ(d.conditional_access.private_data_byte[3], 0);

    // Length below 4: nothing trails, though the section goes on behind it; the subtraction
    // must not wrap into a huge copy.
    TS_Descriptor s = Pattern(0xEE);
    Exact e({0x09, 0x02, 0x01, 0x05, 0xE1, 0x01, 0xAA, 0xBB});
    ASSERT_EQ(TS_Descriptor_GetConditionalAccess(&s, e.p.get(), e.n), 0);
    EXPECT_EQ(s.conditional_access.CA_system_ID, 261);
    EXPECT_EQ(s.conditional_access.private_data_byte[0], 0xEE);
}

TEST(Descriptor, Iso639Language) {
    TS_Descriptor d = Decode(tsb::LanguageDescriptor({{"eng", 1}, {"jpn", 3}}));
    EXPECT_EQ(d.ISO_639_language.languages[0].ISO_639_language_code, 0x656E67u);
    EXPECT_EQ(d.ISO_639_language.languages[0].audio_type, 1);
    EXPECT_EQ(d.ISO_639_language.languages[1].ISO_639_language_code, 0x6A706Eu);
    EXPECT_EQ(d.ISO_639_language.languages[1].audio_type, 3);
    EXPECT_EQ(d.ISO_639_language.languages[2].ISO_639_language_code, 0u);

    // Length 4 gives one entry, length 0 none (the record keeps its contents).
    d = Decode(tsb::LanguageDescriptor({{"fra", 0}}));
    EXPECT_EQ(d.ISO_639_language.languages[0].ISO_639_language_code, 0x667261u);
    EXPECT_EQ(d.ISO_639_language.languages[1].ISO_639_language_code, 0u);
    TS_Descriptor none = Pattern(0xEE);
    Exact e({0x0A, 0x00});
    ASSERT_EQ(TS_Descriptor_GetISO639Language(&none, e.p.get(), e.n), 0);
    EXPECT_EQ(none.ISO_639_language.languages[0].audio_type, 0xEE);

    // The longest descriptor: 63 entries, no more than the record holds.
    std::vector<std::pair<std::string, uint8_t>> many;
    for (int i = 0; i < 63; ++i) many.push_back({"abc", static_cast<uint8_t>(i)});
    Bytes longest = tsb::LanguageDescriptor(many);
    longest[1] = 255;
    longest.insert(longest.end(), {0x11, 0x22, 0x33});
    d = Decode(longest);
    EXPECT_EQ(d.ISO_639_language.languages[62].audio_type, 62);
}

TEST(Descriptor, VideoStream) {
    // multiple_frame_rate 1, frame_rate_code 5, MPEG_1_only 0, constrained 1, still 0.
    TS_Descriptor d = Decode({0x02, 0x03, 0xAA, 0x48, 0xA5});
    const auto& v = d.video_stream;
    EXPECT_EQ(v.multiple_frame_rate_flag, 1);
    EXPECT_EQ(v.frame_rate_code, 5);
    EXPECT_EQ(v.MPEG_1_only_flag, 0);
    EXPECT_EQ(v.constrained_parameter_flag, 1);
    EXPECT_EQ(v.still_picture_flag, 0);
    EXPECT_EQ(v.profile_and_level_indication, 0x48);
    EXPECT_EQ(v.chroma_format, 2);
    EXPECT_EQ(v.frame_rate_extension_flag, 1);
    EXPECT_EQ(v.reserved, 5);

    // MPEG_1_only: the five flags only, the rest keeps older contents.
    TS_Descriptor m = Pattern(0xEE);
    Exact e({0x02, 0x01, 0x9F, 0x48, 0xA5});
    ASSERT_EQ(TS_Descriptor_GetVideoStream(&m, e.p.get(), e.n), 0);
    EXPECT_EQ(m.video_stream.frame_rate_code, 3);
    EXPECT_EQ(m.video_stream.MPEG_1_only_flag, 1);
    EXPECT_EQ(m.video_stream.still_picture_flag, 1);
    EXPECT_EQ(m.video_stream.profile_and_level_indication, 0xEE);
    EXPECT_EQ(m.video_stream.chroma_format, 0xEE);
}

// Hand-worked bytes of each fixed layout and the fields they hold, shown through the
// descriptor printer (whose text is tested on its own), which lists every field in order.
TEST(Descriptor, FixedLayouts) {
    const struct { Bytes bytes; const char* text; } rows[] = {
        {{0x03, 0x01, 0xDD}, "[D Audio Stream] FFF:1 I:1 L:1 VRAI:1 R:5\n"},
        {{0x04, 0x04, 0x5C, 0x7F, 0x81, 0xC5}, "[D Hierarchy] R1:5 HT:12 R2:1 HLI:63 R3:2 HELI:1 R4:3 HC:5\n"},
        {{0x06, 0x01, 0x02}, "[D Data stream alignment] AT:2\n"},
        // 14 + 14 + 4 bits: 0x2ABC, 0x1357, 0xA.
        {{0x07, 0x04, 0xAA, 0xF1, 0x35, 0x7A}, "[D Target background grid] HS:10940 VS:4951 ARI:10\n"},
        {{0x08, 0x04, 0xAA, 0xF1, 0x35, 0x7A}, "[D Video window] HO:10940 VO:4951 WP:10\n"},
        {{0x0B, 0x02, 0xAA, 0xB5}, "[D System clock] ECRI:1 R1:0 CAI:42 CAE:5 R2:21\n"},
        {{0x0C, 0x04, 0x81, 0x02, 0x7F, 0xFE}, "[D Multiplex buffer utilization] BVF:1 LOLB:258 R:0 LOUB:32766\n"},
        {{0x0E, 0x03, 0xC1, 0x23, 0x45}, "[D Maximum bitrate] R:3 MB:74565\n"},
        {{0x0F, 0x04, 0x43, 0x55, 0x45, 0x49}, "[D Private data indicator] PD:1129661769\n"},
        {{0x10, 0x06, 0xC0, 0x00, 0x01, 0x41, 0x00, 0x02}, "[D Smoothing buffer] R1:3 SLR:1 R2:1 SS:65538\n"},
        {{0x11, 0x01, 0xFF}, "[D STD] R:254 LVF:1\n"},  // reserved in place, not shifted down
        {{0x11, 0x01, 0x02}, "[D STD] R:2 LVF:0\n"},
        {{0x12, 0x02, 0xBF, 0xFF}, "[D IBP] CGF:1 IGF:0 MGL:16383\n"}};
    for (const auto& r : rows) {
        const TS_Descriptor d = Decode(r.bytes);
        testing::internal::CaptureStdout();
        TS_Descriptor_Print(&d);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.text);
    }
}

TEST(Descriptor, TrailingRuns) {
    TS_Descriptor d = Decode({0x05, 0x06, 0x43, 0x55, 0x45, 0x49, 0x01, 0x02});
    EXPECT_EQ(d.registration.format_identifier, 0x43554549u);
    EXPECT_EQ(d.registration.additional_identification_info[0], 1);
    EXPECT_EQ(d.registration.additional_identification_info[1], 2);
    EXPECT_EQ(d.registration.additional_identification_info[2], 0);

    d = Decode({0x0D, 0x05, 0x12, 0x34, 0x56, 0x78, 0x9A});
    EXPECT_EQ(d.copyright.copyright_identifier, 0x12345678u);
    EXPECT_EQ(d.copyright.additional_copyright_info[0], 0x9A);
    EXPECT_EQ(d.copyright.additional_copyright_info[1], 0);

    // Length 255: 251 trailing bytes fill the array exactly.
    Bytes body(255);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i + 1);
    d = Decode(tsb::Descriptor(0x05, body));
    EXPECT_EQ(d.registration.additional_identification_info[250], 255);
    d = Decode(tsb::Descriptor(0x09, body));
    EXPECT_EQ(d.conditional_access.private_data_byte[250], 255);
}

TEST(Descriptor, RawTagsAndDispatch) {
    for (uint8_t tag : {uint8_t{0}, uint8_t{1}, uint8_t{19}, uint8_t{0x52}, uint8_t{0xFF}}) {
        TS_Descriptor d = Decode({tag, 3, 0x0A, 0x0B, 0x0C, 0x0D});
        EXPECT_EQ(Bytes(d.raw.data, d.raw.data + 4), (Bytes{0x0A, 0x0B, 0x0C, 0})) << int(tag);
    }
    // Every known tag goes to its own decoder: the same record as a direct call.
    using Fn = int32_t (*)(TS_Descriptor*, const uint8_t*, uint16_t);
    const Fn direct[] = {TS_Descriptor_GetVideoStream, TS_Descriptor_GetAudioStream,
                         TS_Descriptor_GetHierarchy, TS_Descriptor_GetRegistration,
                         TS_Descriptor_GetDataStreamAlignment, TS_Descriptor_GetTargetBackgroundGrid,
                         TS_Descriptor_GetVideoWindow, TS_Descriptor_GetConditionalAccess,
                         TS_Descriptor_GetISO639Language, TS_Descriptor_GetSystemClock,
                         TS_Descriptor_GetMultiplexBufferUtilization, TS_Descriptor_GetCopyright,
                         TS_Descriptor_GetMaximumBitrate, TS_Descriptor_GetPrivateDataIndicator,
                         TS_Descriptor_GetSmoothingBuffer, TS_Descriptor_GetSTD, TS_Descriptor_GetIBP};
    for (uint8_t tag = 2; tag <= 18; ++tag) {
        Bytes b{tag, 8, 0x9C, 0x35, 0xE7, 0x41, 0x8B, 0x26, 0xD0, 0x7F};
        Exact e(b);
        const TS_Descriptor blank = Pattern(0x33);
        TS_Descriptor via = blank, own = blank, other = blank;
        ASSERT_EQ(TS_GetDescriptor(&via, e.p.get(), e.n), 0);
        ASSERT_EQ(direct[tag - 2](&own, e.p.get(), e.n), 0);
        EXPECT_EQ(std::memcmp(&via, &own, sizeof via), 0) << int(tag);
        // A decoder given another tag refuses it and writes nothing.
        const Fn wrong = direct[(tag - 2 + 1) % 17];
        EXPECT_EQ(wrong(&other, e.p.get(), e.n), -2) << int(tag);
        EXPECT_EQ(std::memcmp(&other, &blank, sizeof other), 0) << int(tag);
        EXPECT_EQ(direct[tag - 2](nullptr, e.p.get(), e.n), -1);
        EXPECT_EQ(direct[tag - 2](&own, nullptr, e.n), -1);
    }
    TS_Descriptor d;
    EXPECT_EQ(TS_GetDescriptor(nullptr, Bytes{2, 0}.data(), 2), -1);
    EXPECT_EQ(TS_GetDescriptor(&d, nullptr, 2), -1);
    EXPECT_EQ(TS_Descriptor_GetRAW(&d, nullptr, 2), -1);
}

TEST(Descriptor, CopiesClampedToWhatIsAvailable) {
    // A raw descriptor claiming 200 bytes with 50 available: 48 body bytes copied, the rest of
    // the record untouched, and the overrun reported.
    Bytes b{0x52, 200};
    for (int i = 0; i < 48; ++i) b.push_back(static_cast<uint8_t>(i + 1));
    Exact e(b);
    TS_Descriptor d = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), TS_DESCRIPTOR_OVERRUN);
    EXPECT_EQ(d.descriptor_length, 200);
    EXPECT_EQ(d.raw.data[47], 48);
    EXPECT_EQ(d.raw.data[48], 0xEE);

    // A CA descriptor cut after its system ID: the PID reads as zeros, nothing trails.
    Exact ca({0x09, 0x04, 0x0B, 0x00});
    d = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&d, ca.p.get(), ca.n), TS_DESCRIPTOR_OVERRUN);
    EXPECT_EQ(d.conditional_access.CA_system_ID, 0x0B00);
    EXPECT_EQ(d.conditional_access.CA_PID, 0);
    EXPECT_EQ(d.conditional_access.private_data_byte[0], 0xEE);
}

// Every tag, every length, a range of cut-offs: no read beyond the exact block (sanitizer) and
// no write beyond the record, which sits between two guard records.
TEST(Descriptor, HostileLengthsStayInBounds) {
    struct Guarded {
        uint8_t before[64];
        TS_Descriptor d;
        uint8_t after[64];
    };
    for (int tag = 0; tag < 256; ++tag) {
        for (int len : {0, 1, 2, 3, 4, 5, 7, 100, 251, 252, 255}) {
            for (int avail : {1, 2, 3, 4, 6, 9, 50, 257}) {
                Bytes b(static_cast<size_t>(avail), 0xC7);
                b[0] = static_cast<uint8_t>(tag);
                if (avail > 1) b[1] = static_cast<uint8_t>(len);
                Exact e(b);
                auto g = std::make_unique<Guarded>();
                std::memset(g.get(), 0x5A, sizeof *g);
                const int32_t r = TS_GetDescriptor(&g->d, e.p.get(), e.n);
                ASSERT_TRUE(r == 0 || r == TS_DESCRIPTOR_OVERRUN) << r;
                // Raw bodies overrun exactly when the length claims more than is there.
                if (tag < 2 || tag > 18) {
                    ASSERT_EQ(r != 0, avail < 2 || 2 + len > avail) << tag << " " << len << " " << avail;
                }
                for (uint8_t x : g->before) ASSERT_EQ(x, 0x5A);
                for (uint8_t x : g->after) ASSERT_EQ(x, 0x5A) << tag << " " << len << " " << avail;
            }
        }
    }
}

}  // namespace
