// The one way the library's messages leave it: each whole message is formatted here and
// handed to the reporting function a program set, standard error by default.
#include "core/report.h"

#include <cstdarg>
#include <cstdio>

namespace {

void ToStandardError(void*, const char* message) { std::fputs(message, stderr); }

TS_ReportFunction g_pReport = ToStandardError;
void* g_pReportContext = nullptr;

}  // namespace

void TS_SetReportFunction(TS_ReportFunction report, void* context) {
    g_pReport = report ? report : ToStandardError;
    g_pReportContext = report ? context : nullptr;
}

namespace ts_detail {

void Report(const char* format, ...) {
    // Two names of up to 4096 bytes and the text around them.
    static char message[3 * 4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    g_pReport(g_pReportContext, message);
}

void ReportMessage(const char* message) { g_pReport(g_pReportContext, message); }

namespace {
// Room for the longest list built: every output's name (4096 bytes at most) and its comma.
char g_strBuilt[256 * 4098 + 4096];
size_t g_uBuilt = 0;
}  // namespace

void MessageBuilder::Add(const char* format, ...) {
    if (g_uBuilt >= sizeof g_strBuilt - 1) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(g_strBuilt + g_uBuilt, sizeof g_strBuilt - g_uBuilt, format, args);
    va_end(args);
    if (n > 0) g_uBuilt += static_cast<size_t>(n) < sizeof g_strBuilt - g_uBuilt ? static_cast<size_t>(n) : sizeof g_strBuilt - g_uBuilt - 1;
}

void MessageBuilder::Send() {
    g_strBuilt[g_uBuilt] = '\0';
    ReportMessage(g_strBuilt);
    g_uBuilt = 0;
}

}  // namespace ts_detail
