// Name tables: short English labels for PIDs, table_ids, stream_types and descriptor tags.
// Each byte-coded vocabulary is a 256-entry table built at compile time from its list of
// codes and ranges; codes not listed read "?".
#include <array>
#include <cstring>

#include "psi/descriptor_tags.h"
#include "psi/names.h"
#include "psi/psi.h"

namespace {

constexpr const char* kUnknown = "?";

using LabelTable = std::array<const char*, 256>;

struct Entry {
    uint8_t first;
    uint8_t last;  // inclusive
    const char* label;
};

template <size_t N>
constexpr LabelTable BuildTable(const Entry (&entries)[N]) {
    LabelTable t{};
    for (auto& label : t) label = kUnknown;
    for (const Entry& e : entries)
        for (unsigned code = e.first; code <= e.last; ++code) t[code] = e.label;
    return t;
}

constexpr Entry kTableIds[] = {
    {0x00, 0x00, "PAT"},
    {0x01, 0x01, "CAT"},
    {0x02, 0x02, "maybe PMT"},
    {0x3A, 0x3F, "DSM-CC Section"},
    {0x40, 0x40, "NIT Self"},
    {0x41, 0x41, "NIT Other"},
    {0x42, 0x42, "SDT Self"},
    {0x46, 0x46, "SDT Other"},
    {0x4A, 0x4A, "BAT"},
    {0x4E, 0x4E, "EIT Self"},
    {0x4F, 0x4F, "EIT Other"},
    {0x50, 0x5F, "EIT Self Scedule"},
    {0x60, 0x6F, "EIT Other Scedule"},
    {0x70, 0x70, "TDT"},
    {0x71, 0x71, "RST"},
    {0x72, 0x72, "ST"},
    {0x73, 0x73, "TOT"},
    {0x74, 0x74, "AIT"},
    {0x7E, 0x7E, "DIT"},
    {0x7F, 0x7F, "SIT"},
    {0x82, 0x83, "ECM ECM-S"},
    {0x84, 0x85, "EMM EMM-S"},
    {0x90, 0xBF, "<Carrier Definition>"},
    {0xC0, 0xC0, "DCT"},
    {0xC1, 0xC1, "DLT"},
    {0xC2, 0xC2, "PCAT"},
    {0xC3, 0xC3, "SDTT"},
    {0xC4, 0xC4, "BIT"},
    {0xC5, 0xC5, "NBIT Board"},
    {0xC6, 0xC6, "NBIT Reference"},
    {0xC7, 0xC7, "LDT"},
    {0xC8, 0xC8, "CDT"},
    {0xD0, 0xD0, "LIT"},
    {0xD1, 0xD1, "ERT"},
    {0xD2, 0xD2, "ITT"},
};

constexpr Entry kTableIdsISO[] = {
    {0x00, 0x00, "program_association_section"},
    {0x01, 0x01, "conditional_access_section"},
    {0x02, 0x02, "TS_program_map_section"},
    {0x03, 0x3F, "<reserved>"},
    {0x40, 0xFE, "<User private>"},
    {0xFF, 0xFF, "forbidden"},
};

constexpr Entry kStreamTypes[] = {
    {0x00, 0x00, "<ISO/IEC Reserved>"},
    {0x01, 0x01, "ISO/IEC 11172 Video"},
    {0x02, 0x02, "ISO/IEC 13818-2 Video"},
    {0x03, 0x03, "ISO/IEC 11172 Audio"},
    {0x04, 0x04, "ISO/IEC 13818-3 Audio"},
    {0x05, 0x05, "ISO/IEC 13818-1 Private sections"},
    {0x06, 0x06, "ISO/IEC 13818-1 PES packets"},
    {0x07, 0x07, "ISO/IEC 13522 MHEG"},
    {0x08, 0x08, "ISO/IEC 13818-1 DSM CC"},
    {0x09, 0x09, "H.222.1"},
    {0x0A, 0x0A, "ISO/IEC 13818-6 Type A"},
    {0x0B, 0x0B, "ISO/IEC 13818-6 Type B"},
    {0x0C, 0x0C, "ISO/IEC 13818-6 Type C"},
    {0x0D, 0x0D, "ISO/IEC 13818-6 Type D"},
    {0x0E, 0x0E, "ISO/IEC 13818-6 Auxiliary"},
    {0x0F, 0x0F, "ISO/IEC 13818-7 Audio"},
    {0x10, 0x10, "ISO/IEC 14496-2 Video"},
    {0x11, 0x11, "ISO/IEC 14496-3 / AMD 1"},
    {0x12, 0x12, "ISO/IEC 14496-1 SL by PES Packet"},
    {0x13, 0x13, "ISO/IEC 14496-1 SL by Section"},
    {0x14, 0x14, "ISO/IEC 13818-6 Sync download protocol"},
    {0x15, 0x15, "Metadata by PES Packet"},
    {0x16, 0x16, "Metadata by Section"},
    {0x17, 0x17, "Metadata by ISO/IEC 13818-6 Data carousel"},
    {0x18, 0x18, "Metadata by ISO/IEC 13818-6 Object carousel"},
    {0x19, 0x19, "Metadata by ISO/IEC 13818-6 Sync download protocol"},
    {0x1A, 0x1A, "ISO/IEC 13818-11 IPMP"},
    {0x1B, 0x1B, "ISO/IEC 14496-10 AVC Video"},
    {0x1C, 0x1C, "ISO/IEC 14496-3 Audio"},
    {0x1D, 0x1D, "ISO/IEC 14496-17 Text"},
    {0x1E, 0x1E, "ISO/IEC 23002-3 Sub video"},
    {0x1F, 0x1F, "IEC 14496-10 SVC Video sub bit"},
    {0x20, 0x20, "IEC 14496-10 MVC Video sub bit"},
    {0x21, 0x7E, "<ISO/IEC 13818-1 Reserved>"},
    {0x7F, 0x7F, "IPMP"},
    {0x80, 0xFF, "<User define>"},
};

// The tags of the list of decoded descriptors take its labels; the others these.
constexpr Entry kDescriptorTags[] = {
#define TS_LABEL(tag, name, label) {tag, tag, label},
    TS_DESCRIPTOR_TAGS(TS_LABEL)
#undef TS_LABEL
    {0x13, 0x13, "Carousel Identifier"},
    {0x14, 0x14, "Association Tag"},
    {0x15, 0x15, "Deferred Association tags"},
    {0x1C, 0x1C, "MPEG-4 Audio"},
    {0x28, 0x28, "AVC Video"},
    {0x2A, 0x2A, "AVC timing and HRD"},
    {0x2E, 0x2E, "Extended MPEG-4 Audio"},
    {0x40, 0x40, "Network Name"},
    {0x41, 0x41, "Service List"},
    {0x42, 0x42, "Stuffing"},
    {0x43, 0x43, "Satellite Delivery System"},
    {0x44, 0x44, "Wired Delivery System"},
    {0x47, 0x47, "Bouquet Name"},
    {0x48, 0x48, "Service"},
    {0x49, 0x49, "Country Availability"},
    {0x4A, 0x4A, "Linkage"},
    {0x4B, 0x4B, "NVOD Reference"},
    {0x4C, 0x4C, "Time Shifted Service"},
    {0x4D, 0x4D, "Short Event"},
    {0x4E, 0x4E, "Extended Event"},
    {0x4F, 0x4F, "Time Shifted Event"},
    {0x51, 0x51, "Mosaic"},
    {0x52, 0x52, "Stream Identifier"},
    {0x53, 0x53, "CA Identifier"},
    {0x54, 0x54, "Content"},
    {0x55, 0x55, "Parental Rating"},
    {0x58, 0x58, "Local Time Offset"},
    {0x63, 0x63, "Partial Transport Stream"},
    {0x80, 0xBF, "<Carrier Definition>"},
    {0xC0, 0xC0, "Hierarchical Transmission"},
    {0xC1, 0xC1, "Digital Copy Control"},
    {0xC2, 0xC2, "Network Identification"},
    {0xC3, 0xC3, "Partial Transport Stream Time"},
    {0xC5, 0xC5, "Hyperlink"},
    {0xC6, 0xC6, "Target Region"},
    {0xC7, 0xC7, "Data Content"},
    {0xC8, 0xC8, "Video Decode Control"},
    {0xC9, 0xC9, "Download Content"},
    {0xCA, 0xCA, "CA EMM TS"},
    {0xCB, 0xCB, "CA Contract Information"},
    {0xCC, 0xCC, "CA Service"},
    {0xCD, 0xCD, "TS Information"},
    {0xCE, 0xCE, "Extended Broadcaster"},
    {0xCF, 0xCF, "Logo Transmission"},
    {0xD0, 0xD0, "Basic Local Event"},
    {0xD1, 0xD1, "Reference"},
    {0xD2, 0xD2, "Node Relation"},
    {0xD3, 0xD3, "Short Node Information"},
    {0xD4, 0xD4, "STC Reference"},
    {0xD5, 0xD5, "Series"},
    {0xD6, 0xD6, "Event Group"},
    {0xD7, 0xD7, "SI Parameter"},
    {0xD8, 0xD8, "Broadcaster Name"},
    {0xD9, 0xD9, "Component Group"},
    {0xDA, 0xDA, "SI Prime TS"},
    {0xDB, 0xDB, "Board Information"},
    {0xDC, 0xDC, "LDT linkage"},
    {0xDD, 0xDD, "Connected Transmission"},
    {0xDE, 0xDE, "Content Availability"},
    {0xDF, 0xDF, "<Tag Extention>"},
    {0xE0, 0xE0, "Service Group"},
    {0xF7, 0xF7, "Carousel Compatible Composite"},
    {0xF8, 0xF8, "Conditional Playback"},
    {0xF9, 0xF9, "Wired TS Parting System"},
    {0xFA, 0xFA, "Terrestrial Delivery System"},
    {0xFB, 0xFB, "Partial Reception"},
    {0xFC, 0xFC, "Emergency Information"},
    {0xFD, 0xFD, "Data Component"},
    {0xFE, 0xFE, "System Management"},
};

constexpr LabelTable kTableIdLabels = BuildTable(kTableIds);
constexpr LabelTable kTableIdLabelsISO = BuildTable(kTableIdsISO);
constexpr LabelTable kStreamTypeLabels = BuildTable(kStreamTypes);
constexpr LabelTable kDescriptorTagLabels = BuildTable(kDescriptorTags);

int32_t CopyLabel(char* buffer, const char* label) {
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, label, std::strlen(label) + 1);
    return 0;
}

}  // namespace

namespace ts_detail {

const char* PIDLabel(uint16_t pid) {
    if (pid == 0x0000) return "Program Association Table";
    if (pid == 0x0001) return "Conditional Access Table";
    if (pid <= 0x000F) return "<reserved>";
    if (pid <= 0x1FFE) return "<assigned>";
    if (pid == 0x1FFF) return "Null packet";
    return kUnknown;
}

const char* TableIdLabel(uint8_t table_id) { return kTableIdLabels[table_id]; }
const char* TableIdLabelISO(uint8_t table_id) { return kTableIdLabelsISO[table_id]; }
const char* StreamTypeLabel(uint8_t stream_type) { return kStreamTypeLabels[stream_type]; }
const char* DescriptorTagLabel(uint8_t tag) { return kDescriptorTagLabels[tag]; }

}  // namespace ts_detail

int32_t TS_Header_PIDToString(char* buffer, uint16_t pid) {
    return CopyLabel(buffer, ts_detail::PIDLabel(pid));
}

int32_t TS_Section_TagToString(char* buffer, uint8_t table_id) {
    return CopyLabel(buffer, ts_detail::TableIdLabel(table_id));
}

int32_t TS_Section_TagToString_ISO(char* buffer, uint8_t table_id) {
    return CopyLabel(buffer, ts_detail::TableIdLabelISO(table_id));
}

int32_t TS_Header_StreamTypeToString(char* buffer, uint8_t stream_type) {
    return CopyLabel(buffer, ts_detail::StreamTypeLabel(stream_type));
}

int32_t TS_DescriptorTagToString(char* buffer, uint8_t descriptor_tag) {
    return CopyLabel(buffer, ts_detail::DescriptorTagLabel(descriptor_tag));
}

bool TS_IsServiceInformationPID(uint16_t pid) {
    return (pid >= 0x10 && pid <= 0x14) || pid == 0x23 || pid == 0x24 || pid == 0x26 || pid == 0x27 || pid == 0x29;
}
