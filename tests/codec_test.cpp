// Codecs and dual mono: the rules that name a stream's codec from its PMT entry, each beside
// the case it must not fire on; the component descriptors that tell dual mono, their bounded
// decoding and printing; the run report and dump lines that show both; and every name held
// against ffprobe's on the shared streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "builder.h"
#include "files.h"
#include "mux.h"
#include "ts.h"

using namespace tsb;
using testfiles::RunCommand;
using testfiles::ScratchDir;

namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The PMT record of `section` (into `into` when given: a record decoded again).
std::unique_ptr<TS_PMT> Decode(const Bytes& section, TS_PMT* into = nullptr) {
    auto pre = std::make_unique<TS_PreSection>();
    LoadSection(*pre, section);
    std::unique_ptr<TS_PMT> own;
    if (into == nullptr) {
        own = std::make_unique<TS_PMT>();
        into = own.get();
    }
    EXPECT_EQ(TS_PMT_FromPreSection(into, pre.get(), 0x100), 0);
    return own;
}

// ---------------------------------------------------------------------------------------------
// The component descriptors
// ---------------------------------------------------------------------------------------------

// The bytes in a heap block of exactly their size: reads beyond are caught by the sanitizer.
struct Exact {
    std::unique_ptr<uint8_t[]> p;
    uint16_t n;
    explicit Exact(const Bytes& b) : p(new uint8_t[b.size()]), n(static_cast<uint16_t>(b.size())) {
        std::memcpy(p.get(), b.data(), b.size());
    }
};

TS_Descriptor Pattern(uint8_t v) {
    TS_Descriptor d;
    std::memset(&d, v, sizeof d);
    return d;
}

// ARIB audio component descriptor: stream_content 2, the component_type, component_tag 0x10,
// stream_type 0x0F, simulcast_group_tag 0xFF, then ES_multi_lingual_flag, main_component_flag
// 1, quality_indicator 1, sampling_rate 7 (48 kHz), reserved 1, the codes and the text.
Bytes AudioComponent(uint8_t component_type, const std::string& lang, const std::string& lang2 = "",
                     const Bytes& text = {}) {
    const uint8_t flags = static_cast<uint8_t>((lang2.empty() ? 0 : 0x80) | 0x40 | 0x10 | 0x0E | 0x01);
    return Descriptor(0xC4, Cat({{0xF2, component_type, 0x10, 0x0F, 0xFF, flags}, Text(lang + lang2), text}));
}
// DVB component descriptor: stream_content_ext 0xF, stream_content, component_type,
// component_tag 1, the code, the text.
Bytes Component(uint8_t stream_content, uint8_t component_type, const std::string& lang, const Bytes& text = {}) {
    return Descriptor(0x50, Cat({{static_cast<uint8_t>(0xF0 | stream_content), component_type, 0x01}, Text(lang), text}));
}

constexpr uint32_t Code(const char (&s)[4]) { return (uint32_t(s[0]) << 16) | (uint32_t(s[1]) << 8) | uint32_t(s[2]); }

TEST(ComponentDescriptors, FieldsFromHandWorkedBytes) {
    Bytes b = AudioComponent(0x02, "jpn", "eng", {0x0E, 0x41});
    Exact e(b);
    TS_Descriptor d = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0);
    const auto& a = d.audio_component;
    EXPECT_EQ(d.descriptor_length, 14);
    EXPECT_EQ(a.reserved_future_use_1, 0xF);
    EXPECT_EQ(a.stream_content, 2);
    EXPECT_EQ(a.component_type, 2);
    EXPECT_EQ(a.component_tag, 0x10);
    EXPECT_EQ(a.stream_type, 0x0F);
    EXPECT_EQ(a.simulcast_group_tag, 0xFF);
    EXPECT_EQ(a.ES_multi_lingual_flag, 1);
    EXPECT_EQ(a.main_component_flag, 1);
    EXPECT_EQ(a.quality_indicator, 1);
    EXPECT_EQ(a.sampling_rate, 7);
    EXPECT_EQ(a.reserved_future_use_2, 1);
    EXPECT_EQ(a.ISO_639_language_code, Code("jpn"));
    EXPECT_EQ(a.ISO_639_language_code_2, Code("eng"));
    EXPECT_EQ(a.text_char[0], 0x0E);
    EXPECT_EQ(a.text_char[1], 0x41);
    EXPECT_EQ(a.text_char[2], 0xEE);  // nothing beyond the text written

    // Without the flag the text follows the first code.
    TS_Descriptor one = Pattern(0);
    Exact single(AudioComponent(0x01, "jpn", "", {0x33}));
    ASSERT_EQ(TS_Descriptor_GetAudioComponent(&one, single.p.get(), single.n), 0);
    EXPECT_EQ(one.audio_component.ES_multi_lingual_flag, 0);
    EXPECT_EQ(one.audio_component.ISO_639_language_code_2, 0u);
    EXPECT_EQ(one.audio_component.text_char[0], 0x33);

    Exact c(Component(0x02, 0x02, "deu", {0x44, 0x75}));
    TS_Descriptor dc = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&dc, c.p.get(), c.n), 0);
    EXPECT_EQ(dc.component.stream_content_ext, 0xF);
    EXPECT_EQ(dc.component.stream_content, 2);
    EXPECT_EQ(dc.component.component_type, 2);
    EXPECT_EQ(dc.component.component_tag, 1);
    EXPECT_EQ(dc.component.ISO_639_language_code, Code("deu"));
    EXPECT_EQ(dc.component.text_char[1], 0x75);
    EXPECT_EQ(dc.component.text_char[2], 0xEE);

    // The dispatch gives the direct decoders' records; each refuses the other's tag.
    TS_Descriptor direct = Pattern(0xEE), other = Pattern(0x33);
    ASSERT_EQ(TS_Descriptor_GetComponent(&direct, c.p.get(), c.n), 0);
    EXPECT_EQ(std::memcmp(&direct, &dc, sizeof direct), 0);
    EXPECT_EQ(TS_Descriptor_GetAudioComponent(&other, c.p.get(), c.n), -2);
    EXPECT_EQ(TS_Descriptor_GetComponent(&other, e.p.get(), e.n), -2);
    const TS_Descriptor untouched = Pattern(0x33);
    EXPECT_EQ(std::memcmp(&other, &untouched, sizeof other), 0);
    EXPECT_EQ(TS_Descriptor_GetComponent(nullptr, c.p.get(), c.n), -1);
    EXPECT_EQ(TS_Descriptor_GetAudioComponent(&other, nullptr, 2), -1);
}

TEST(ComponentDescriptors, HostileLengthsStayWithinTheDescriptor) {
    // Claiming more than is there: every read stays in the exact buffer, the overrun is told.
    const Bytes full = AudioComponent(0x02, "jpn", "eng"), component = Component(0x02, 0x02, "deu");
    for (size_t cut = 3; cut < full.size(); ++cut) {
        Exact e(Bytes(full.begin(), full.begin() + static_cast<long>(cut)));
        TS_Descriptor d = Pattern(0xEE);
        EXPECT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), TS_DESCRIPTOR_OVERRUN) << cut;
        Exact c(Bytes(component.begin(), component.begin() + static_cast<long>(cut < component.size() ? cut : component.size() - 1)));
        EXPECT_EQ(TS_GetDescriptor(&d, c.p.get(), c.n), TS_DESCRIPTOR_OVERRUN) << cut;
    }
    // Shorter than the fixed fields: kept as raw bytes, not an error, no field invented;
    // the bytes behind it (a component_type 0x02 and codes) are not read.
    for (uint8_t length = 0; length < TS_AUDIO_COMPONENT_FIXED; ++length) {
        Bytes b = Cat({Bytes{0xC4, length}, Bytes(full.begin() + 2, full.begin() + 2 + length), full});
        Exact e(b);
        TS_Descriptor d = Pattern(0xEE);
        EXPECT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0) << int(length);
        EXPECT_EQ(Bytes(d.raw.data, d.raw.data + length), Bytes(full.begin() + 2, full.begin() + 2 + length));
        uint32_t codes[4];
        EXPECT_EQ(TS_Descriptor_GetLanguages(&d, codes, 4), 0u) << int(length);
    }
    for (uint8_t length = 0; length < TS_COMPONENT_FIXED; ++length) {
        Exact e(Cat({Bytes{0x50, length}, Bytes(length, 0x02)}));
        TS_Descriptor d = Pattern(0xEE);
        EXPECT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0) << int(length);
        uint32_t codes[4];
        EXPECT_EQ(TS_Descriptor_GetLanguages(&d, codes, 4), 0u);
    }
    // Within a loop: the bytes of the next descriptor are neither fields nor text.
    for (const Bytes& first : {AudioComponent(0x01, "jpn", "", {0x31}), Component(0x02, 0x01, "deu", {0x31})}) {
        Exact loop(Cat({first, LanguageDescriptor({{"eng", 0}})}));
        TS_Descriptor d = Pattern(0xEE);
        ASSERT_EQ(TS_GetDescriptor(&d, loop.p.get(), loop.n), 0);
        const uint8_t* text = d.descriptor_tag == 0xC4 ? d.audio_component.text_char : d.component.text_char;
        EXPECT_EQ(text[0], 0x31);
        EXPECT_EQ(text[1], 0xEE) << int(d.descriptor_tag);
    }
    // The multi-lingual flag set with the second code cut short: no second code, no text.
    Bytes cut = Bytes(full.begin(), full.begin() + 2 + 10);
    cut[1] = 10;
    Exact e(cut);
    TS_Descriptor d = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0);
    EXPECT_EQ(d.audio_component.ES_multi_lingual_flag, 1);
    EXPECT_EQ(d.audio_component.ISO_639_language_code_2, 0u);
    EXPECT_EQ(d.audio_component.text_char[0], 0xEE);
    uint32_t codes[4];
    ASSERT_EQ(TS_Descriptor_GetLanguages(&d, codes, 4), 1u);
    EXPECT_EQ(codes[0], Code("jpn"));
    // The longest bodies: the whole text is kept.
    Bytes body(255, 0x61);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i);
    body[5] = 0x80;  // ES_multi_lingual_flag
    Exact longest(Descriptor(0xC4, body));
    TS_Descriptor big = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&big, longest.p.get(), longest.n), 0);
    EXPECT_EQ(big.audio_component.text_char[0], 12);
    EXPECT_EQ(big.audio_component.text_char[242], 254);   // 243 text bytes after 12 of fields
    EXPECT_EQ(big.audio_component.text_char[243], 0xEE);  // nothing beyond
    Exact longest_c(Descriptor(0x50, body));
    big = Pattern(0xEE);
    ASSERT_EQ(TS_GetDescriptor(&big, longest_c.p.get(), longest_c.n), 0);
    EXPECT_EQ(big.component.text_char[0], 6);
    EXPECT_EQ(big.component.text_char[248], 254);  // 249 text bytes, the record's room
    // The new bodies take no room beyond the largest one before them.
    EXPECT_LE(sizeof big.audio_component, sizeof big.ISO_639_language);
    EXPECT_LE(sizeof big.component, sizeof big.ISO_639_language);

    // In a PMT: a short descriptor leaves the table whole; one that runs past its loop does not.
    auto pmt = Decode(PmtSection(1, 0x1FFF, {}, {{0x0F, 0x101, Cat({Descriptor(0xC4, {}), LanguageDescriptor({{"jpn", 0}})})}}));
    EXPECT_EQ(pmt->streams[0].descriptor_count, 2);
    Bytes over = PmtSection(1, 0x1FFF, {}, {{0x0F, 0x101, AudioComponent(0x02, "jpn", "eng")}});
    over[17 + 1] = 20;  // the 0xC4's length, past the ES_info loop
    FixCrc(over);
    auto pre = std::make_unique<TS_PreSection>();
    LoadSection(*pre, over);
    auto damaged = std::make_unique<TS_PMT>();
    EXPECT_EQ(TS_PMT_FromPreSection(damaged.get(), pre.get(), 0x100), TS_TABLE_DAMAGED);
}

std::string Printed(const TS_Descriptor& d) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(TS_Descriptor_Print(&d), 0);
    return testing::internal::GetCapturedStdout();
}

TS_Descriptor Decoded(const Bytes& b) {
    Exact e(b);
    TS_Descriptor d = Pattern(0);
    EXPECT_EQ(TS_GetDescriptor(&d, e.p.get(), e.n), 0);
    return d;
}

TEST(ComponentDescriptors, Printers) {
    EXPECT_EQ(Printed(Decoded(AudioComponent(0x02, "jpn", "eng", {0x0E, 0x41}))),
              "[D Audio Component] R1:15 SC:2 CT:2 CTAG:16 ST:15 SGT:255 EMLF:1 MCF:1 QI:1 SR:7 R2:1 ILC:6975598 "
              "ILC2:6647399\n  0x0E, 0x41, \n");
    EXPECT_EQ(Printed(Decoded(AudioComponent(0x01, "jpn"))),
              "[D Audio Component] R1:15 SC:2 CT:1 CTAG:16 ST:15 SGT:255 EMLF:0 MCF:1 QI:1 SR:7 R2:1 ILC:6975598 ILC2:0\n  \n");
    EXPECT_EQ(Printed(Decoded(Component(0x02, 0x02, "deu", {0x44}))),
              "[D Component] SCE:15 SC:2 CT:2 CTAG:1 ILC:6579573\n  0x44, \n");
    // Too short for their fields: the bytes as they are, under the tag's label.
    EXPECT_EQ(Printed(Decoded({0xC4, 0})), "[D Audio Component] T:0xC4 L:0\n  \n");
    EXPECT_EQ(Printed(Decoded({0xC4, 3, 0xF2, 0x02, 0x10})), "[D Audio Component] T:0xC4 L:3\n  0xF2, 0x02, 0x10, \n");
    EXPECT_EQ(Printed(Decoded({0x50, 5, 0xF2, 0x02, 0x01, 0x64, 0x65})),
              "[D Component] T:0x50 L:5\n  0xF2, 0x02, 0x01, 0x64, 0x65, \n");
    // The tag printers: their own tag only.
    TS_Descriptor d = Decoded(Component(0x02, 0x02, "deu"));
    EXPECT_EQ(TS_Descriptor_PrintAudioComponent(&d), -2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(TS_Descriptor_PrintComponent(&d), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[D Component] SCE:15 SC:2 CT:2 CTAG:1 ILC:6579573\n  \n");
    EXPECT_EQ(TS_Descriptor_PrintComponent(nullptr), -1);
}

TEST(ComponentDescriptors, LanguageSources) {
    uint32_t codes[4];
    TS_Descriptor a = Decoded(AudioComponent(0x02, "jpn", "eng"));
    EXPECT_EQ(TS_Descriptor_LanguageSource(&a), TS_LANGUAGE_AUDIO_COMPONENT);
    ASSERT_EQ(TS_Descriptor_GetLanguages(&a, codes, 4), 2u);
    EXPECT_EQ(codes[0], Code("jpn"));
    EXPECT_EQ(codes[1], Code("eng"));
    EXPECT_EQ(TS_Descriptor_GetLanguages(&a, codes, 1), 1u);  // the capacity holds
    TS_Descriptor one = Decoded(AudioComponent(0x01, "jpn", "", Text("eng")));  // text is no code
    EXPECT_EQ(TS_Descriptor_GetLanguages(&one, codes, 4), 1u);
    TS_Descriptor c = Decoded(Component(0x02, 0x03, "fra"));
    EXPECT_EQ(TS_Descriptor_LanguageSource(&c), TS_LANGUAGE_COMPONENT);
    ASSERT_EQ(TS_Descriptor_GetLanguages(&c, codes, 4), 1u);
    EXPECT_EQ(codes[0], Code("fra"));
}

// ---------------------------------------------------------------------------------------------
// Codecs
// ---------------------------------------------------------------------------------------------
Bytes Reg(const std::string& id) { return Descriptor(0x05, Text(id)); }
Bytes Ext(uint8_t tag_extension, const Bytes& rest = {}) { return Descriptor(0x7F, Cat({{tag_extension}, rest})); }
const Bytes kHDMV = Reg("HDMV");

std::string Name(TS_CodecId codec) {
    const char* n = TS_CodecName(codec);
    return n ? n : "";
}

// The codec of the one stream of a PMT with these program and stream descriptors.
std::string CodecOf(const Bytes& program, uint8_t type, const Bytes& descriptors) {
    auto pmt = Decode(PmtSection(1, 0x1FFF, program, {{type, 0x101, descriptors}}));
    EXPECT_EQ(pmt->stream_count, 1);
    return Name(TS_StreamCodec(pmt.get(), &pmt->streams[0]));
}

struct Rule {
    const char* what;
    Bytes program;
    uint8_t type;
    Bytes descriptors;
    const char* codec;  // "" for none
};

void ExpectRules(const std::vector<Rule>& rules) {
    for (const Rule& r : rules) EXPECT_EQ(CodecOf(r.program, r.type, r.descriptors), r.codec) << r.what;
}

TEST(Codec, StreamTypesOfTheStandard) {
    ExpectRules({
        {"MPEG-1 video", {}, 0x01, {}, "mpeg1video"},
        {"MPEG-2 video", {}, 0x02, {}, "mpeg2video"},
        {"MPEG-4 visual", {}, 0x10, {}, "mpeg4"},
        {"AVC", {}, 0x1B, {}, "h264"},
        {"HEVC", {}, 0x24, {}, "hevc"},
        {"VVC", {}, 0x33, {}, "vvc"},
        {"AAC in ADTS", {}, 0x0F, {}, "aac"},
        {"AAC in LATM", {}, 0x11, {}, "aac_latm"},
        {"MPEG-H 3D audio", {}, 0x2D, {}, "mpegh_3d_audio"},
        {"MPEG-1 audio, layer unknown", {}, 0x03, {}, "mp2"},
        {"MPEG-2 audio, layer unknown", {}, 0x04, {}, "mp2"},
        // Negatives: types that name no one coding.
        {"private sections", {}, 0x05, {}, ""},
        {"PES private data, no descriptor", {}, 0x06, {}, ""},
        {"MPEG-4 audio without transport syntax", {}, 0x1C, {}, ""},
        {"reserved", {}, 0x00, {}, ""},
        {"IPMP", {}, 0x7F, {}, ""},
        // A fixed type is not overridden by what its descriptors say.
        {"AAC with a subtitling descriptor", {}, 0x0F, Descriptor(0x59, Cat({Text("fra"), {0x10, 0, 1, 0, 1}})), "aac"},
        {"AAC with an AC-3 registration", {}, 0x0F, Reg("AC-3"), "aac"},
    });
}

TEST(Codec, MPEGAudioLayerFromTheAudioStreamDescriptor) {
    // layer coded as in ISO/IEC 11172-3: 3 layer I, 2 layer II, 1 layer III (bits 5-4).
    ExpectRules({
        {"layer I", {}, 0x03, Descriptor(0x03, {0x30 | 0x48}), "mp1"},
        {"layer II", {}, 0x04, Descriptor(0x03, {0x20 | 0x48}), "mp2"},
        {"layer III", {}, 0x04, Descriptor(0x03, {0x10 | 0x48}), "mp3"},
        {"layer reserved", {}, 0x03, Descriptor(0x03, {0x00 | 0x48}), "mp2"},
        // Length 0: the byte after it (a tag that would read as layer I) is not its layer.
        {"empty audio_stream_descriptor", {}, 0x03, Cat({Descriptor(0x03, {}), Descriptor(0x30, {0})}), "mp2"},
        {"layer III on video: no effect", {}, 0x02, Descriptor(0x03, {0x10}), "mpeg2video"},
    });
}

TEST(Codec, BluRayTypesOnlyUnderTheHDMVRegistration) {
    struct Pair {
        uint8_t type;
        const char* hdmv;
        const char* elsewhere;
    };
    const Pair pairs[] = {
        {0x80, "pcm_bluray", ""}, {0x81, "ac3", "ac3"},          {0x82, "dts", ""},
        {0x83, "truehd", ""},     {0x84, "eac3", ""},            {0x85, "dts_hd", ""},
        {0x86, "dts_hd", "scte_35"}, {0x87, "", "eac3"},         {0x90, "hdmv_pgs_subtitle", ""},
        {0x91, "hdmv_igs", ""},   {0x92, "hdmv_text_subtitle", ""}, {0xA1, "eac3", ""},
        {0xA2, "dts_hd", ""},     {0xEA, "vc1", ""},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(testing::Message() << "stream_type 0x" << std::hex << int(p.type));
        EXPECT_EQ(CodecOf(kHDMV, p.type, {}), p.hdmv);
        EXPECT_EQ(CodecOf({}, p.type, {}), p.elsewhere);
        EXPECT_EQ(CodecOf(Reg("GA94"), p.type, {}), p.elsewhere);  // an ATSC program
        EXPECT_EQ(CodecOf({}, p.type, kHDMV), p.hdmv);             // the stream's own registration
    }
    ExpectRules({
        // A registration cut to three bytes is none: the byte after it ('V', a teletext tag
        // of length 0) does not complete "HDMV".
        {"HDMV cut short", Cat({Descriptor(0x05, Text("HDM")), Descriptor(0x56, {})}), 0x90, {}, ""},
        {"another registration", Reg("HDMW"), 0x90, {}, ""},
        // Outside HDMV a registration names a user-private type; on a disc the type decides.
        {"TrueHD type with AC-3 registration, disc", kHDMV, 0x83, Reg("AC-3"), "truehd"},
        {"same, no disc", {}, 0x83, Reg("AC-3"), "ac3"},
        {"VC-1 registration on 0xEA, no disc", {}, 0xEA, Reg("VC-1"), "vc1"},
        // M2TS muxers write MPEG audio as 0x06 without descriptors: nothing tells it.
        {"PES private data on a disc", kHDMV, 0x06, {}, ""},
    });
    // One stream's registration is not the program's: its neighbour keeps the broadcast rule.
    auto pmt = Decode(PmtSection(1, 0x1FFF, {}, {{0x86, 0x101, kHDMV}, {0x86, 0x102, {}}}));
    EXPECT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[0])), "dts_hd");
    EXPECT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[1])), "scte_35");
}

TEST(Codec, PESPrivateDataByItsDescriptors) {
    const Bytes subtitling = Descriptor(0x59, Cat({Text("fra"), {0x10, 0x00, 0x01, 0x00, 0x01}}));
    const Bytes teletext = Descriptor(0x56, Cat({Text("deu"), {0x09, 0x00}}));
    ExpectRules({
        {"DVB AC-3", {}, 0x06, Descriptor(0x6A, {0x00}), "ac3"},
        {"DVB enhanced AC-3", {}, 0x06, Descriptor(0x7A, {0x80, 0xC2}), "eac3"},
        {"DVB DTS", {}, 0x06, Descriptor(0x7B, {0, 0, 0, 0, 0}), "dts"},
        {"DVB AAC", {}, 0x06, Descriptor(0x7C, {0x58}), "aac"},
        {"DVB AC-4", {}, 0x06, Ext(0x15, {0x00}), "ac4"},
        {"DVB DTS-HD", {}, 0x06, Ext(0x0E, {0x00}), "dts_hd"},
        {"DVB supplementary audio: no codec", {}, 0x06, Ext(0x06, Cat({{0x81}, Text("fra")})), ""},
        {"DVB T2-MI: no codec", {}, 0x06, Ext(0x11, {0, 0, 0}), ""},
        {"empty extension", {}, 0x06, Descriptor(0x7F, {}), ""},
        {"DVB subtitling", {}, 0x06, subtitling, "dvb_subtitle"},
        {"DVB teletext", {}, 0x06, teletext, "dvb_teletext"},
        {"DVB VBI teletext", {}, 0x06, Descriptor(0x46, Cat({Text("deu"), {0x09, 0x00}})), "dvb_teletext"},
        {"DVB VBI data: no codec", {}, 0x06, Descriptor(0x45, {0x01, 0x00}), ""},
        {"ARIB captions", {}, 0x06, Cat({Descriptor(0x52, {0x30}), Descriptor(0xFD, {0x00, 0x08, 0x3D})}), "arib_caption"},
        {"ARIB data carousel: no codec", {}, 0x06, Descriptor(0xFD, {0x00, 0x07, 0x1F}), ""},
        {"ARIB data component cut short", {}, 0x06, Descriptor(0xFD, {0x00}), ""},
        {"stream identifier alone", {}, 0x06, Descriptor(0x52, {0x30}), ""},
        // The DVB descriptors are for PES private data only.
        {"DVB AC-3 on a user-private type", {}, 0x88, Descriptor(0x6A, {0x00}), ""},
        {"DVB subtitling on private sections", {}, 0x05, subtitling, ""},
        // The first descriptor that names a coding decides; others are passed over.
        {"registration of another format first", {}, 0x06, Cat({Reg("VANC"), Descriptor(0x6A, {0})}), "ac3"},
        {"subtitling before teletext", {}, 0x06, Cat({subtitling, teletext}), "dvb_subtitle"},
        {"teletext before subtitling", {}, 0x06, Cat({teletext, subtitling}), "dvb_teletext"},
        // ATSC audio descriptors: only in a program with the ATSC registration, since tags
        // from 0x80 on are each system's own (ARIB's carrier-defined ones among them).
        {"ATSC AC-3 descriptor", Reg("GA94"), 0x06, Descriptor(0x81, {0x06, 0x3C, 0x0E, 0x00}), "ac3"},
        {"ATSC E-AC-3 descriptor", Reg("GA94"), 0x06, Descriptor(0xCC, {0x80}), "eac3"},
        {"descriptor 0x81 elsewhere", {}, 0x06, Descriptor(0x81, {0x06, 0x3C, 0x0E, 0x00}), ""},
        {"descriptor 0xCC elsewhere", Reg("CUEI"), 0x06, Descriptor(0xCC, {0x80}), ""},
    });
}

TEST(Codec, RegistrationsOfPrivateFormats) {
    const std::pair<const char*, const char*> ids[] = {
        {"AC-3", "ac3"}, {"EAC3", "eac3"}, {"AC-4", "ac4"}, {"DTS1", "dts"}, {"DTS2", "dts"},
        {"DTS3", "dts"}, {"HEVC", "hevc"}, {"Opus", "opus"}, {"VC-1", "vc1"},
        {"VANC", ""},    {"ABCD", ""},     {"opus", ""},    {"DTS4", ""},
    };
    for (const auto& [id, codec] : ids) {
        EXPECT_EQ(CodecOf({}, 0x06, Reg(id)), codec) << id;
        EXPECT_EQ(CodecOf({}, 0xC0, Reg(id)), codec) << id << " on a user-private type";
        // A program's registration names the program's system, not a stream's coding.
        EXPECT_EQ(CodecOf(Reg(id), 0x06, {}), "") << id << " on the program";
        // The format_identifier must lie within the descriptor.
        EXPECT_EQ(CodecOf({}, 0x06, Cat({Descriptor(0x05, Text(std::string(id, 3))), Descriptor(static_cast<uint8_t>(id[3]), {})})), "")
            << id << " cut to three bytes";
    }
    // ISO types that name no coding stay unnamed whatever their registration.
    EXPECT_EQ(CodecOf({}, 0x05, Reg("AC-3")), "");
    EXPECT_EQ(CodecOf({}, 0x12, Reg("HEVC")), "");
    // With extra identification bytes after the identifier the registration still counts.
    EXPECT_EQ(CodecOf({}, 0x06, Descriptor(0x05, Cat({Text("Opus"), {0x01, 0x02}}))), "opus");
}

// A record decoded again keeps bytes of the earlier decoding beyond a shorter descriptor:
// the rules read only what descriptor_length covers.
TEST(Codec, NoBytesOfAnEarlierDecoding) {
    auto pmt = Decode(PmtSection(1, 0x1FFF, {}, {{0x06, 0x101, Descriptor(0xFD, {0x00, 0x08, 0x3D})},
                                                 {0x06, 0x102, Descriptor(0x7F, {0x15, 0x00})}}));
    ASSERT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[0])), "arib_caption");
    ASSERT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[1])), "ac4");
    Decode(PmtSection(1, 0x1FFF, {}, {{0x06, 0x101, Descriptor(0xFD, {0x00})}, {0x06, 0x102, Descriptor(0x7F, {})}}),
           pmt.get());
    EXPECT_EQ(pmt->streams[0].descriptors[0].raw.data[1], 0x08);  // still there
    EXPECT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[0])), "");
    EXPECT_EQ(pmt->streams[1].descriptors[0].raw.data[0], 0x15);
    EXPECT_EQ(Name(TS_StreamCodec(pmt.get(), &pmt->streams[1])), "");
}

// Streams beyond the detailed records are known by their stream_type and the program's
// registration alone.
TEST(Codec, StreamsBeyondTheDetailedRecords) {
    auto pmt = Decode(PmtSection(1, 0x1FFF, kHDMV, {{0x90, 0x101, {}}}));
    EXPECT_EQ(Name(TS_StreamTypeCodec(pmt.get(), 0x90)), "hdmv_pgs_subtitle");
    EXPECT_EQ(Name(TS_StreamTypeCodec(pmt.get(), 0x86)), "dts_hd");
    EXPECT_EQ(Name(TS_StreamTypeCodec(pmt.get(), 0x06)), "");
    auto plain = Decode(PmtSection(1, 0x1FFF, {}, {{0x90, 0x101, {}}}));
    EXPECT_EQ(Name(TS_StreamTypeCodec(plain.get(), 0x90)), "");
    EXPECT_EQ(Name(TS_StreamTypeCodec(plain.get(), 0x86)), "scte_35");
    EXPECT_EQ(Name(TS_StreamTypeCodec(plain.get(), 0x1B)), "h264");
    EXPECT_EQ(TS_StreamTypeCodec(nullptr, 0x1B), TS_CODEC_NONE);
    EXPECT_EQ(TS_StreamCodec(plain.get(), nullptr), TS_CODEC_NONE);
    EXPECT_EQ(TS_StreamCodec(nullptr, &plain->streams[0]), TS_CODEC_NONE);
}

TEST(Codec, NamesAndMedia) {
    std::set<std::string> names;
    for (int c = TS_CODEC_NONE + 1; c < TS_CODEC_COUNT; ++c) {
        const std::string n = Name(static_cast<TS_CodecId>(c));
        EXPECT_TRUE(std::regex_match(n, std::regex("[a-z0-9_]+"))) << c;
        EXPECT_TRUE(names.insert(n).second) << n << " twice";
        EXPECT_NE(TS_CodecMediaOf(static_cast<TS_CodecId>(c)), TS_MEDIA_NONE) << n;
    }
    EXPECT_EQ(TS_CodecName(TS_CODEC_NONE), nullptr);
    EXPECT_EQ(TS_CodecName(TS_CODEC_COUNT), nullptr);
    EXPECT_EQ(TS_CodecName(static_cast<TS_CodecId>(255)), nullptr);
    EXPECT_EQ(TS_CodecMediaOf(static_cast<TS_CodecId>(255)), TS_MEDIA_NONE);
    EXPECT_EQ(TS_CodecMediaOf(TS_CODEC_H264), TS_MEDIA_VIDEO);
    EXPECT_EQ(TS_CodecMediaOf(TS_CODEC_TRUEHD), TS_MEDIA_AUDIO);
    EXPECT_EQ(TS_CodecMediaOf(TS_CODEC_DVB_TELETEXT), TS_MEDIA_SUBTITLE);
    EXPECT_EQ(TS_CodecMediaOf(TS_CODEC_SCTE_35), TS_MEDIA_DATA);
}

// ---------------------------------------------------------------------------------------------
// Dual mono
// ---------------------------------------------------------------------------------------------

struct DualMono {
    int32_t result;
    uint32_t first, second;
};
DualMono DualMonoOf(uint8_t type, const Bytes& descriptors) {
    auto pmt = Decode(PmtSection(1, 0x1FFF, {}, {{type, 0x101, descriptors}}));
    uint32_t languages[2] = {0xDEAD, 0xBEEF};
    const int32_t r = TS_StreamDualMono(pmt.get(), &pmt->streams[0], languages);
    return {r, languages[0], languages[1]};
}

TEST(DualMono, FromTheARIBAudioComponentDescriptor) {
    DualMono m = DualMonoOf(0x0F, AudioComponent(0x02, "jpn", "eng"));
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.first, Code("jpn"));
    EXPECT_EQ(m.second, Code("eng"));
    m = DualMonoOf(0x0F, AudioComponent(0x02, "jpn"));  // one language named
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.first, Code("jpn"));
    EXPECT_EQ(m.second, 0u);
    // Single mono and stereo are not, also with two ISO 639 entries beside them: the
    // descriptor that tells the channel mode decides.
    EXPECT_EQ(DualMonoOf(0x0F, AudioComponent(0x01, "jpn")).result, 0);
    m = DualMonoOf(0x0F, Cat({LanguageDescriptor({{"jpn", 0}, {"eng", 0}}), AudioComponent(0x03, "jpn", "eng")}));
    EXPECT_EQ(m.result, 0);
    EXPECT_EQ(m.first, 0xDEADu);  // untouched
    // Too short to hold its component_type and codes: it decides nothing.
    EXPECT_EQ(DualMonoOf(0x0F, Descriptor(0xC4, {0xF2, 0x02, 0x10})).result, 0);
}

TEST(DualMono, FromTheDVBComponentDescriptor) {
    const Bytes pair = LanguageDescriptor({{"deu", 0}, {"fra", 0}});
    DualMono m = DualMonoOf(0x04, Cat({Component(0x02, 0x02, "deu"), pair}));
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.first, Code("deu"));
    EXPECT_EQ(m.second, Code("fra"));
    m = DualMonoOf(0x04, Component(0x02, 0x02, "ita"));  // its own code only
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.first, Code("ita"));
    EXPECT_EQ(m.second, 0u);
    EXPECT_EQ(DualMonoOf(0x04, Cat({Component(0x02, 0x01, "deu"), pair})).result, 0);  // single mono
    EXPECT_EQ(DualMonoOf(0x04, Cat({Component(0x02, 0x03, "deu"), pair})).result, 0);  // stereo
    // Another stream_content (0x01 video) does not tell the audio mode: the ISO 639 rule does.
    EXPECT_EQ(DualMonoOf(0x04, Cat({Component(0x01, 0x02, "deu"), pair})).result, 1);
    EXPECT_EQ(DualMonoOf(0x04, Component(0x01, 0x02, "deu")).result, 0);
}

TEST(DualMono, FromTwoLanguagesOnOneAudioStream) {
    const Bytes pair = LanguageDescriptor({{"jpn", 0}, {"eng", 0}});
    DualMono m = DualMonoOf(0x0F, pair);
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.first, Code("jpn"));
    EXPECT_EQ(m.second, Code("eng"));
    EXPECT_EQ(DualMonoOf(0x06, Cat({Descriptor(0x6A, {0}), pair})).result, 1);  // DVB AC-3
    EXPECT_EQ(DualMonoOf(0x1B, pair).result, 0);                                // video
    EXPECT_EQ(DualMonoOf(0x06, pair).result, 0);                                // no codec known
    EXPECT_EQ(DualMonoOf(0x06, Cat({Descriptor(0x59, Cat({Text("jpn"), {0x10, 0, 1, 0, 1}})), pair})).result, 0);
    EXPECT_EQ(DualMonoOf(0x0F, LanguageDescriptor({{"jpn", 0}, {"jpn", 1}})).result, 0);  // one language
    EXPECT_EQ(DualMonoOf(0x0F, LanguageDescriptor({{"jpn", 0}})).result, 0);
    EXPECT_EQ(DualMonoOf(0x0F, LanguageDescriptor({{"jpn", 0}, {"eng", 0}, {"fra", 0}})).result, 0);
    // Two descriptors of one entry each are two languages, not a dual-mono pair.
    EXPECT_EQ(DualMonoOf(0x0F, Cat({LanguageDescriptor({{"jpn", 0}}), LanguageDescriptor({{"eng", 0}})})).result, 0);
    auto pmt = Decode(PmtSection(1, 0x1FFF, {}, {{0x0F, 0x101, pair}}));
    uint32_t languages[2];
    EXPECT_EQ(TS_StreamDualMono(pmt.get(), &pmt->streams[0], nullptr), 0);
    EXPECT_EQ(TS_StreamDualMono(nullptr, &pmt->streams[0], languages), 0);
}

// ---------------------------------------------------------------------------------------------
// The commands
// ---------------------------------------------------------------------------------------------

constexpr uint16_t kPMT = 0x1F0, kVideo = 0x111, kAudio = 0x112, kCaption = 0x115;

// An ARIB-style PMT: digital copy control on the program, MPEG-2 video, AAC audio with an
// audio component descriptor, captions.
Bytes AribPmt(const Bytes& audio_component, uint8_t version) {
    return PmtSection(1024, kVideo, Descriptor(0xC1, {0x84, 0xFF}),
                      {{0x02, kVideo, Descriptor(0x52, {0x00})},
                       {0x0F, kAudio, Cat({Descriptor(0x52, {0x10}), audio_component})},
                       {0x06, kCaption, Cat({Descriptor(0x52, {0x30}), Descriptor(0xFD, {0x00, 0x08, 0x3D})})}},
                      version);
}

std::string Hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// A recording whose audio turns dual mono part-way: a new PMT version, a new CRC, a new run.
TEST(DualMonoRecording, SecondRunOnly) {
    const Bytes single = AribPmt(AudioComponent(0x01, "jpn"), 0);
    const Bytes dual = AribPmt(AudioComponent(0x02, "jpn", "eng"), 1);
    Mux m;
    m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
    m.Section(kPMT, single);
    for (int i = 0; i < 6; ++i) m.Es(kVideo, i % 2 == 0), m.Es(kAudio);
    m.Section(0, PatSection(1, {{0, 0x10}, {1024, kPMT}}));
    m.Section(kPMT, dual);
    for (int i = 0; i < 6; ++i) m.Es(kVideo, i % 2 == 0), m.Es(kAudio), m.Es(kCaption);
    ScratchDir dir;
    testfiles::Write(dir / "rec.ts", m.File());
    const std::string file = (dir / "rec.ts").string();

    auto list = RunCommand("velkarin", {file});
    ASSERT_EQ(list.status, 0) << list.err;
    std::regex line("^PMT CRC32:0x([0-9A-F]{8}) size:\\d+MB$");
    std::vector<std::string> crcs;
    std::istringstream in(list.out);
    for (std::string l; std::getline(in, l);) {
        std::smatch mt;
        if (std::regex_match(l, mt, line)) crcs.push_back(mt[1]);
    }
    EXPECT_EQ(crcs, (std::vector<std::string>{Hex8(TrailingU32(single)), Hex8(TrailingU32(dual))})) << list.out;

    auto runs = RunCommand("velkarin-dump", {"--runs", file});
    ASSERT_EQ(runs.status, 0) << runs.err;
    const size_t second = runs.out.find("Run 1:");
    ASSERT_NE(second, std::string::npos) << runs.out;
    const std::string a = runs.out.substr(0, second), b = runs.out.substr(second);
    EXPECT_NE(a.find("  stream PID 0x0112 type 0x0F (ISO/IEC 13818-7 Audio) codec aac languages jpn\n"), std::string::npos) << a;
    EXPECT_EQ(a.find("dual mono"), std::string::npos) << a;
    EXPECT_NE(b.find("  stream PID 0x0112 type 0x0F (ISO/IEC 13818-7 Audio) codec aac dual mono languages jpn eng\n"),
              std::string::npos) << b;
    EXPECT_NE(b.find("  stream PID 0x0111 type 0x02 (ISO/IEC 13818-2 Video) codec mpeg2video\n"), std::string::npos) << b;
    EXPECT_NE(b.find("  stream PID 0x0115 type 0x06 (ISO/IEC 13818-1 PES packets) codec arib_caption\n"), std::string::npos) << b;
    EXPECT_EQ(b.find("dual mono"), b.rfind("dual mono"));  // the audio stream alone

    auto json = RunCommand("velkarin-dump", {"--runs", "--json", file});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string audio = "{\"pid\": 274, \"stream_type\": 15, \"type_name\": \"ISO/IEC 13818-7 Audio\", \"codec\": \"aac\", ";
    const size_t first_run = json.out.find(audio + "\"dual_mono\": false, \"languages\": [\"jpn\"]}");
    const size_t second_run = json.out.find(audio + "\"dual_mono\": true, \"languages\": [\"jpn\", \"eng\"]}");
    EXPECT_NE(first_run, std::string::npos) << json.out;
    EXPECT_NE(second_run, std::string::npos) << json.out;
    EXPECT_LT(first_run, second_run);
    EXPECT_NE(json.out.find("\"type_name\": \"ISO/IEC 13818-2 Video\", \"codec\": \"mpeg2video\", \"dual_mono\": false"),
              std::string::npos);

    // The dump: one codec line after each stream entry the PMT names a codec for.
    auto dump = RunCommand("velkarin-dump", {"--pmt", file});
    EXPECT_NE(dump.out.find("  ST:0x0F(ISO/IEC 13818-7 Audio) EPID:0x0112 ESIL:17 DSC:2\n  CODEC:aac\n  DSC:2\n"),
              std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("[D Audio Component] R1:15 SC:2 CT:2 CTAG:16 ST:15 SGT:255 EMLF:1 MCF:1 QI:1 SR:7 R2:1 "
                            "ILC:6975598 ILC2:6647399\n"),
              std::string::npos);
}

TEST(CodecLines, UnknownCodecsAreLeftOut) {
    // Text: no "codec" word; JSON: null; dump: no CODEC line.
    Mux m;
    m.Section(0, PatSection(1, {{1, 0x100}}));
    m.Section(0x100, PmtSection(1, 0x101, {}, {{0x06, 0x101, Reg("VANC")}, {0x1B, 0x102, {}}}));
    m.Es(0x101, true);
    ScratchDir dir;
    testfiles::Write(dir / "u.ts", m.File());
    const std::string file = (dir / "u.ts").string();
    auto runs = RunCommand("velkarin-dump", {"--runs", file});
    EXPECT_NE(runs.out.find("  stream PID 0x0101 type 0x06 (ISO/IEC 13818-1 PES packets)\n"), std::string::npos) << runs.out;
    EXPECT_NE(runs.out.find("  stream PID 0x0102 type 0x1B (ISO/IEC 14496-10 AVC Video) codec h264\n"), std::string::npos);
    auto json = RunCommand("velkarin-dump", {"--runs", "--json", file});
    EXPECT_NE(json.out.find("{\"pid\": 257, \"stream_type\": 6, \"type_name\": \"ISO/IEC 13818-1 PES packets\", \"codec\": null, "
                            "\"dual_mono\": false, \"languages\": []}"),
              std::string::npos) << json.out;
    auto dump = RunCommand("velkarin-dump", {"--pmt", file});
    EXPECT_NE(dump.out.find("EPID:0x0101 ESIL:6 DSC:1\n  DSC:1\n"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("EPID:0x0102 ESIL:0 DSC:0\n  CODEC:h264\n  DSC:0\n"), std::string::npos);
}

// In the run report the streams beyond the 64 detailed records of a PMT are named from
// their stream_type: their descriptors are not kept.
TEST(CodecLines, StreamsBeyondTheDetailedRecords) {
    // 70 streams in one PMT: the last six lie beyond the records.
    std::vector<Stream> streams;
    for (uint16_t i = 0; i < 70; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x200 + i), {}});
    streams[TS_MAX_STREAMS + 1] = {0x1B, 0x241, {}};
    streams[TS_MAX_STREAMS + 2] = {0x06, 0x242, Descriptor(0x6A, {0})};  // its descriptors are not kept
    streams[TS_MAX_STREAMS + 3] = {0x90, 0x243, {}};
    streams[TS_MAX_STREAMS + 4] = {0x04, 0x244, Descriptor(0x03, {0x10})};  // layer III, unseen
    Mux m;
    m.Section(0, PatSection(1, {{1, 0x100}}));
    m.Section(0x100, PmtSection(1, 0x200, kHDMV, streams));
    m.Es(0x200, true);
    ScratchDir dir;
    testfiles::Write(dir / "wide.ts", m.File());
    static TS_RunReport report;
    ASSERT_EQ(TS_SurveyRuns(&report, (dir / "wide.ts").c_str()), 0);
    ASSERT_EQ(report.run_count, 1);
    const TS_RunInfo& r = report.runs[0];
    ASSERT_EQ(r.stream_count, 70);
    EXPECT_EQ(Name(r.streams[0].codec), "mp2");
    EXPECT_EQ(Name(r.streams[TS_MAX_STREAMS - 1].codec), "mp2");
    EXPECT_EQ(Name(r.streams[TS_MAX_STREAMS + 1].codec), "h264");
    EXPECT_EQ(Name(r.streams[TS_MAX_STREAMS + 2].codec), "");
    EXPECT_EQ(Name(r.streams[TS_MAX_STREAMS + 3].codec), "hdmv_pgs_subtitle");
    EXPECT_EQ(Name(r.streams[TS_MAX_STREAMS + 4].codec), "mp2");
}

// ---------------------------------------------------------------------------------------------
// Against ffprobe
// ---------------------------------------------------------------------------------------------

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// The codecs the dump names per PID, over every PMT it prints ("" for an entry without one).
std::map<uint16_t, std::set<std::string>> DumpCodecs(const std::string& text) {
    std::map<uint16_t, std::set<std::string>> codecs;
    std::istringstream in(text);
    std::regex entry("^  ST:0x[0-9A-F]{2}\\(.*\\) EPID:0x([0-9A-F]{4}) ESIL:\\d+ DSC:\\d+$");
    std::string line, next;
    std::getline(in, line);
    while (in) {
        std::getline(in, next);
        std::smatch m;
        if (std::regex_match(line, m, entry)) {
            const auto pid = static_cast<uint16_t>(std::stoul(m[1], nullptr, 16));
            codecs[pid].insert(next.rfind("  CODEC:", 0) == 0 ? next.substr(8) : "");
        }
        line = next;
    }
    return codecs;
}

struct Probed {
    uint16_t pid;
    std::string codec;
    int sample_rate;  // -1 when ffprobe gives none
};

// What ffprobe names per stream, and for the PIDs whose payload it probed (its log says
// "probed stream N") the score of its last guess.
void FfprobeStreams(const std::string& path, const ScratchDir& dir, std::vector<Probed>& streams,
                    std::map<uint16_t, int>& probed) {
    const std::string log = (dir / "ffprobe.log").string();
    const std::string out = Shell("ffprobe -v debug -show_entries stream=index,id,codec_name,sample_rate -of compact=p=0 '" +
                                  path + "' 2>'" + log + "'");
    std::set<std::pair<uint16_t, std::string>> seen;  // ffprobe lists a program's streams again
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::map<std::string, std::string> kv;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '|');)
            if (auto eq = f.find('='); eq != std::string::npos) kv[f.substr(0, eq)] = f.substr(eq + 1);
        if (!kv.count("id") || kv["id"].empty() || !kv.count("codec_name")) continue;
        const auto pid = static_cast<uint16_t>(std::stoul(kv["id"], nullptr, 16));
        const int rate = kv.count("sample_rate") && !kv["sample_rate"].empty() ? std::stoi(kv["sample_rate"]) : -1;
        if (seen.insert({pid, kv["codec_name"]}).second) streams.push_back({pid, kv["codec_name"], rate});
    }
    std::map<int, uint16_t> pid_of;
    std::map<int, int> score_of;
    int probing = -1;
    std::istringstream lg(testfiles::ReadText(log));
    std::regex stream_line("stream=(\\d+) stream_type=[0-9a-f]+ pid=([0-9a-f]+)"), probing_line("probing stream (\\d+)"),
        score_line("detected \\S+ with score=(\\d+)"), probed_line("probed stream (\\d+)");
    for (std::string line; std::getline(lg, line);) {
        std::smatch m;
        if (std::regex_search(line, m, stream_line)) pid_of[std::stoi(m[1])] = static_cast<uint16_t>(std::stoul(m[2], nullptr, 16));
        else if (std::regex_search(line, m, probing_line)) probing = std::stoi(m[1]);
        else if (std::regex_search(line, m, score_line) && probing >= 0) score_of[probing] = std::stoi(m[1]);
        else if (std::regex_search(line, m, probed_line) && pid_of.count(std::stoi(m[1])))
            probed[pid_of[std::stoi(m[1])]] = score_of.count(std::stoi(m[1])) ? score_of[std::stoi(m[1])] : 0;
    }
}

// Where ours and ffprobe's names agree, with the mappings where we tell more: DTS-HD by its
// stream_type (ffprobe names the DTS core and puts DTS-HD in its profile); TrueHD on a disc
// carries an AC-3 core that ffprobe shows as a second stream on the PID; MPEG audio whose
// frames ffprobe never decoded (sample rate 0) it calls mp3 from the stream_type alone.
bool Agree(const std::string& ours, const Probed& theirs, const std::vector<Probed>& all) {
    if (ours == theirs.codec) return true;
    if (ours == "dts_hd" && theirs.codec == "dts") return true;
    if (ours == "truehd" && theirs.codec == "ac3") {
        for (const Probed& p : all)
            if (p.pid == theirs.pid && p.codec == "truehd") return true;
    }
    if ((ours == "mp1" || ours == "mp2" || ours == "mp3") && theirs.codec == "mp3" && theirs.sample_rate == 0) return true;
    return false;
}

TEST(CodecsAgainstFfprobe, EverySharedStream) {
    if (testfiles::SharedStream("sample.ts").empty()) GTEST_SKIP() << "../shared/streams is absent; skipped";
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffprobe is not installed; skipped";
    std::vector<std::filesystem::path> files;
    for (const char* sub : {"", "real"}) {
        const auto folder = std::filesystem::path(VELKARIN_STREAMS_DIR) / sub;
        if (!std::filesystem::is_directory(folder)) continue;
        for (const auto& e : std::filesystem::directory_iterator(folder))
            if (e.path().extension() == ".ts" || e.path().extension() == ".m2ts") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    uint32_t agreed = 0, mapped = 0, from_payload = 0, unnamed = 0, no_pmt = 0, ours_only = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        ScratchDir dir;
        const auto dump = RunCommand("velkarin-dump", {"--pmt", path.string()});
        const auto ours = DumpCodecs(dump.out);
        std::vector<Probed> streams;
        std::map<uint16_t, int> probed;
        FfprobeStreams(path.string(), dir, streams, probed);
        uint32_t matched = 0;  // ffprobe's streams that are streams of a PMT the dump shows
        for (const Probed& p : streams) {
            SCOPED_TRACE(testing::Message() << "PID 0x" << std::hex << p.pid << " ffprobe " << p.codec);
            const auto it = ours.find(p.pid);
            const bool named = !(p.codec == "unknown" || p.codec == "bin_data" || p.codec.empty());
            if (it == ours.end()) {
                ++no_pmt;  // not a stream of a PMT the dump shows (none intact, or an SI PID)
                continue;
            }
            ++matched;
            if (!named) {
                ++unnamed;
                for (const std::string& c : it->second) ours_only += !c.empty();
                continue;
            }
            bool agree = false, exact = false;
            for (const std::string& c : it->second) {
                agree = agree || Agree(c, p, streams);
                exact = exact || c == p.codec;
            }
            const std::string mine = it->second.begin()->empty() ? "no codec" : *it->second.begin();
            // ffprobe's name is no evidence against the PMT entry where it came from probing
            // the payload, as a weak guess (score below 25 of 100) or where the PMT names no
            // codec at all; each such case is shown.
            const auto guess = probed.find(p.pid);
            if (!agree && guess != probed.end() && (guess->second < 25 || mine == "no codec")) {
                ++from_payload;
                std::printf("  %s PID 0x%04X: ffprobe guessed %s from the payload (score %d); the PMT names %s\n",
                            path.filename().c_str(), p.pid, p.codec.c_str(), guess->second, mine.c_str());
                continue;
            }
            EXPECT_TRUE(agree) << "ours: " << mine;
            if (agree) ++(exact ? agreed : mapped);
        }
        // Not vacuous: where the dump shows a PMT, ffprobe's streams are found among its entries.
        if (!ours.empty() && !streams.empty()) {
            EXPECT_GT(matched, 0u);
        }
    }
    std::printf("codecs against ffprobe, %zu files: %u streams agree, %u through a mapping, %u named by ffprobe "
                "from a probe of the payload, %u unnamed by ffprobe (%u of them named by us), %u outside a PMT the dump shows\n",
                files.size(), agreed, mapped, from_payload, unnamed, ours_only, no_pmt);
    EXPECT_GT(agreed, 0u);
}

}  // namespace
