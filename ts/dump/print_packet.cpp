// Packet and descriptor printers.
//
// Lines are built with ts_detail::Text and written in one piece; the comments give the
// printf format each printer's text follows.
#include <cstdio>
#include <cstring>

#include "dump/text.h"
#include "psi/descriptor_tags.h"
#include "dump/dump.h"
#include "psi/names.h"

using ts_detail::Text;

namespace {

// Byte count of the trailing run of the registration, CA and copyright descriptors:
// descriptor_length - 4 taken as a signed number, and never more than the array holds.
template <size_t N>
uint32_t TrailingCount(uint8_t descriptor_length, const uint8_t (&)[N]) {
    const int32_t n = static_cast<int32_t>(descriptor_length) - 4;
    if (n <= 0) return 0;
    return static_cast<uint32_t>(n) < N ? static_cast<uint32_t>(n) : static_cast<uint32_t>(N);
}

// "%d" of a 32-bit field: values of 2^31 and above print as negative numbers.
int64_t Signed(uint32_t v) { return static_cast<int32_t>(v); }

// "[D %s] T:0x%02X L:%d\n  " and the descriptor_length bytes of `data`.
void AppendRaw(Text& t, const TS_Descriptor& d) {
    t.S("[D ").S(ts_detail::DescriptorTagLabel(d.descriptor_tag)).S("] T:0x").X(d.descriptor_tag, 2);
    t.S(" L:").D(d.descriptor_length).S("\n  ");
    t.ByteList(d.raw.data, d.descriptor_length);  // 255 at most: the array's size
}

// "[D Video stream] MFRF:%d FRC:%d CPF:%d SPF:%d\n", then for MPEG-2 video
// "  PALI:%d CF:%d FREF:%d R:%d\n".
void AppendVideoStream(Text& t, const TS_Descriptor& d) {
    const auto& v = d.video_stream;
    t.S("[D Video stream] MFRF:").D(v.multiple_frame_rate_flag).S(" FRC:").D(v.frame_rate_code);
    t.S(" CPF:").D(v.constrained_parameter_flag).S(" SPF:").D(v.still_picture_flag).S("\n");
    if (v.MPEG_1_only_flag == 0) {
        t.S("  PALI:").D(v.profile_and_level_indication).S(" CF:").D(v.chroma_format);
        t.S(" FREF:").D(v.frame_rate_extension_flag).S(" R:").D(v.reserved).S("\n");
    }
}

// "[D Audio Stream] FFF:%d I:%d L:%d VRAI:%d R:%d\n"
void AppendAudioStream(Text& t, const TS_Descriptor& d) {
    const auto& a = d.audio_stream;
    t.S("[D Audio Stream] FFF:").D(a.free_format_flag).S(" I:").D(a.ID).S(" L:").D(a.layer);
    t.S(" VRAI:").D(a.variable_rate_audio_indicator).S(" R:").D(a.reserved).S("\n");
}

// "[D Hierarchy] R1:%d HT:%d R2:%d HLI:%d R3:%d HELI:%d R4:%d HC:%d\n"
void AppendHierarchy(Text& t, const TS_Descriptor& d) {
    const auto& h = d.hierarchy;
    t.S("[D Hierarchy] R1:").D(h.reserved_1).S(" HT:").D(h.hierarchy_type);
    t.S(" R2:").D(h.reserved_2).S(" HLI:").D(h.hierarchy_layer_index);
    t.S(" R3:").D(h.reserved_3).S(" HELI:").D(h.hierarchy_embedded_layer_index);
    t.S(" R4:").D(h.reserved_4).S(" HC:").D(h.hierarchy_channel).S("\n");
}

// "[D Registration] FI:%d\n  " and the additional identification bytes.
void AppendRegistration(Text& t, const TS_Descriptor& d) {
    const auto& r = d.registration;
    t.S("[D Registration] FI:").D(Signed(r.format_identifier)).S("\n  ");
    t.ByteList(r.additional_identification_info,
               TrailingCount(d.descriptor_length, r.additional_identification_info));
}

// "[D Data stream alignment] AT:%d\n"
void AppendDataStreamAlignment(Text& t, const TS_Descriptor& d) {
    t.S("[D Data stream alignment] AT:").D(d.data_stream_alignment.alignment_type).S("\n");
}

// "[D Target background grid] HS:%d VS:%d ARI:%d\n"
void AppendTargetBackgroundGrid(Text& t, const TS_Descriptor& d) {
    const auto& g = d.target_background_grid;
    t.S("[D Target background grid] HS:").D(g.horizontal_size).S(" VS:").D(g.vertical_size);
    t.S(" ARI:").D(g.aspect_ratio_information).S("\n");
}

// "[D Video window] HO:%d VO:%d WP:%d\n"
void AppendVideoWindow(Text& t, const TS_Descriptor& d) {
    const auto& w = d.video_window;
    t.S("[D Video window] HO:").D(w.horizontal_offset).S(" VO:").D(w.vertical_offset);
    t.S(" WP:").D(w.window_priority).S("\n");
}

// "[D Conditional access] L:%d CASID:%X R:%d CAPID:0x%04X\n  " and the private bytes.
void AppendConditionalAccess(Text& t, const TS_Descriptor& d) {
    const auto& ca = d.conditional_access;
    t.S("[D Conditional access] L:").D(d.descriptor_length).S(" CASID:").X(ca.CA_system_ID);
    t.S(" R:").D(ca.reserved).S(" CAPID:0x").X(ca.CA_PID, 4).S("\n  ");
    t.ByteList(ca.private_data_byte, TrailingCount(d.descriptor_length, ca.private_data_byte));
}

// "[D ISO 639 language]\n", then "  <%d> ILC:%d AT:%d\n" per entry.
void AppendISO639Language(Text& t, const TS_Descriptor& d) {
    t.S("[D ISO 639 language]\n");
    const uint32_t count = TS_Descriptor_LanguageEntries(&d);
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ISO639Language& l = d.ISO_639_language.languages[i];
        t.S("  <").D(i).S("> ILC:").D(Signed(l.ISO_639_language_code)).S(" AT:").D(l.audio_type);
        t.S("\n");
    }
}

// "[D System clock] ECRI:%d R1:%d CAI:%d CAE:%d R2:%d\n"
void AppendSystemClock(Text& t, const TS_Descriptor& d) {
    const auto& c = d.system_clock;
    t.S("[D System clock] ECRI:").D(c.external_clock_reference_indicator);
    t.S(" R1:").D(c.reserved_1).S(" CAI:").D(c.clock_accuracy_integer);
    t.S(" CAE:").D(c.clock_accuracy_exponent).S(" R2:").D(c.reserved_2).S("\n");
}

// "[D Multiplex buffer utilization] BVF:%d LOLB:%d R:%d LOUB:%d\n"
void AppendMultiplexBufferUtilization(Text& t, const TS_Descriptor& d) {
    const auto& m = d.multiplex_buffer_utilization;
    t.S("[D Multiplex buffer utilization] BVF:").D(m.bound_valid_flag);
    t.S(" LOLB:").D(m.LTW_offset_lower_bound).S(" R:").D(m.reserved);
    t.S(" LOUB:").D(m.LTW_offset_upper_bound).S("\n");
}

// "[D Copyright] CI:%d\n  " and the additional copyright bytes.
void AppendCopyright(Text& t, const TS_Descriptor& d) {
    const auto& c = d.copyright;
    t.S("[D Copyright] CI:").D(Signed(c.copyright_identifier)).S("\n  ");
    t.ByteList(c.additional_copyright_info,
               TrailingCount(d.descriptor_length, c.additional_copyright_info));
}

// "[D Maximum bitrate] R:%d MB:%d\n"
void AppendMaximumBitrate(Text& t, const TS_Descriptor& d) {
    const auto& m = d.maximum_bitrate;
    t.S("[D Maximum bitrate] R:").D(m.reserved).S(" MB:").D(Signed(m.maximum_bitrate)).S("\n");
}

// "[D Private data indicator] PD:%d\n"
void AppendPrivateDataIndicator(Text& t, const TS_Descriptor& d) {
    t.S("[D Private data indicator] PD:");
    t.D(Signed(d.private_data_indicator.private_data_indicator)).S("\n");
}

// "[D Smoothing buffer] R1:%d SLR:%d R2:%d SS:%d\n"
void AppendSmoothingBuffer(Text& t, const TS_Descriptor& d) {
    const auto& s = d.smoothing_buffer;
    t.S("[D Smoothing buffer] R1:").D(s.reserved_1).S(" SLR:").D(Signed(s.sb_leak_rate));
    t.S(" R2:").D(s.reserved_2).S(" SS:").D(Signed(s.sb_size)).S("\n");
}

// "[D STD] R:%d LVF:%d\n"
void AppendSTD(Text& t, const TS_Descriptor& d) {
    t.S("[D STD] R:").D(d.STD.reserved).S(" LVF:").D(d.STD.leak_valid_flag).S("\n");
}

// "[D IBP] CGF:%d IGF:%d MGL:%d\n"
void AppendIBP(Text& t, const TS_Descriptor& d) {
    const auto& b = d.IBP;
    t.S("[D IBP] CGF:").D(b.closed_gop_flag).S(" IGF:").D(b.identical_gop_flag);
    t.S(" MGL:").D(b.max_gop_length).S("\n");
}

// Text bytes held of a descriptor whose text follows `fixed` bytes of fields: what its
// descriptor_length leaves, never more than the record's array.
template <size_t N>
uint32_t TextCount(uint8_t descriptor_length, uint32_t fixed, const uint8_t (&)[N]) {
    if (descriptor_length <= fixed) return 0;
    const uint32_t n = descriptor_length - fixed;
    return n < N ? n : static_cast<uint32_t>(N);
}

// "[D Component] SCE:%d SC:%d CT:%d CTAG:%d ILC:%d\n  " and the text bytes; a descriptor
// too short for those fields was kept raw and prints so.
void AppendComponent(Text& t, const TS_Descriptor& d) {
    if (d.descriptor_length < TS_COMPONENT_FIXED) return AppendRaw(t, d);
    const auto& c = d.component;
    t.S("[D Component] SCE:").D(c.stream_content_ext).S(" SC:").D(c.stream_content);
    t.S(" CT:").D(c.component_type).S(" CTAG:").D(c.component_tag);
    t.S(" ILC:").D(Signed(c.ISO_639_language_code)).S("\n  ");
    t.ByteList(c.text_char, TextCount(d.descriptor_length, 6, c.text_char));
}

// "[D Audio Component] R1:%d SC:%d CT:%d CTAG:%d ST:%d SGT:%d EMLF:%d MCF:%d QI:%d SR:%d
// R2:%d ILC:%d ILC2:%d\n  " and the text bytes; one too short for its fields was kept raw
// and prints so.
void AppendAudioComponent(Text& t, const TS_Descriptor& d) {
    if (d.descriptor_length < TS_AUDIO_COMPONENT_FIXED) return AppendRaw(t, d);
    const auto& a = d.audio_component;
    t.S("[D Audio Component] R1:").D(a.reserved_future_use_1).S(" SC:").D(a.stream_content);
    t.S(" CT:").D(a.component_type).S(" CTAG:").D(a.component_tag).S(" ST:").D(a.stream_type);
    t.S(" SGT:").D(a.simulcast_group_tag).S(" EMLF:").D(a.ES_multi_lingual_flag);
    t.S(" MCF:").D(a.main_component_flag).S(" QI:").D(a.quality_indicator);
    t.S(" SR:").D(a.sampling_rate).S(" R2:").D(a.reserved_future_use_2);
    t.S(" ILC:").D(Signed(a.ISO_639_language_code)).S(" ILC2:").D(Signed(a.ISO_639_language_code_2));
    t.S("\n  ");
    const uint32_t fixed = TS_AUDIO_COMPONENT_FIXED + (a.ES_multi_lingual_flag ? 3u : 0u);
    t.ByteList(a.text_char, TextCount(d.descriptor_length, fixed, a.text_char));
}

using Appender = void (*)(Text&, const TS_Descriptor&);

// The printer of each tag with a decoded body; null for the raw ones.
constexpr struct AppenderTable {
    Appender by_tag[256];
    constexpr AppenderTable() : by_tag() {
#define TS_APPENDER(tag, name, label) by_tag[tag] = Append##name;
        TS_DESCRIPTOR_TAGS(TS_APPENDER)
#undef TS_APPENDER
    }
} kAppenders;

// One tag printer: its own tag only.
int32_t PrintTagged(const TS_Descriptor* d, uint8_t tag) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != tag) return -2;
    Text t;
    kAppenders.by_tag[tag](t, *d);
    return 0;
}

}  // namespace

namespace ts_detail {

// "[TS Packet]" or "[TS Packet Header]", then
// " TEI:%d PUSI:%d TP:%d PID:0x%04X(%s) TSC:%d AFC:%d CN:%d\n".
// Digits come from small tables; the part that depends on the PID alone ("%04X(%s) TSC:")
// is made once per PID and kept in a small cache, since a stream has few PIDs.
namespace {

// "%d" of an 8-bit field.
char* Decimal8(char* out, uint8_t v) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v >= 100) {
        *out++ = static_cast<char>('0' + v / 100);
        v = static_cast<uint8_t>(v % 100);
    }
    out[0] = kPairs[2 * v];
    out[1] = kPairs[2 * v + 1];
    return out + 2;
}

struct PIDPart {
    uint16_t pid = TS_NO_PID;
    uint8_t length = 0;
    char text[53];
};
static_assert(sizeof "FFFF() TSC:" - 1 + 40 < sizeof PIDPart::text);
// The longest lead before the PID part, and the fixed copy of the part, fit the line's room.
static_assert(sizeof "[TS Packet Header] TEI:255 PUSI:255 TP:255 PID:0x" - 1 + sizeof PIDPart::text <=
              kPacketLineMax);

const PIDPart& PartOfPID(uint16_t pid) {
    static PIDPart cache[64];
    PIDPart& part = cache[pid & 63];
    if (part.pid == pid && part.length) return part;
    static constexpr char kHex[] = "0123456789ABCDEF";
    char* p = part.text;
    for (int shift = 12; shift >= 0; shift -= 4) *p++ = kHex[(pid >> shift) & 0xF];
    *p++ = '(';
    const char* label = PIDLabel(pid);
    size_t n = std::strlen(label);
    if (n > 40) n = 40;  // the labels are far shorter
    std::memcpy(p, label, n);
    p += n;
    std::memcpy(p, ") TSC:", 6);
    p += 6;
    part.pid = pid;
    part.length = static_cast<uint8_t>(p - part.text);
    return part;
}

template <size_t N>
char* Put(char* out, const char (&s)[N]) {
    std::memcpy(out, s, N - 1);
    return out + N - 1;
}

}  // namespace

size_t FormatPacketLine(char* out, const TS_Header& h, bool header_only) {
    char* p = header_only ? Put(out, "[TS Packet Header] TEI:") : Put(out, "[TS Packet] TEI:");
    p = Decimal8(p, h.transport_error_indicator);
    p = Put(p, " PUSI:");
    p = Decimal8(p, h.payload_unit_start_indicator);
    p = Put(p, " TP:");
    p = Decimal8(p, h.transport_priority);
    p = Put(p, " PID:0x");
    // The whole of the cached part is copied (a fixed size copies faster); what lies past its
    // length is written over by what follows.
    const PIDPart& part = PartOfPID(h.PID);
    std::memcpy(p, part.text, sizeof part.text);
    p += part.length;
    p = Decimal8(p, h.transport_scrambling_control);
    p = Put(p, " AFC:");
    p = Decimal8(p, h.adaptation_field_control);
    p = Put(p, " CN:");
    p = Decimal8(p, h.continuity_counter);
    *p++ = '\n';
    return static_cast<size_t>(p - out);
}

void AppendPacketLine(Text& t, const TS_Header& h, bool header_only) {
    t.Commit(FormatPacketLine(t.Reserve(kPacketLineMax), h, header_only));
}

void AppendDescriptor(Text& t, const TS_Descriptor& d) {
    if (Appender append = kAppenders.by_tag[d.descriptor_tag]) append(t, d);
    else AppendRaw(t, d);
}

}  // namespace ts_detail

int32_t TS_Packet_PrintHeader(const TS_Header* header) {
    if (header == nullptr) return -1;
    Text t;
    ts_detail::AppendPacketLine(t, *header, true);
    return 0;
}

int32_t TS_Packet_Print(const TS_Packet* packet) {
    if (packet == nullptr) return -1;
    {
        Text t;
        ts_detail::AppendPacketLine(t, *packet, false);
    }
    if (packet->adaptation_field_control & 0x2)
        TS_Packet_PrintAdaptationField(&packet->adaptation_field);
    return 0;
}

void TS_Packet_PrintAdaptationField(const TS_AdaptationField*) {
    // The dump does not show adaptation fields.
}

int32_t TS_Packet_Print_RAW(const uint8_t* bytes) {
    if (bytes == nullptr) return -1;
    // "[TS Packet]\n  Header: " and bytes 0 to 4, then "\n  Section:\n  " and bytes 5 to 187
    // with a line break after each offset 15 mod 16.
    Text t;
    t.S("[TS Packet]\n  Header: ");
    for (uint32_t i = 0; i < 5; ++i) t.S("0x").X(bytes[i], 2).S(", ");
    t.S("\n  Section:\n  ");
    for (uint32_t i = 5; i < TS_PACKET_SIZE; ++i) {
        t.S("0x").X(bytes[i], 2).S(", ");
        if (i % 16 == 15) t.S("\n  ");
    }
    t.S("\n");
    return 0;
}

int32_t TS_Descriptor_Print(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    Text t;
    ts_detail::AppendDescriptor(t, *d);
    return 0;
}

int32_t TS_Descriptor_PrintRAW(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    Text t;
    AppendRaw(t, *d);
    return 0;
}

#define TS_PRINTER(tag, name, label) \
    int32_t TS_Descriptor_Print##name(const TS_Descriptor* d) { return PrintTagged(d, tag); }
TS_DESCRIPTOR_TAGS(TS_PRINTER)
#undef TS_PRINTER
