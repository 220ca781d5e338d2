// The pieces of the PAT and CAT decoders that a table in several sections is built from.
#pragma once

#include <cstdint>

#include "psi/psi.h"

namespace ts_detail {

// The header fields of a PAT or CAT section, with an empty loop.
void StartPAT(TS_PAT* pat, const uint8_t* section, uint32_t total_length);
void StartCAT(TS_CAT* cat, const uint8_t* section, uint32_t total_length);
// Appends the program loop (four bytes per entry) or the descriptor loop of one section;
// false when the loop runs past the section (a partial entry, an overlong descriptor).
bool AppendPrograms(TS_PAT* pat, const uint8_t* section, uint32_t total_length);
bool AppendCATDescriptors(TS_CAT* cat, const uint8_t* section, uint32_t total_length);

}  // namespace ts_detail
