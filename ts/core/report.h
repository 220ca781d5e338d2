// The library's messages (errors, warnings, the damage line), each handed whole to the
// reporting function set with TS_SetReportFunction.
#pragma once

#include "core/core.h"

namespace ts_detail {

// Formats one message (its end of line included) and reports it.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Reports a message already formatted.
void ReportMessage(const char* message);

// A message built in parts (a list of names), reported whole by Send. One at a time.
struct MessageBuilder {
    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Send();
};

}  // namespace ts_detail
