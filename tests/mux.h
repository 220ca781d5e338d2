// A tiny multiplexer for driver tests: appends PSI sections and elementary-stream packets to
// one stream with a continuity counter per PID, and remembers where each packet lies, so a
// test can state the exact output it expects as a list of input packets.
#pragma once

#include <map>
#include <vector>

#include "builder.h"

namespace tsb {

struct Mux {
    std::vector<Packet> packets;
    std::map<uint16_t, uint8_t> cc;

    // Packetises `sections` on `pid`; returns the indices of the packets that carry them.
    std::vector<size_t> Psi(uint16_t pid, const std::vector<Bytes>& sections) {
        auto pk = Packetize(PsiStream{.pid = pid, .first_cc = cc[pid]}, sections);
        cc[pid] = static_cast<uint8_t>((cc[pid] + pk.size()) & 0x0F);
        std::vector<size_t> at;
        for (auto& p : pk) {
            at.push_back(packets.size());
            packets.push_back(p);
        }
        return at;
    }
    size_t Section(uint16_t pid, const Bytes& section) { return Psi(pid, {section}).back(); }

    // An elementary-stream packet; with `pcr` its adaptation field carries a PCR.
    size_t Es(uint16_t pid, bool pcr = false, uint8_t fill = 0) {
        Header h{.pid = pid, .cc = cc[pid]};
        cc[pid] = static_cast<uint8_t>((cc[pid] + 1) & 0x0F);
        Bytes payload(pcr ? 176 : 184, static_cast<uint8_t>(fill ? fill : packets.size()));
        if (pcr) {
            Adaptation a;
            a.pcr = std::make_pair(uint64_t{packets.size()} * 900, uint16_t{0});
            h.afc = 3;
            packets.push_back(MakePacket(h, payload, EncodeAdaptation(a)));
        } else {
            packets.push_back(MakePacket(h, payload));
        }
        return packets.size() - 1;
    }
    // A packet with an adaptation field only (no payload), carrying a PCR.
    size_t PcrOnly(uint16_t pid) {
        Header h{.pid = pid, .cc = static_cast<uint8_t>((cc[pid] + 15) & 0x0F), .afc = 2};
        Adaptation a;
        a.pcr = std::make_pair(uint64_t{packets.size()} * 900, uint16_t{0});
        a.stuffing = 183 - 7;
        packets.push_back(MakePacket(h, {}, EncodeAdaptation(a)));
        return packets.size() - 1;
    }

    Bytes File() const { return Join(packets); }
    // The bytes of the listed packets, in that order.
    Bytes Pick(const std::vector<size_t>& indices) const {
        Bytes out;
        for (size_t i : indices) out.insert(out.end(), packets[i].begin(), packets[i].end());
        return out;
    }
};

}  // namespace tsb
