// The damage a scan met, as counts and as the one line the commands print.
#include <cstdio>
#include <cstring>

#include "core/report.h"
#include "core/core.h"
#include "core/scan.h"

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
    auto put = [&](const char* format, auto... values) {
        if (used >= capacity - 1) return;
        const int n = std::snprintf(buffer + used, capacity - used, format, values...);
        if (n > 0) used += static_cast<size_t>(n) < capacity - used ? static_cast<size_t>(n) : capacity - used - 1;
    };
    auto part = [&](uint64_t count, const char* one, const char* many) {
        if (count == 0) return;
        put("%s%llu %s", used ? ", " : "", static_cast<unsigned long long>(count), count == 1 ? one : many);
    };
    if (d->crc_failures) {
        part(d->crc_failures, "section failed its CRC_32", "sections failed their CRC_32");
        put(" (");
        bool first = true;
        for (uint32_t pid = 0; pid < 8192; ++pid) {
            if (d->crc_failures_by_PID[pid] == 0) continue;
            put("%sPID 0x%04X: %u", first ? "" : ", ", pid, d->crc_failures_by_PID[pid]);
            first = false;
        }
        put(")");
    }
    part(d->damaged_sections, "section with lengths past its end", "sections with lengths past their end");
    part(d->continuity_breaks, "continuity break", "continuity breaks");
    part(d->transport_errors, "packet with transport_error_indicator", "packets with transport_error_indicator");
    part(d->packets_dropped, "packet cut short by lost bytes", "packets cut short by lost bytes");
    part(d->bytes_skipped, "byte skipped to regain sync", "bytes skipped to regain sync");
    if (d->incomplete_tail)
        put("%san incomplete last packet (%llu bytes)", used ? ", " : "",
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
