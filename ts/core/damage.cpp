// The damage a scan met, as counts and as the one line the commands print.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "core/core.h"
#include "core/scan.h"

namespace {

// Appends to the text in `buffer`, cut at its capacity.
__attribute__((format(printf, 4, 5))) void Append(char* buffer, size_t capacity, size_t* used, const char* format, ...) {
    if (*used >= capacity - 1) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer + *used, capacity - *used, format, args);
    va_end(args);
    if (n > 0) *used += static_cast<size_t>(n) < capacity - *used ? static_cast<size_t>(n) : capacity - *used - 1;
}

}  // namespace

const TS_Damage* TS_GetDamage() { return &ts_detail::g_tDamage; }

bool TS_Damage_Any(const TS_Damage* d) {
    return d != nullptr && (d->crc_failures || d->damaged_sections || d->continuity_breaks ||
                            d->transport_errors || d->bytes_skipped || d->packets_dropped ||
                            d->incomplete_tail);
}

size_t TS_Damage_Format(char* buffer, size_t capacity, const TS_Damage* d) {
    if (buffer == nullptr || capacity == 0) return 0;
    buffer[0] = '\0';
    if (d == nullptr) return 0;
    size_t used = 0;
    auto part = [&](uint64_t count, const char* one, const char* many) {
        if (count == 0) return;
        Append(buffer, capacity, &used, "%s%llu %s", used ? ", " : "", static_cast<unsigned long long>(count), count == 1 ? one : many);
    };
    if (d->crc_failures) {
        part(d->crc_failures, "section failed its CRC_32", "sections failed their CRC_32");
        Append(buffer, capacity, &used, " (");
        bool first = true;
        for (uint32_t pid = 0; pid < 8192; ++pid) {
            if (d->crc_failures_by_PID[pid] == 0) continue;
            Append(buffer, capacity, &used, "%sPID 0x%04X: %u", first ? "" : ", ", pid, d->crc_failures_by_PID[pid]);
            first = false;
        }
        Append(buffer, capacity, &used, ")");
    }
    part(d->damaged_sections, "section with lengths past its end", "sections with lengths past their end");
    part(d->continuity_breaks, "continuity break", "continuity breaks");
    part(d->transport_errors, "packet with transport_error_indicator", "packets with transport_error_indicator");
    part(d->packets_dropped, "packet cut short by lost bytes", "packets cut short by lost bytes");
    part(d->bytes_skipped, "byte skipped to regain sync", "bytes skipped to regain sync");
    if (d->incomplete_tail)
        Append(buffer, capacity, &used, "%san incomplete last packet (%llu bytes)", used ? ", " : "",
            static_cast<unsigned long long>(d->incomplete_tail));
    return used;
}

void TS_ReportDamage(const char* program, const char* fileName) {
    const TS_Damage* d = TS_GetDamage();
    if (!TS_Damage_Any(d)) return;
    static char text[4096];
    TS_Damage_Format(text, sizeof text, d);
    ts_detail::Report("%s: %s: damaged input: %s.\n", program, fileName ? fileName : "", text);
}
