// The reduced PAT of one program, built from the input's PAT packet.
#pragma once

#include <cstdint>

#include "psi/psi.h"

namespace ts_detail {

// Builds the reduced PAT of one program into `unit`: the input's network entry, when it has
// one, then the program's own entry. The header is that of the input's PAT packet `pat_unit`,
// as a packet that starts the section and carries no adaptation field; the bytes of the unit
// around the packet (an M2TS header, a trailer) are the input's.
void BuildReducedPAT(uint8_t* unit, const uint8_t* pat_unit, uint32_t unit_size, const TS_PAT& pat,
                     const TS_ProgramData& own, const TS_ProgramData* network);

}  // namespace ts_detail
