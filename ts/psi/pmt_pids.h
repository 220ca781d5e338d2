// The PIDs whose packets belong to a program, as its decoded PMT names them: the PCR_PID,
// the CA_PID of the first program-level CA_descriptor and every elementary_PID. A PCR_PID of
// 0x1FFF means the program has no PCR, and PID 0 is the PAT's own: neither is the program's.
#pragma once

#include "psi/psi.h"

namespace ts_detail {

template <class F>
inline void ForEachPIDOfPMT(const TS_PMT& pmt, F&& use) {
    auto named = [&use](uint16_t pid) {
        if (pid != TS_NO_PID) pid &= 0x1FFF;
        if (pid != TS_PID_PAT && pid != TS_PID_NULL && pid != TS_NO_PID) use(pid);
    };
    named(pmt.PCR_PID);
    uint16_t ca_pid = TS_NO_PID;
    TS_GetCAPIDFromPMT(&ca_pid, &pmt);
    named(ca_pid);
    const uint32_t n = pmt.elementary_PID_count < TS_MAX_ELEMENTARY_PIDS ? pmt.elementary_PID_count
                                                                          : TS_MAX_ELEMENTARY_PIDS;
    for (uint32_t i = 0; i < n; ++i) named(pmt.elementary_PIDs[i]);
}

}  // namespace ts_detail
