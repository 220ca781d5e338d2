// Codecs of elementary streams and dual mono, by the rules of codec.h. Every descriptor is
// read from its decoded record, and a field only when descriptor_length covers it.
#include "psi/codec.h"

namespace {

constexpr uint32_t FourCC(const char (&s)[5]) {
    return (uint32_t{static_cast<uint8_t>(s[0])} << 24) | (uint32_t{static_cast<uint8_t>(s[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[2])} << 8) | static_cast<uint8_t>(s[3]);
}

constexpr struct CodecEntry {
    const char* name;
    TS_CodecMedia media;
} kCodecs[] = {
    {nullptr, TS_MEDIA_NONE},
#define TS_CODEC_ENTRY(id, name, media) {name, TS_MEDIA_##media},
    TS_CODECS(TS_CODEC_ENTRY)
#undef TS_CODEC_ENTRY
};
static_assert(sizeof kCodecs / sizeof kCodecs[0] == TS_CODEC_COUNT);

uint32_t Clamp(uint32_t count, uint32_t capacity) { return count < capacity ? count : capacity; }

// What the program (and the stream) tell about the system the stream_types belong to.
struct Context {
    bool hdmv = false;  // registration "HDMV": the Blu-ray stream_types
    bool atsc = false;  // registration "GA94": the ATSC descriptors
};

// The format_identifier of a registration descriptor long enough to hold one; 0 otherwise.
uint32_t Registration(const TS_Descriptor& d) {
    return d.descriptor_tag == 0x05 && d.descriptor_length >= 4 ? d.registration.format_identifier : 0;
}

void AddRegistrations(Context& c, const TS_Descriptor* descriptors, uint32_t count) {
    for (uint32_t i = 0; i < Clamp(count, TS_MAX_DESCRIPTORS); ++i) {
        const uint32_t id = Registration(descriptors[i]);
        if (id == FourCC("HDMV")) c.hdmv = true;
        if (id == FourCC("GA94")) c.atsc = true;
    }
}

// Rules 1 to 3: the stream_type alone, in the system the context names.
TS_CodecId FromStreamType(uint8_t stream_type, const Context& c) {
    switch (stream_type) {
        case 0x01: return TS_CODEC_MPEG1VIDEO;
        case 0x02: return TS_CODEC_MPEG2VIDEO;
        case 0x03:
        case 0x04: return TS_CODEC_MP2;
        case 0x0F: return TS_CODEC_AAC;
        case 0x10: return TS_CODEC_MPEG4;
        case 0x11: return TS_CODEC_AAC_LATM;
        case 0x1B: return TS_CODEC_H264;
        case 0x24: return TS_CODEC_HEVC;
        case 0x2D: return TS_CODEC_MPEGH_3D_AUDIO;
        case 0x33: return TS_CODEC_VVC;
        default: break;
    }
    if (c.hdmv) {
        switch (stream_type) {
            case 0x80: return TS_CODEC_PCM_BLURAY;
            case 0x81: return TS_CODEC_AC3;
            case 0x82: return TS_CODEC_DTS;
            case 0x83: return TS_CODEC_TRUEHD;
            case 0x84:
            case 0xA1: return TS_CODEC_EAC3;
            case 0x85:
            case 0x86:
            case 0xA2: return TS_CODEC_DTS_HD;
            case 0x90: return TS_CODEC_HDMV_PGS_SUBTITLE;
            case 0x91: return TS_CODEC_HDMV_IGS;
            case 0x92: return TS_CODEC_HDMV_TEXT_SUBTITLE;
            case 0xEA: return TS_CODEC_VC1;
            default: return TS_CODEC_NONE;
        }
    }
    switch (stream_type) {
        case 0x81: return TS_CODEC_AC3;
        case 0x86: return TS_CODEC_SCTE_35;
        case 0x87: return TS_CODEC_EAC3;
        default: return TS_CODEC_NONE;
    }
}

TS_CodecId FromRegistration(uint32_t id) {
    if (id == FourCC("AC-3")) return TS_CODEC_AC3;
    if (id == FourCC("EAC3")) return TS_CODEC_EAC3;
    if (id == FourCC("AC-4")) return TS_CODEC_AC4;
    if (id == FourCC("DTS1") || id == FourCC("DTS2") || id == FourCC("DTS3")) return TS_CODEC_DTS;
    if (id == FourCC("HEVC")) return TS_CODEC_HEVC;
    if (id == FourCC("Opus")) return TS_CODEC_OPUS;
    if (id == FourCC("VC-1")) return TS_CODEC_VC1;
    return TS_CODEC_NONE;
}

// The DVB, ARIB and ATSC descriptors of PES private data (stream_type 0x06).
TS_CodecId FromPrivateDataDescriptor(const TS_Descriptor& d, const Context& c) {
    const uint8_t* body = d.raw.data;
    switch (d.descriptor_tag) {
        case 0x6A: return TS_CODEC_AC3;
        case 0x7A: return TS_CODEC_EAC3;
        case 0x7B: return TS_CODEC_DTS;
        case 0x7C: return TS_CODEC_AAC;
        case 0x7F:  // extension descriptor: descriptor_tag_extension first
            if (d.descriptor_length < 1) return TS_CODEC_NONE;
            if (body[0] == 0x15) return TS_CODEC_AC4;
            if (body[0] == 0x0E) return TS_CODEC_DTS_HD;
            return TS_CODEC_NONE;
        case 0x59: return TS_CODEC_DVB_SUBTITLE;
        case 0x56:
        case 0x46: return TS_CODEC_DVB_TELETEXT;
        case 0xFD:  // data component descriptor: data_component_id first
            return d.descriptor_length >= 2 && body[0] == 0x00 && body[1] == 0x08 ? TS_CODEC_ARIB_CAPTION
                                                                                   : TS_CODEC_NONE;
        case 0x81: return c.atsc ? TS_CODEC_AC3 : TS_CODEC_NONE;
        case 0xCC: return c.atsc ? TS_CODEC_EAC3 : TS_CODEC_NONE;
        default: return TS_CODEC_NONE;
    }
}

// The audio_stream_descriptor's layer (coded as in ISO/IEC 11172-3: 3 layer I, 2 layer II,
// 1 layer III) refines MPEG audio.
TS_CodecId MPEGAudioLayer(const TS_StreamInfo& s) {
    for (uint32_t i = 0; i < Clamp(s.descriptor_count, TS_MAX_DESCRIPTORS); ++i) {
        const TS_Descriptor& d = s.descriptors[i];
        if (d.descriptor_tag != 0x03 || d.descriptor_length < 1) continue;
        if (d.audio_stream.layer == 3) return TS_CODEC_MP1;
        if (d.audio_stream.layer == 1) return TS_CODEC_MP3;
        return TS_CODEC_MP2;
    }
    return TS_CODEC_MP2;
}

Context ProgramContext(const TS_PMT& pmt) {
    Context c;
    AddRegistrations(c, pmt.descriptors, pmt.descriptor_count);
    return c;
}

}  // namespace

const char* TS_CodecName(TS_CodecId codec) { return codec < TS_CODEC_COUNT ? kCodecs[codec].name : nullptr; }

TS_CodecMedia TS_CodecMediaOf(TS_CodecId codec) {
    return codec < TS_CODEC_COUNT ? kCodecs[codec].media : TS_MEDIA_NONE;
}

TS_CodecId TS_StreamTypeCodec(const TS_PMT* pmt, uint8_t stream_type) {
    if (pmt == nullptr) return TS_CODEC_NONE;
    return FromStreamType(stream_type, ProgramContext(*pmt));
}

TS_CodecId TS_StreamCodec(const TS_PMT* pmt, const TS_StreamInfo* stream) {
    if (pmt == nullptr || stream == nullptr) return TS_CODEC_NONE;
    Context c = ProgramContext(*pmt);
    AddRegistrations(c, stream->descriptors, stream->descriptor_count);
    const uint8_t type = stream->stream_type;
    TS_CodecId codec = FromStreamType(type, c);
    if (codec == TS_CODEC_MP2) return MPEGAudioLayer(*stream);
    if (codec != TS_CODEC_NONE) return codec;
    if (type != 0x06 && type < 0x80) return TS_CODEC_NONE;
    for (uint32_t i = 0; i < Clamp(stream->descriptor_count, TS_MAX_DESCRIPTORS); ++i) {
        const TS_Descriptor& d = stream->descriptors[i];
        codec = FromRegistration(Registration(d));
        if (codec == TS_CODEC_NONE && type == 0x06) codec = FromPrivateDataDescriptor(d, c);
        if (codec != TS_CODEC_NONE) return codec;
    }
    return TS_CODEC_NONE;
}

int32_t TS_StreamDualMono(const TS_PMT* pmt, const TS_StreamInfo* stream, uint32_t languages[2]) {
    if (pmt == nullptr || stream == nullptr || languages == nullptr) return 0;
    const uint32_t count = Clamp(stream->descriptor_count, TS_MAX_DESCRIPTORS);
    // The languages of an ISO 639 descriptor of exactly two entries, when they differ.
    uint32_t pair[2] = {0, 0};
    bool two = false;
    for (uint32_t i = 0; i < count && !two; ++i) {
        const TS_Descriptor& d = stream->descriptors[i];
        if (d.descriptor_tag != 0x0A || TS_Descriptor_LanguageEntries(&d) != 2) continue;
        pair[0] = d.ISO_639_language.languages[0].ISO_639_language_code;
        pair[1] = d.ISO_639_language.languages[1].ISO_639_language_code;
        two = pair[0] != pair[1];
    }
    for (uint32_t i = 0; i < count; ++i) {
        const TS_Descriptor& d = stream->descriptors[i];
        if (d.descriptor_tag == 0xC4 && d.descriptor_length >= TS_AUDIO_COMPONENT_FIXED) {
            const auto& a = d.audio_component;
            if (a.component_type != 0x02) return 0;
            languages[0] = a.ISO_639_language_code;
            languages[1] = a.ES_multi_lingual_flag ? a.ISO_639_language_code_2 : 0;
            return 1;
        }
        if (d.descriptor_tag == 0x50 && d.descriptor_length >= TS_COMPONENT_FIXED && d.component.stream_content == 0x02) {
            if (d.component.component_type != 0x02) return 0;
            languages[0] = two ? pair[0] : d.component.ISO_639_language_code;
            languages[1] = two ? pair[1] : 0;
            return 1;
        }
    }
    if (!two || TS_CodecMediaOf(TS_StreamCodec(pmt, stream)) != TS_MEDIA_AUDIO) return 0;
    languages[0] = pair[0];
    languages[1] = pair[1];
    return 1;
}
