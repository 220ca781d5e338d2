// The component descriptors that tell an audio stream's channel mode (DVB 0x50, ARIB 0xC4):
// their decoding within their length, printing and languages.
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

}  // namespace
