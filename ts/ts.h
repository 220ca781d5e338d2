// ts: a transport-stream library for MPEG-2 transport streams (ISO/IEC 13818-1).
//
// The decoding core: packets and sections (core/core.h), the tables with the decoder state
// (psi/psi.h) and the codecs their streams carry (psi/codec.h). The facilities built on it
// have headers of their own: the PMT survey and split (pmt/pmt.h), the program list and
// splits (programs/program_split.h) and the stream dump (dump/dump.h).
#pragma once

#include "core/core.h"
#include "psi/psi.h"
#include "psi/codec.h"
