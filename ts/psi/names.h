// The label lookups behind the name tables: constant texts, for the printers and reports.
#pragma once

#include <cstdint>

namespace ts_detail {
const char* PIDLabel(uint16_t pid);
const char* TableIdLabel(uint8_t table_id);
const char* TableIdLabelISO(uint8_t table_id);
const char* StreamTypeLabel(uint8_t stream_type);
const char* DescriptorTagLabel(uint8_t descriptor_tag);
}  // namespace ts_detail
