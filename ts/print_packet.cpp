// Packet and descriptor printers.
//
// The packet lines are formatted by hand into a local buffer and written with one fwrite:
// a dump of every packet prints millions of them, and printf would dominate the run. The
// text is exactly what the printf formats in the comments produce.
#include <cstdio>
#include <cstring>

#include "ts.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// A line being built in a fixed buffer; every append stays inside it.
class Line {
public:
    void Text(const char* s) { Bytes(s, std::strlen(s)); }
    void Bytes(const char* s, size_t n) {
        if (n > kCapacity - length_) n = kCapacity - length_;
        std::memcpy(buf_ + length_, s, n);
        length_ += n;
    }
    // "%d" of an unsigned value below 2^31.
    void Decimal(uint32_t v) {
        char digits[10];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        char out[10];
        for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
        Bytes(out, n);
    }
    // "%04X" of a 16-bit value.
    void Hex4(uint16_t v) {
        const char out[4] = {kHexDigits[(v >> 12) & 0xF], kHexDigits[(v >> 8) & 0xF],
                             kHexDigits[(v >> 4) & 0xF], kHexDigits[v & 0xF]};
        Bytes(out, 4);
    }
    void Write() const { std::fwrite(buf_, 1, length_, stdout); }

private:
    static constexpr size_t kCapacity = 192;
    char buf_[kCapacity];
    size_t length_ = 0;
};

// Both packet lines: `tag` then
// " TEI:%d PUSI:%d TP:%d PID:0x%04X(%s) TSC:%d AFC:%d CN:%d\n".
void PrintHeaderLine(const char* tag, const TS_Header* h) {
    Line line;
    line.Text(tag);
    line.Text(" TEI:");
    line.Decimal(h->transport_error_indicator);
    line.Text(" PUSI:");
    line.Decimal(h->payload_unit_start_indicator);
    line.Text(" TP:");
    line.Decimal(h->transport_priority);
    line.Text(" PID:0x");
    line.Hex4(h->PID);
    line.Text("(");
    line.Text(ts_detail::PIDLabel(h->PID));
    line.Text(") TSC:");
    line.Decimal(h->transport_scrambling_control);
    line.Text(" AFC:");
    line.Decimal(h->adaptation_field_control);
    line.Text(" CN:");
    line.Decimal(h->continuity_counter);
    line.Text("\n");
    line.Write();
}

// Byte count of the trailing run of the registration, CA and copyright descriptors:
// descriptor_length - 4 taken as a signed number, and never more than the array holds.
uint32_t TrailingCount(uint8_t descriptor_length, uint32_t capacity) {
    const int32_t n = static_cast<int32_t>(descriptor_length) - 4;
    if (n <= 0) return 0;
    return static_cast<uint32_t>(n) < capacity ? static_cast<uint32_t>(n) : capacity;
}

template <size_t N>
constexpr uint32_t Capacity(const uint8_t (&)[N]) {
    return static_cast<uint32_t>(N);
}

}  // namespace

namespace ts_detail {

void PrintByteList(const uint8_t* bytes, uint32_t count) {
    // 6 characters a byte plus 3 per line break; written out in blocks of 64 bytes.
    char buf[64 * 6 + 4 * 3 + 1];
    size_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        buf[n++] = '0';
        buf[n++] = 'x';
        buf[n++] = kHexDigits[bytes[i] >> 4];
        buf[n++] = kHexDigits[bytes[i] & 0xF];
        buf[n++] = ',';
        buf[n++] = ' ';
        if (i % 16 == 15) {
            buf[n++] = '\n';
            buf[n++] = ' ';
            buf[n++] = ' ';
            if (i % 64 == 63) {
                std::fwrite(buf, 1, n, stdout);
                n = 0;
            }
        }
    }
    buf[n++] = '\n';
    std::fwrite(buf, 1, n, stdout);
}

}  // namespace ts_detail

int32_t TS_Packet_PrintHeader(const TS_Header* header) {
    if (header == nullptr) return -1;
    PrintHeaderLine("[TS Packet Header]", header);
    return 0;
}

int32_t TS_Packet_Print(const TS_Packet* packet) {
    if (packet == nullptr) return -1;
    PrintHeaderLine("[TS Packet]", packet);
    if (packet->adaptation_field_control & 0x2)
        TS_Packet_PrintAdaptationField(&packet->adaptation_field);
    return 0;
}

void TS_Packet_PrintAdaptationField(const TS_AdaptationField*) {
    // The dump does not show adaptation fields.
}

int32_t TS_Packet_Print_RAW(const uint8_t* bytes) {
    if (bytes == nullptr) return -1;
    std::fputs("[TS Packet]\n  Header: ", stdout);
    for (uint32_t i = 0; i < 5; ++i) std::printf("0x%02X, ", bytes[i]);
    std::fputs("\n  Section:\n  ", stdout);
    for (uint32_t i = 5; i < TS_PACKET_SIZE; ++i) {
        std::printf("0x%02X, ", bytes[i]);
        if (i % 16 == 15) std::fputs("\n  ", stdout);
    }
    std::putchar('\n');
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------------------------

int32_t TS_Descriptor_Print(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    switch (d->descriptor_tag) {
        case 2: TS_Descriptor_PrintVideoStream(d); break;
        case 3: TS_Descriptor_PrintAudioStream(d); break;
        case 4: TS_Descriptor_PrintHierarchy(d); break;
        case 5: TS_Descriptor_PrintRegistration(d); break;
        case 6: TS_Descriptor_PrintDataStreamAlignment(d); break;
        case 7: TS_Descriptor_PrintTargetBackgroundGrid(d); break;
        case 8: TS_Descriptor_PrintVideoWindow(d); break;
        case 9: TS_Descriptor_PrintConditionalAccess(d); break;
        case 10: TS_Descriptor_PrintISO639Language(d); break;
        case 11: TS_Descriptor_PrintSystemClock(d); break;
        case 12: TS_Descriptor_PrintMultiplexBufferUtilization(d); break;
        case 13: TS_Descriptor_PrintCopyright(d); break;
        case 14: TS_Descriptor_PrintMaximumBitrate(d); break;
        case 15: TS_Descriptor_PrintPrivateDataIndicator(d); break;
        case 16: TS_Descriptor_PrintSmoothingBuffer(d); break;
        case 17: TS_Descriptor_PrintSTD(d); break;
        case 18: TS_Descriptor_PrintIBP(d); break;
        default: TS_Descriptor_PrintRAW(d); break;
    }
    return 0;
}

int32_t TS_Descriptor_PrintRAW(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    std::printf("[D %s] T:0x%02X L:%d\n  ", ts_detail::DescriptorTagLabel(d->descriptor_tag),
                d->descriptor_tag, d->descriptor_length);
    uint32_t n = d->descriptor_length;
    if (n > Capacity(d->raw.data)) n = Capacity(d->raw.data);
    ts_detail::PrintByteList(d->raw.data, n);
    return 0;
}

int32_t TS_Descriptor_PrintVideoStream(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 2) return -2;
    const auto& v = d->video_stream;
    std::printf("[D Video stream] MFRF:%d FRC:%d CPF:%d SPF:%d\n", v.multiple_frame_rate_flag,
                v.frame_rate_code, v.constrained_parameter_flag, v.still_picture_flag);
    if (v.MPEG_1_only_flag == 0)
        std::printf("  PALI:%d CF:%d FREF:%d R:%d\n", v.profile_and_level_indication,
                    v.chroma_format, v.frame_rate_extension_flag, v.reserved);
    return 0;
}

int32_t TS_Descriptor_PrintAudioStream(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 3) return -2;
    const auto& a = d->audio_stream;
    std::printf("[D Audio Stream] FFF:%d I:%d L:%d VRAI:%d R:%d\n", a.free_format_flag, a.ID,
                a.layer, a.variable_rate_audio_indicator, a.reserved);
    return 0;
}

int32_t TS_Descriptor_PrintHierarchy(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 4) return -2;
    const auto& h = d->hierarchy;
    std::printf("[D Hierarchy] R1:%d HT:%d R2:%d HLI:%d R3:%d HELI:%d R4:%d HC:%d\n",
                h.reserved_1, h.hierarchy_type, h.reserved_2, h.hierarchy_layer_index,
                h.reserved_3, h.hierarchy_embedded_layer_index, h.reserved_4,
                h.hierarchy_channel);
    return 0;
}

int32_t TS_Descriptor_PrintRegistration(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 5) return -2;
    const auto& r = d->registration;
    std::printf("[D Registration] FI:%d\n  ", static_cast<int32_t>(r.format_identifier));
    ts_detail::PrintByteList(
        r.additional_identification_info,
        TrailingCount(d->descriptor_length, Capacity(r.additional_identification_info)));
    return 0;
}

int32_t TS_Descriptor_PrintDataStreamAlignment(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 6) return -2;
    std::printf("[D Data stream alignment] AT:%d\n", d->data_stream_alignment.alignment_type);
    return 0;
}

int32_t TS_Descriptor_PrintTargetBackgroundGrid(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 7) return -2;
    const auto& g = d->target_background_grid;
    std::printf("[D Target background grid] HS:%d VS:%d ARI:%d\n", g.horizontal_size,
                g.vertical_size, g.aspect_ratio_information);
    return 0;
}

int32_t TS_Descriptor_PrintVideoWindow(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 8) return -2;
    const auto& w = d->video_window;
    std::printf("[D Video window] HO:%d VO:%d WP:%d\n", w.horizontal_offset, w.vertical_offset,
                w.window_priority);
    return 0;
}

int32_t TS_Descriptor_PrintConditionalAccess(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 9) return -2;
    const auto& ca = d->conditional_access;
    std::printf("[D Conditional access] L:%d CASID:%X R:%d CAPID:0x%04X\n  ", d->descriptor_length,
                ca.CA_system_ID, ca.reserved, ca.CA_PID);
    ts_detail::PrintByteList(ca.private_data_byte,
                             TrailingCount(d->descriptor_length, Capacity(ca.private_data_byte)));
    return 0;
}

int32_t TS_Descriptor_PrintISO639Language(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 10) return -2;
    std::puts("[D ISO 639 language]");
    uint32_t count = d->descriptor_length / 4u;
    if (count > TS_MAX_LANGUAGES) count = TS_MAX_LANGUAGES;
    for (uint32_t i = 0; i < count; ++i) {
        const TS_ISO639Language& l = d->ISO_639_language.languages[i];
        std::printf("  <%d> ILC:%d AT:%d\n", static_cast<int32_t>(i),
                    static_cast<int32_t>(l.ISO_639_language_code), l.audio_type);
    }
    return 0;
}

int32_t TS_Descriptor_PrintSystemClock(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 11) return -2;
    const auto& c = d->system_clock;
    std::printf("[D System clock] ECRI:%d R1:%d CAI:%d CAE:%d R2:%d\n",
                c.external_clock_reference_indicator, c.reserved_1, c.clock_accuracy_integer,
                c.clock_accuracy_exponent, c.reserved_2);
    return 0;
}

int32_t TS_Descriptor_PrintMultiplexBufferUtilization(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 12) return -2;
    const auto& m = d->multiplex_buffer_utilization;
    std::printf("[D Multiplex buffer utilization] BVF:%d LOLB:%d R:%d LOUB:%d\n",
                m.bound_valid_flag, m.LTW_offset_lower_bound, m.reserved,
                m.LTW_offset_upper_bound);
    return 0;
}

int32_t TS_Descriptor_PrintCopyright(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 13) return -2;
    const auto& c = d->copyright;
    std::printf("[D Copyright] CI:%d\n  ", static_cast<int32_t>(c.copyright_identifier));
    ts_detail::PrintByteList(
        c.additional_copyright_info,
        TrailingCount(d->descriptor_length, Capacity(c.additional_copyright_info)));
    return 0;
}

int32_t TS_Descriptor_PrintMaximumBitrate(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 14) return -2;
    const auto& m = d->maximum_bitrate;
    std::printf("[D Maximum bitrate] R:%d MB:%d\n", m.reserved,
                static_cast<int32_t>(m.maximum_bitrate));
    return 0;
}

int32_t TS_Descriptor_PrintPrivateDataIndicator(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 15) return -2;
    std::printf("[D Private data indicator] PD:%d\n",
                static_cast<int32_t>(d->private_data_indicator.private_data_indicator));
    return 0;
}

int32_t TS_Descriptor_PrintSmoothingBuffer(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 16) return -2;
    const auto& s = d->smoothing_buffer;
    std::printf("[D Smoothing buffer] R1:%d SLR:%d R2:%d SS:%d\n", s.reserved_1,
                static_cast<int32_t>(s.sb_leak_rate), s.reserved_2,
                static_cast<int32_t>(s.sb_size));
    return 0;
}

int32_t TS_Descriptor_PrintSTD(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 17) return -2;
    std::printf("[D STD] R:%d LVF:%d\n", d->STD.reserved, d->STD.leak_valid_flag);
    return 0;
}

int32_t TS_Descriptor_PrintIBP(const TS_Descriptor* d) {
    if (d == nullptr) return -1;
    if (d->descriptor_tag != 18) return -2;
    const auto& b = d->IBP;
    std::printf("[D IBP] CGF:%d IGF:%d MGL:%d\n", b.closed_gop_flag, b.identical_gop_flag,
                b.max_gop_length);
    return 0;
}
