// Codecs of elementary streams: the coding a PMT entry names, from its stream_type, its own
// descriptors and its program's, as a short lowercase name (ffprobe's codec_name wherever
// ffprobe has one), and whether an audio stream carries two mono channels in two languages.
//
// The rules, the first that applies deciding:
//
//  1. The stream_types of ISO/IEC 13818-1 that name one coding: 0x01 mpeg1video,
//     0x02 mpeg2video, 0x10 mpeg4, 0x1B h264, 0x24 hevc, 0x33 vvc, 0x0F aac (ADTS),
//     0x11 aac_latm, 0x2D mpegh_3d_audio, and 0x03 and 0x04 MPEG audio: mp2, or mp1 or mp3
//     when an audio_stream_descriptor names layer I or III. Without that descriptor the layer
//     is only in the bitstream, and layer II is what broadcasts carry.
//  2. Blu-ray: in a program or stream with the registration "HDMV", the HDMV stream_types
//     0x80 pcm_bluray, 0x81 ac3, 0x82 dts, 0x83 truehd, 0x84 and 0xA1 eac3, 0x85, 0x86 and
//     0xA2 dts_hd (ffprobe says dts), 0x90 hdmv_pgs_subtitle, 0x91 hdmv_igs (interactive
//     graphics, no ffprobe name), 0x92 hdmv_text_subtitle, 0xEA vc1. The registration alone
//     decides, not the packet size: every Blu-ray and AVCHD clip carries it, while 192-byte
//     packets also hold timestamped recordings of broadcasts, whose user-private
//     stream_types are the broadcaster's (0x86 is DTS-HD on a disc, SCTE-35 in ATSC).
//  3. Elsewhere the ATSC and SCTE stream_types: 0x81 ac3, 0x87 eac3, 0x86 scte_35.
//  4. stream_type 0x06 (PES private data), and user-private stream_types (0x80 to 0xFF) the
//     rules above leave unnamed: the first descriptor of the stream's loop that names a
//     coding. A registration: "AC-3" ac3, "EAC3" eac3, "AC-4" ac4, "DTS1", "DTS2" and
//     "DTS3" dts, "HEVC" hevc, "Opus" opus, "VC-1" vc1. For 0x06 only, the DVB descriptors:
//     AC-3 (0x6A) ac3, enhanced AC-3 (0x7A) eac3, DTS (0x7B) dts, AAC (0x7C) aac, the
//     extension descriptor (0x7F) for AC-4 (0x15) ac4 and DTS-HD (0x0E) dts_hd, subtitling
//     (0x59) dvb_subtitle, teletext (0x56) and VBI teletext (0x46) dvb_teletext; the ARIB
//     data component descriptor (0xFD) with data_component_id 0x0008 arib_caption (captions
//     and superimposed text); and in an ATSC program (registration "GA94") the AC-3 (0x81)
//     and E-AC-3 (0xCC) audio descriptors ac3 and eac3. Tags 0x80 and above are private to
//     each system (ARIB uses them otherwise), hence the last condition.
//
// Anything else names no codec (TS_CODEC_NONE). A registration is read only from a
// descriptor long enough to hold its format_identifier.
#pragma once

#include <cstdint>

#include "../psi/psi.h"

// Every codec: its identifier, its name and what it carries.
#define TS_CODECS(X)                                      \
    X(MPEG1VIDEO, "mpeg1video", VIDEO)                    \
    X(MPEG2VIDEO, "mpeg2video", VIDEO)                    \
    X(MPEG4, "mpeg4", VIDEO)                              \
    X(H264, "h264", VIDEO)                                \
    X(HEVC, "hevc", VIDEO)                                \
    X(VVC, "vvc", VIDEO)                                  \
    X(VC1, "vc1", VIDEO)                                  \
    X(MP1, "mp1", AUDIO)                                  \
    X(MP2, "mp2", AUDIO)                                  \
    X(MP3, "mp3", AUDIO)                                  \
    X(AAC, "aac", AUDIO)                                  \
    X(AAC_LATM, "aac_latm", AUDIO)                        \
    X(AC3, "ac3", AUDIO)                                  \
    X(EAC3, "eac3", AUDIO)                                \
    X(AC4, "ac4", AUDIO)                                  \
    X(DTS, "dts", AUDIO)                                  \
    X(DTS_HD, "dts_hd", AUDIO)                            \
    X(TRUEHD, "truehd", AUDIO)                            \
    X(PCM_BLURAY, "pcm_bluray", AUDIO)                    \
    X(MPEGH_3D_AUDIO, "mpegh_3d_audio", AUDIO)            \
    X(OPUS, "opus", AUDIO)                                \
    X(DVB_SUBTITLE, "dvb_subtitle", SUBTITLE)             \
    X(DVB_TELETEXT, "dvb_teletext", SUBTITLE)             \
    X(ARIB_CAPTION, "arib_caption", SUBTITLE)             \
    X(HDMV_PGS_SUBTITLE, "hdmv_pgs_subtitle", SUBTITLE)   \
    X(HDMV_TEXT_SUBTITLE, "hdmv_text_subtitle", SUBTITLE) \
    X(HDMV_IGS, "hdmv_igs", DATA)                         \
    X(SCTE_35, "scte_35", DATA)

enum TS_CodecId : uint8_t {
    TS_CODEC_NONE = 0,  // the PMT does not tell
#define TS_CODEC_ID(id, name, media) TS_CODEC_##id,
    TS_CODECS(TS_CODEC_ID)
#undef TS_CODEC_ID
    TS_CODEC_COUNT
};

enum TS_CodecMedia : uint8_t {
    TS_MEDIA_NONE = 0,
    TS_MEDIA_VIDEO,
    TS_MEDIA_AUDIO,
    TS_MEDIA_SUBTITLE,
    TS_MEDIA_DATA,
};

// The name of a codec ("h264", "aac", ...); null for TS_CODEC_NONE and for values beyond the
// list.
const char* TS_CodecName(TS_CodecId codec);
// What a codec carries; TS_MEDIA_NONE for TS_CODEC_NONE and for values beyond the list.
TS_CodecMedia TS_CodecMediaOf(TS_CodecId codec);

// The codec of a detailed stream record of `pmt`, by the rules above. TS_CODEC_NONE for a
// null argument.
TS_CodecId TS_StreamCodec(const TS_PMT* pmt, const TS_StreamInfo* stream);
// The codec of a stream of `pmt` known only by its stream_type (an entry beyond the detailed
// records): rules 1 to 3 with the program's registrations, no descriptors of its own.
TS_CodecId TS_StreamTypeCodec(const TS_PMT* pmt, uint8_t stream_type);

// Dual mono: a stream of two mono channels, each in its own language. Told by, the first
// present deciding:
//  - an ARIB audio component descriptor (0xC4): component_type 0x02 (1/0+1/0 mode) is dual
//    mono, its languages ISO_639_language_code and, with ES_multi_lingual_flag,
//    ISO_639_language_code_2; any other component_type is not;
//  - a DVB component descriptor (0x50) for MPEG-1 Layer II audio (stream_content 0x02):
//    component_type 0x02 is dual mono; its languages those of an ISO 639 descriptor of two
//    entries, else its own code; any other component_type is not;
//  - an ISO_639_language_descriptor of exactly two entries with different codes on a stream
//    whose codec is audio.
// 1 for a dual-mono stream, with its two languages in `languages` (0 for one not named);
// else 0 (`languages` untouched).
int32_t TS_StreamDualMono(const TS_PMT* pmt, const TS_StreamInfo* stream, uint32_t languages[2]);
