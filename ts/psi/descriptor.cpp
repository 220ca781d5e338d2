// Descriptor decoding (ISO/IEC 13818-1 2.6): tags 2 to 18, the DVB component descriptor and
// the ARIB audio component descriptor into their bodies, every other tag as raw bytes.
// `available` bounds every read to the section the descriptor lies in.
#include "core/reader.h"
#include "psi/descriptor_tags.h"
#include "psi/psi.h"

using ts_detail::ByteReader;

namespace {

// Checks the tag, fills tag and length, and returns a reader over the body: the bytes after
// the two header bytes, up to the end of the section.
bool Begin(TS_Descriptor* d, const uint8_t* bytes, uint16_t available, uint8_t tag, ByteReader& body) {
    if (available < 1 || bytes[0] != tag) return false;
    ByteReader r(bytes, available);
    d->descriptor_tag = r.u8();
    d->descriptor_length = r.u8();
    body = r.sub(r.remaining());
    return true;
}

// Bytes of the trailing run of tags 5, 9 and 13: descriptor_length - 4, never negative.
uint32_t TrailingLength(const TS_Descriptor* d) {
    return d->descriptor_length >= 4 ? d->descriptor_length - 4u : 0u;
}

// The result of a decoder: its reads must have stayed within the bytes available.
int32_t Finished(const ByteReader& body) { return body.overrun ? TS_DESCRIPTOR_OVERRUN : 0; }

// The body of a descriptor read within its own descriptor_length: a reader over the bytes it
// claims, clamped to those available. `whole`: the claimed bytes are all there.
ByteReader Claimed(const TS_Descriptor* d, ByteReader& body, bool& whole) {
    whole = body.remaining() >= d->descriptor_length;
    return body.sub(d->descriptor_length);
}

}  // namespace

#define TS_DESCRIPTOR_BEGIN(tag)                                   \
    if (d == nullptr || bytes == nullptr) return -1;               \
    ByteReader b(nullptr, 0);                                      \
    if (!Begin(d, bytes, available, tag, b)) return -2

int32_t TS_Descriptor_GetVideoStream(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(2);
    auto& v = d->video_stream;
    uint8_t x = b.u8();
    v.multiple_frame_rate_flag = x >> 7;
    v.frame_rate_code = (x >> 3) & 0x0F;
    v.MPEG_1_only_flag = (x >> 2) & 1;
    v.constrained_parameter_flag = (x >> 1) & 1;
    v.still_picture_flag = x & 1;
    if (v.MPEG_1_only_flag == 0) {
        v.profile_and_level_indication = b.u8();
        uint8_t y = b.u8();
        v.chroma_format = y >> 6;
        v.frame_rate_extension_flag = (y >> 5) & 1;
        v.reserved = y & 0x1F;
    }
    return Finished(b);
}

int32_t TS_Descriptor_GetAudioStream(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(3);
    auto& a = d->audio_stream;
    uint8_t x = b.u8();
    a.free_format_flag = x >> 7;
    a.ID = (x >> 6) & 1;
    a.layer = (x >> 4) & 3;
    a.variable_rate_audio_indicator = (x >> 3) & 1;
    a.reserved = x & 7;
    return Finished(b);
}

int32_t TS_Descriptor_GetHierarchy(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(4);
    auto& h = d->hierarchy;
    uint8_t x = b.u8(), y = b.u8(), z = b.u8(), w = b.u8();
    h.reserved_1 = x >> 4;
    h.hierarchy_type = x & 0x0F;
    h.reserved_2 = y >> 6;
    h.hierarchy_layer_index = y & 0x3F;
    h.reserved_3 = z >> 6;
    h.hierarchy_embedded_layer_index = z & 0x3F;
    h.reserved_4 = w >> 6;
    h.hierarchy_channel = w & 0x3F;
    return Finished(b);
}

int32_t TS_Descriptor_GetRegistration(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(5);
    d->registration.format_identifier = b.u32();
    b.copy(d->registration.additional_identification_info, TrailingLength(d),
           sizeof d->registration.additional_identification_info);
    return Finished(b);
}

int32_t TS_Descriptor_GetDataStreamAlignment(TS_Descriptor* d, const uint8_t* bytes,
                                             uint16_t available) {
    TS_DESCRIPTOR_BEGIN(6);
    d->data_stream_alignment.alignment_type = b.u8();
    return Finished(b);
}

// Tags 7 and 8 share one layout: 14 bits, 14 bits, 4 bits.
static void ReadGrid(ByteReader& b, uint16_t& first, uint16_t& second, uint8_t& last) {
    uint32_t v = b.u32();
    first = static_cast<uint16_t>(v >> 18);
    second = static_cast<uint16_t>((v >> 4) & 0x3FFF);
    last = static_cast<uint8_t>(v & 0x0F);
}

int32_t TS_Descriptor_GetTargetBackgroundGrid(TS_Descriptor* d, const uint8_t* bytes,
                                              uint16_t available) {
    TS_DESCRIPTOR_BEGIN(7);
    auto& g = d->target_background_grid;
    ReadGrid(b, g.horizontal_size, g.vertical_size, g.aspect_ratio_information);
    return Finished(b);
}

int32_t TS_Descriptor_GetVideoWindow(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(8);
    auto& w = d->video_window;
    ReadGrid(b, w.horizontal_offset, w.vertical_offset, w.window_priority);
    return Finished(b);
}

int32_t TS_Descriptor_GetConditionalAccess(TS_Descriptor* d, const uint8_t* bytes,
                                           uint16_t available) {
    TS_DESCRIPTOR_BEGIN(9);
    auto& c = d->conditional_access;
    c.CA_system_ID = b.u16();
    uint16_t v = b.u16();
    c.reserved = static_cast<uint8_t>(v >> 13);
    c.CA_PID = v & 0x1FFF;
    b.copy(c.private_data_byte, TrailingLength(d), sizeof c.private_data_byte);
    return Finished(b);
}

int32_t TS_Descriptor_GetISO639Language(TS_Descriptor* d, const uint8_t* bytes,
                                        uint16_t available) {
    TS_DESCRIPTOR_BEGIN(10);
    const uint32_t count = TS_Descriptor_LanguageEntries(d);
    for (uint32_t i = 0; i < count; ++i) {
        d->ISO_639_language.languages[i].ISO_639_language_code = b.u24();
        d->ISO_639_language.languages[i].audio_type = b.u8();
    }
    return Finished(b);
}

int32_t TS_Descriptor_GetSystemClock(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(11);
    auto& s = d->system_clock;
    uint8_t x = b.u8(), y = b.u8();
    s.external_clock_reference_indicator = x >> 7;
    s.reserved_1 = (x >> 6) & 1;
    s.clock_accuracy_integer = x & 0x3F;
    s.clock_accuracy_exponent = y >> 5;
    s.reserved_2 = y & 0x1F;
    return Finished(b);
}

int32_t TS_Descriptor_GetMultiplexBufferUtilization(TS_Descriptor* d, const uint8_t* bytes,
                                                    uint16_t available) {
    TS_DESCRIPTOR_BEGIN(12);
    auto& m = d->multiplex_buffer_utilization;
    uint16_t lower = b.u16(), upper = b.u16();
    m.bound_valid_flag = static_cast<uint8_t>(lower >> 15);
    m.LTW_offset_lower_bound = lower & 0x7FFF;
    m.reserved = static_cast<uint8_t>(upper >> 15);
    m.LTW_offset_upper_bound = upper & 0x7FFF;
    return Finished(b);
}

int32_t TS_Descriptor_GetCopyright(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(13);
    d->copyright.copyright_identifier = b.u32();
    b.copy(d->copyright.additional_copyright_info, TrailingLength(d),
           sizeof d->copyright.additional_copyright_info);
    return Finished(b);
}

int32_t TS_Descriptor_GetMaximumBitrate(TS_Descriptor* d, const uint8_t* bytes,
                                        uint16_t available) {
    TS_DESCRIPTOR_BEGIN(14);
    uint32_t v = b.u24();
    d->maximum_bitrate.reserved = static_cast<uint8_t>(v >> 22);
    d->maximum_bitrate.maximum_bitrate = v & 0x3FFFFF;
    return Finished(b);
}

int32_t TS_Descriptor_GetPrivateDataIndicator(TS_Descriptor* d, const uint8_t* bytes,
                                              uint16_t available) {
    TS_DESCRIPTOR_BEGIN(15);
    d->private_data_indicator.private_data_indicator = b.u32();
    return Finished(b);
}

int32_t TS_Descriptor_GetSmoothingBuffer(TS_Descriptor* d, const uint8_t* bytes,
                                         uint16_t available) {
    TS_DESCRIPTOR_BEGIN(16);
    auto& s = d->smoothing_buffer;
    uint32_t leak = b.u24(), size = b.u24();
    s.reserved_1 = static_cast<uint8_t>(leak >> 22);
    s.sb_leak_rate = leak & 0x3FFFFF;
    s.reserved_2 = static_cast<uint8_t>(size >> 22);
    s.sb_size = size & 0x3FFFFF;
    return Finished(b);
}

int32_t TS_Descriptor_GetSTD(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(17);
    uint8_t x = b.u8();
    d->STD.reserved = x & 0xFE;  // the seven reserved bits stay in place
    d->STD.leak_valid_flag = x & 1;
    return Finished(b);
}

int32_t TS_Descriptor_GetIBP(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(18);
    uint16_t v = b.u16();
    d->IBP.closed_gop_flag = static_cast<uint8_t>(v >> 15);
    d->IBP.identical_gop_flag = (v >> 14) & 1;
    d->IBP.max_gop_length = v & 0x3FFF;
    return Finished(b);
}

int32_t TS_Descriptor_GetComponent(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(0x50);
    if (d->descriptor_length < TS_COMPONENT_FIXED) return TS_Descriptor_GetRAW(d, bytes, available);
    bool whole = false;
    ByteReader c = Claimed(d, b, whole);
    auto& m = d->component;
    const uint8_t x = c.u8();
    m.stream_content_ext = x >> 4;
    m.stream_content = x & 0x0F;
    m.component_type = c.u8();
    m.component_tag = c.u8();
    m.ISO_639_language_code = c.u24();
    c.copy(m.text_char, c.remaining(), sizeof m.text_char);
    return whole ? 0 : TS_DESCRIPTOR_OVERRUN;
}

int32_t TS_Descriptor_GetAudioComponent(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    TS_DESCRIPTOR_BEGIN(0xC4);
    if (d->descriptor_length < TS_AUDIO_COMPONENT_FIXED) return TS_Descriptor_GetRAW(d, bytes, available);
    bool whole = false;
    ByteReader c = Claimed(d, b, whole);
    auto& a = d->audio_component;
    const uint8_t x = c.u8();
    a.reserved_future_use_1 = x >> 4;
    a.stream_content = x & 0x0F;
    a.component_type = c.u8();
    a.component_tag = c.u8();
    a.stream_type = c.u8();
    a.simulcast_group_tag = c.u8();
    const uint8_t y = c.u8();
    a.ES_multi_lingual_flag = y >> 7;
    a.main_component_flag = (y >> 6) & 1;
    a.quality_indicator = (y >> 4) & 3;
    a.sampling_rate = (y >> 1) & 7;
    a.reserved_future_use_2 = y & 1;
    a.ISO_639_language_code = c.u24();
    a.ISO_639_language_code_2 = 0;
    if (a.ES_multi_lingual_flag) {
        if (c.has(3)) a.ISO_639_language_code_2 = c.u24();
        else c.skip(c.remaining());  // a code cut short is none, nor text
    }
    c.copy(a.text_char, c.remaining(), sizeof a.text_char);
    return whole ? 0 : TS_DESCRIPTOR_OVERRUN;
}

int32_t TS_Descriptor_GetRAW(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    if (d == nullptr || bytes == nullptr) return -1;
    if (available < 1) return -2;
    ByteReader r(bytes, available);
    d->descriptor_tag = r.u8();
    d->descriptor_length = r.u8();
    r.copy(d->raw.data, d->descriptor_length, sizeof d->raw.data);
    return r.overrun ? TS_DESCRIPTOR_OVERRUN : 0;
}

using Decoder = int32_t (*)(TS_Descriptor*, const uint8_t*, uint16_t);

// The decoder of each tag: the list's own, the raw copy for every other tag.
static constexpr struct DecoderTable {
    Decoder by_tag[256];
    constexpr DecoderTable() : by_tag() {
        for (Decoder& d : by_tag) d = TS_Descriptor_GetRAW;
#define TS_DECODER(tag, name, label) by_tag[tag] = TS_Descriptor_Get##name;
        TS_DESCRIPTOR_TAGS(TS_DECODER)
#undef TS_DECODER
    }
} kDecoders;

int32_t TS_GetDescriptor(TS_Descriptor* d, const uint8_t* bytes, uint16_t available) {
    if (d == nullptr || bytes == nullptr) return -1;
    if (available < 1) return 0;
    return kDecoders.by_tag[bytes[0]](d, bytes, available) == TS_DESCRIPTOR_OVERRUN ? TS_DESCRIPTOR_OVERRUN : 0;
}

uint32_t TS_Descriptor_LanguageEntries(const TS_Descriptor* d) {
    if (d == nullptr) return 0;
    const uint32_t count = d->descriptor_length / 4u;  // four bytes an entry
    return count < TS_MAX_LANGUAGES ? count : TS_MAX_LANGUAGES;
}

TS_LanguageSource TS_Descriptor_LanguageSource(const TS_Descriptor* d) {
    if (d == nullptr) return TS_LANGUAGE_NONE;
    switch (d->descriptor_tag) {
        case 0x0A: return TS_LANGUAGE_ISO_639;
        case 0x59: return TS_LANGUAGE_SUBTITLING;
        case 0x56: return TS_LANGUAGE_TELETEXT;
        case 0x7F:  // extension descriptor: the supplementary audio descriptor is extension 0x06
            return d->descriptor_length >= 1 && d->raw.data[0] == 0x06 ? TS_LANGUAGE_SUPPLEMENTARY
                                                                        : TS_LANGUAGE_NONE;
        case 0xC4: return TS_LANGUAGE_AUDIO_COMPONENT;
        case 0x50: return TS_LANGUAGE_COMPONENT;
        default: return TS_LANGUAGE_NONE;
    }
}

uint32_t TS_Descriptor_GetLanguages(const TS_Descriptor* d, uint32_t* codes, uint32_t capacity) {
    if (d == nullptr || codes == nullptr) return 0;
    const uint8_t* data = d->raw.data;
    auto code_at = [data](uint32_t at) {
        return (uint32_t{data[at]} << 16) | (uint32_t{data[at + 1]} << 8) | data[at + 2];
    };
    uint32_t n = 0;
    switch (TS_Descriptor_LanguageSource(d)) {
        case TS_LANGUAGE_ISO_639: {
            const uint32_t count = TS_Descriptor_LanguageEntries(d);
            for (uint32_t i = 0; i < count && n < capacity; ++i)
                codes[n++] = d->ISO_639_language.languages[i].ISO_639_language_code;
            break;
        }
        case TS_LANGUAGE_SUBTITLING:  // 8-byte entries: language, type, two page ids
            for (uint32_t at = 0; at + 8 <= d->descriptor_length && n < capacity; at += 8) codes[n++] = code_at(at);
            break;
        case TS_LANGUAGE_TELETEXT:  // 5-byte entries: language, type and magazine, page
            for (uint32_t at = 0; at + 5 <= d->descriptor_length && n < capacity; at += 5) codes[n++] = code_at(at);
            break;
        case TS_LANGUAGE_SUPPLEMENTARY:  // extension tag, flags ending in language_code_present
            if (d->descriptor_length >= 5 && (data[1] & 1) && n < capacity) codes[n++] = code_at(2);
            break;
        case TS_LANGUAGE_AUDIO_COMPONENT: {  // the code, then the second one when flagged
            if (d->descriptor_length < TS_AUDIO_COMPONENT_FIXED) break;  // kept raw
            const auto& a = d->audio_component;
            if (n < capacity) codes[n++] = a.ISO_639_language_code;
            if (a.ES_multi_lingual_flag && d->descriptor_length >= TS_AUDIO_COMPONENT_FIXED + 3 && n < capacity)
                codes[n++] = a.ISO_639_language_code_2;
            break;
        }
        case TS_LANGUAGE_COMPONENT:
            if (d->descriptor_length >= TS_COMPONENT_FIXED && n < capacity)
                codes[n++] = d->component.ISO_639_language_code;
            break;
        default: break;
    }
    return n;
}
