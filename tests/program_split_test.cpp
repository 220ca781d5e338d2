// The program list and the splits by program, on streams built here packet by packet and on
// real recordings. Expectations come from what the tests put into the streams: every
// elementary-stream packet carries a serial number, so an output can be compared with the
// exact input packets it must hold.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "builder.h"
#include "files.h"
#include "ts.h"

namespace {

namespace fs = std::filesystem;
using tsb::Bytes;
using tsb::Packet;

uint16_t PidOf(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

// A stream under construction: PSI sections packetised with running continuity counters,
// and stream packets stamped with a serial number.
struct Mux {
    std::vector<Packet> packets;
    std::map<uint16_t, uint8_t> cc;
    uint32_t serial = 0;

    void Psi(uint16_t pid, const Bytes& section) {
        for (const Packet& p : tsb::Packetize({.pid = pid, .first_cc = cc[pid]}, {section})) {
            packets.push_back(p);
            ++cc[pid];
        }
    }
    void Pat(const std::vector<tsb::Program>& programs, uint8_t version = 0) {
        Psi(0, tsb::PatSection(1, programs, version));
    }
    void Es(uint16_t pid, int count = 1) {
        for (int i = 0; i < count; ++i) {
            Bytes payload(184, 0xA5);
            for (int b = 0; b < 4; ++b) payload[static_cast<size_t>(b)] = static_cast<uint8_t>(++serial >> (8 * b));
            packets.push_back(tsb::MakePacket({.pid = pid, .cc = static_cast<uint8_t>(cc[pid]++ & 0xF)},
                                              payload));
        }
    }
    // A packet carrying a PCR in its adaptation field, and some payload.
    void Pcr(uint16_t pid) {
        Bytes payload(8, static_cast<uint8_t>(++serial));
        tsb::Adaptation a;
        a.pcr = std::make_pair(uint64_t{serial} * 3000, uint16_t{0});
        packets.push_back(tsb::MakeStuffedPacket(
            {.pid = pid, .cc = static_cast<uint8_t>(cc[pid]++ & 0xF)}, payload, a));
    }
    size_t Mark() const { return packets.size(); }
};

Bytes Pmt(uint16_t number, uint16_t pcr, const std::vector<uint16_t>& es, const Bytes& program_descriptors = {},
          uint8_t version = 0) {
    std::vector<tsb::Stream> streams;
    for (uint16_t pid : es) streams.push_back({0x1B, pid, {}});
    return tsb::PmtSection(number, pcr, program_descriptors, streams, version);
}

std::vector<Packet> ReadPackets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size() % 188, 0u) << path;
    std::vector<Packet> out(bytes.size() / 188);
    for (size_t i = 0; i < out.size(); ++i) std::copy_n(bytes.begin() + static_cast<long>(188 * i), 188, out[i].begin());
    return out;
}

std::vector<Packet> WithoutPAT(const std::vector<Packet>& in) {
    std::vector<Packet> out;
    for (const Packet& p : in)
        if (PidOf(p.data()) != 0) out.push_back(p);
    return out;
}

std::vector<Packet> PATsOf(const std::vector<Packet>& in) {
    std::vector<Packet> out;
    for (const Packet& p : in)
        if (PidOf(p.data()) == 0) out.push_back(p);
    return out;
}

// Input packets [from, to) whose PID is in `pids`.
std::vector<Packet> Select(const Mux& m, const std::set<uint16_t>& pids, size_t from = 0,
                           size_t to = SIZE_MAX) {
    std::vector<Packet> out;
    for (size_t i = from; i < m.packets.size() && i < to; ++i)
        if (pids.count(PidOf(m.packets[i].data()))) out.push_back(m.packets[i]);
    return out;
}

// A scratch directory of its own for each test, with string paths and stream writers.
struct Dir : testfiles::ScratchDir {
    std::string Write(const std::string& file, const Mux& m) const { return Write(file, tsb::Join(m.packets)); }
    std::string Write(const std::string& file, const Bytes& bytes) const {
        std::string p = (path / file).string();
        testfiles::Write(p, bytes);
        return p;
    }
    std::string operator/(const std::string& file) const { return (path / file).string(); }
    std::set<std::string> Files() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(path)) out.insert(e.path().filename().string());
        return out;
    }
};

// Standard error of a call, captured through a file.
template <class F>
std::string CaptureStderr(F&& f) {
    std::fflush(stderr);
    char name[] = "/tmp/velkarin-stderr-XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(2);
    dup2(fd, 2);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(name);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(name);
    return text;
}

// Names of the files as TS_ProgramSplitFile announces them.
void Collect(void* context, const char* name) {
    static_cast<std::vector<std::string>*>(context)->push_back(fs::path(name).filename().string());
}

int32_t SplitAll(const std::string& input, std::vector<std::string>* names = nullptr) {
    return TS_ProgramSplitFile(input.c_str(), names ? &Collect : nullptr, names);
}

// The reduced PAT of a file: its section as the program loop entries (number, PID), after
// checking the CRC (bit by bit) and the stuffing.
std::vector<std::pair<uint16_t, uint16_t>> ReducedEntries(const Packet& p) {
    EXPECT_EQ(PidOf(p.data()), 0);
    EXPECT_EQ(p[1] & 0x40, 0x40);  // starts a section
    EXPECT_EQ(p[3] & 0x30, 0x10);  // payload only
    EXPECT_EQ(p[4], 0);            // pointer_field
    const uint16_t length = static_cast<uint16_t>(((p[6] & 0x0F) << 8) | p[7]);
    EXPECT_TRUE(length == 13 || length == 17) << length;
    EXPECT_EQ(tsb::Crc32(p.data() + 5, length + 3u), 0u) << "CRC_32 does not check";
    for (size_t i = 8u + length; i < 188; ++i) EXPECT_EQ(p[i], 0xFF) << i;
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (size_t at = 13; at + 4 <= length + 4u; at += 4)
        out.emplace_back(static_cast<uint16_t>((p[at] << 8) | p[at + 1]),
                         static_cast<uint16_t>(((p[at + 2] & 0x1F) << 8) | p[at + 3]));
    return out;
}

using Entries = std::vector<std::pair<uint16_t, uint16_t>>;

// ---------------------------------------------------------------------------------------------
// Program list
// ---------------------------------------------------------------------------------------------

TEST(ProgramList, ListsTheProgramsOfTheLastIntactPAT) {
    Dir dir;
    Mux m;
    m.Pat({{0, 0x10}, {5, 0x100}, {7, 0x200}, {7, 0x300}});
    m.Es(0x101, 3);
    m.Pat({{0, 0x10}, {9, 0x900}, {5, 0x150}}, 1);
    // A later PAT whose CRC does not check changes nothing.
    Bytes broken = tsb::PatSection(1, {{1, 0x111}}, 2);
    broken[9] ^= 0x01;
    m.Psi(0, broken);
    std::string in = dir.Write("rec.ts", m);

    TS_ProgramList list{};
    ASSERT_EQ(TS_GetProgramList(&list, in.c_str()), 0);
    ASSERT_EQ(list.u16ProgramCount, 2);
    EXPECT_EQ(list.lu16ProgramNumber[0], 9);
    EXPECT_EQ(list.lu16PMTPID[0], 0x900);
    EXPECT_EQ(list.lu16ProgramNumber[1], 5);
    EXPECT_EQ(list.lu16PMTPID[1], 0x150);

    // The first PAT alone: the same program_number twice gives both entries.
    const Bytes image = tsb::Join(m.packets);
    std::string first = dir.Write("first.ts", Bytes(image.begin(), image.begin() + 188));
    ASSERT_EQ(TS_GetProgramList(&list, first.c_str()), 0);
    ASSERT_EQ(list.u16ProgramCount, 3);
    EXPECT_EQ(list.lu16ProgramNumber[1], 7);
    EXPECT_EQ(list.lu16PMTPID[1], 0x200);
    EXPECT_EQ(list.lu16ProgramNumber[2], 7);
    EXPECT_EQ(list.lu16PMTPID[2], 0x300);
}

TEST(ProgramList, EdgesOfTheInput) {
    Dir dir;
    TS_ProgramList list;
    std::memset(&list, 0x5A, sizeof list);
    TS_ProgramList before = list;

    // No PAT at all, or a file shorter than a packet: the record stays as it was.
    Mux m;
    m.Es(0x100, 4);
    std::string no_pat = dir.Write("nopat.ts", m);
    EXPECT_EQ(TS_GetProgramList(&list, no_pat.c_str()), 0);
    EXPECT_EQ(std::memcmp(&list, &before, sizeof list), 0);
    std::string tiny = dir.Write("tiny.ts", Bytes(100, 0x47));
    EXPECT_EQ(TS_GetProgramList(&list, tiny.c_str()), 0);
    EXPECT_EQ(std::memcmp(&list, &before, sizeof list), 0);

    // Only the network entry: no program.
    Mux net;
    net.Pat({{0, 0x10}});
    std::string only_net = dir.Write("net.ts", net);
    EXPECT_EQ(TS_GetProgramList(&list, only_net.c_str()), 0);
    EXPECT_EQ(list.u16ProgramCount, 0);

    // A missing file and null arguments.
    std::string missing = dir / "missing.ts";
    std::string err = CaptureStderr([&] { EXPECT_EQ(TS_GetProgramList(&list, missing.c_str()), -2); });
    EXPECT_EQ(err, "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_GetProgramList(nullptr, no_pat.c_str()), -1);
    EXPECT_EQ(TS_GetProgramList(&list, nullptr), -1);
}

// ---------------------------------------------------------------------------------------------
// Split to files
// ---------------------------------------------------------------------------------------------

TEST(ProgramSplitFile, OneFilePerProgramWithItsReducedPAT) {
    Dir dir;
    Mux m;
    m.Es(0x111, 2);  // before the first PAT: dropped
    m.Pat({{0, 0x10}, {1024, 0x1F0}, {1025, 0x1F1}}, 3);
    const size_t start = m.Mark();
    m.Psi(0x1F0, Pmt(1024, 0x111, {0x111, 0x112}));
    m.Psi(0x1F1, Pmt(1025, 0x121, {0x121}));
    for (int i = 0; i < 3; ++i) {
        m.Es(0x111, 2);
        m.Es(0x112);
        m.Es(0x121);
        m.Es(0x777);  // nobody's
        m.Pat({{0, 0x10}, {1024, 0x1F0}, {1025, 0x1F1}}, 3);
    }
    std::string in = dir.Write("rec.ts", m);

    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(in, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1024_0_0.ts", "rec_1025_0_0.ts"}));
    EXPECT_EQ(dir.Files(), (std::set<std::string>{"rec.ts", "rec_1024_0_0.ts", "rec_1025_0_0.ts"}));

    auto a = ReadPackets(dir / "rec_1024_0_0.ts");
    auto b = ReadPackets(dir / "rec_1025_0_0.ts");
    EXPECT_EQ(WithoutPAT(a), Select(m, {0x1F0, 0x111, 0x112}, start));
    EXPECT_EQ(WithoutPAT(b), Select(m, {0x1F1, 0x121}, start));
    // One reduced PAT per input PAT, first in the file, each with the network entry.
    ASSERT_EQ(PATsOf(b).size(), 4u);
    EXPECT_EQ(PidOf(b[0].data()), 0);
    for (const Packet& p : PATsOf(a)) EXPECT_EQ(ReducedEntries(p), (Entries{{0, 0x10}, {1024, 0x1F0}}));
    for (const Packet& p : PATsOf(b)) EXPECT_EQ(ReducedEntries(p), (Entries{{0, 0x10}, {1025, 0x1F1}}));

    // Byte for byte: the input PAT packet's header and counter, then the section worked out by
    // hand (transport_stream_id 1, version 3, reserved bits set).
    const auto input_pats = Select(m, {0});
    const auto pats = PATsOf(b);
    for (size_t i = 0; i < pats.size(); ++i) {
        EXPECT_EQ(std::memcmp(pats[i].data(), input_pats[i].data(), 4), 0) << i;
        const uint8_t section[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x01, 0xC7, 0x00, 0x00,
                                   0x00, 0x00, 0xE0, 0x10, 0x04, 0x01, 0xE1, 0xF1};
        EXPECT_EQ(std::memcmp(pats[i].data() + 4, section, sizeof section), 0) << i;
    }
    EXPECT_NE(pats[0][3] & 0x0F, pats[1][3] & 0x0F);  // the counters follow the input's
}

TEST(ProgramSplitFile, WithoutNetworkEntryTheReducedPATHoldsTheProgramAlone) {
    Dir dir;
    Mux m;
    // The first entry is a program: it must not appear in the other program's PAT.
    m.Pat({{1, 0x100}, {2, 0x200}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Psi(0x200, Pmt(2, 0x201, {0x201}));
    m.Es(0x101);
    m.Es(0x201);
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    auto one = ReadPackets(dir / "rec_1_0_0.ts");
    auto two = ReadPackets(dir / "rec_2_0_0.ts");
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    EXPECT_EQ(ReducedEntries(one[0]), (Entries{{1, 0x100}}));
    EXPECT_EQ(ReducedEntries(two[0]), (Entries{{2, 0x200}}));
    EXPECT_EQ(two[0][7], 13);  // section_length
}

TEST(ProgramSplitFile, PCRCAAndStreamPacketsEachWrittenOnce) {
    Dir dir;
    Mux m;
    m.Pat({{0, 0x10}, {1, 0x100}, {2, 0x200}});
    // Program 1: PCR on its video PID, CA descriptor naming ECMs on 0x130.
    m.Psi(0x100, Pmt(1, 0x101, {0x101, 0x102}, tsb::CaDescriptor(0x0B00, 0x130)));
    // Program 2: PCR on a PID of its own, no CA.
    m.Psi(0x200, Pmt(2, 0x2FF, {0x201}));
    const size_t start = m.Mark();
    for (int i = 0; i < 4; ++i) {
        m.Pcr(0x101);
        m.Es(0x101, 2);
        m.Es(0x102);
        m.Psi(0x130, tsb::LongSection({.table_id = 0x80, .table_id_extension = 1}, Bytes(20, 0x33)));
        m.Pcr(0x2FF);
        m.Es(0x201);
    }
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    auto one = WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts"));
    auto two = WithoutPAT(ReadPackets(dir / "rec_2_0_0.ts"));
    EXPECT_EQ(one, Select(m, {0x100, 0x101, 0x102, 0x130}));
    EXPECT_EQ(two, Select(m, {0x200, 0x2FF, 0x201}));
    // Each PCR packet of program 1 is on its video PID: once in the file, not twice.
    EXPECT_EQ(Select(m, {0x101}, start).size(), 12u);
    // Program 2 names no CA PID: the ECMs of program 1 stay out of its file.
    for (const Packet& p : two) EXPECT_NE(PidOf(p.data()), 0x130);
}

TEST(ProgramSplitFile, ProgramsSharingAPMTPIDTakeTheirOwnSections) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}, {2, 0x100}, {3, 0x300}});
    // Both PMT sections back to back in the packets of one PID.
    std::vector<Packet> pmts = tsb::Packetize({.pid = 0x100}, {Pmt(1, 0x101, {0x101}), Pmt(2, 0x201, {0x201})});
    m.packets.insert(m.packets.end(), pmts.begin(), pmts.end());
    // Program 3 has no PCR (PCR_PID 0x1FFF): null packets are nobody's.
    m.Psi(0x300, Pmt(3, 0x1FFF, {0x301}));
    m.Es(0x101);
    m.Es(0x201);
    m.Es(0x301);
    m.Es(0x1FFF, 2);
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")), Select(m, {0x100, 0x101}));
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_2_0_0.ts")), Select(m, {0x100, 0x201}));
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_3_0_0.ts")), Select(m, {0x300, 0x301}));

    std::string out = dir / "two.ts";
    ASSERT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), 0);
    EXPECT_EQ(ReadPackets(out), Select(m, {0x100, 0x101}));  // the first program listed on it
}

TEST(ProgramSplitFile, MultiPacketPMTWrittenWholeAndCorruptedPMTIgnored) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}});
    std::vector<tsb::Stream> many;
    for (uint16_t i = 0; i < 14; ++i)
        many.push_back({0x04, static_cast<uint16_t>(0x110 + i), tsb::LanguageDescriptor({{"eng", 0}, {"fra", 0}, {"deu", 0}})});
    Bytes big = tsb::PmtSection(1, 0x110, {}, many);
    ASSERT_GT(big.size(), 183u);
    m.Psi(0x100, big);
    m.Es(0x110, 2);
    // A corrupted PMT that would move the program to other PIDs: not written, not followed.
    Bytes bad = Pmt(1, 0x500, {0x500}, {}, 1);
    bad[14] ^= 0x10;
    const size_t bad_at = m.Mark();
    m.Psi(0x100, bad);
    m.Es(0x500, 2);
    m.Es(0x111, 2);
    m.Psi(0x100, big);
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    auto out = WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts"));

    std::set<uint16_t> pids{0x100};
    for (const tsb::Stream& s : many) pids.insert(s.pid);
    std::vector<Packet> expected;
    for (size_t i = 0; i < m.packets.size(); ++i)
        if (i != bad_at && pids.count(PidOf(m.packets[i].data()))) expected.push_back(m.packets[i]);
    EXPECT_EQ(out, expected);
    size_t pmt_packets = 0;
    for (const Packet& p : out) pmt_packets += PidOf(p.data()) == 0x100;
    EXPECT_EQ(pmt_packets, 4u);  // both packets of each intact section, none of the broken one
}

TEST(ProgramSplitFile, DuplicateProgramNumbersGetFilesOfTheirOwn) {
    Dir dir;
    Mux m;
    m.Pat({{7, 0x100}, {7, 0x200}});
    m.Psi(0x100, Pmt(7, 0x101, {0x101}));
    m.Psi(0x200, Pmt(7, 0x201, {0x201}));
    m.Es(0x101, 2);
    m.Es(0x201, 3);
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_7_0_0.ts")), Select(m, {0x100, 0x101}));
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_7_1_0.ts")), Select(m, {0x200, 0x201}));
    EXPECT_EQ(ReducedEntries(ReadPackets(dir / "rec_7_1_0.ts")[0]), (Entries{{7, 0x200}}));
}

TEST(ProgramSplitFile, ALeavingProgramReturnsInANewGeneration) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}, {2, 0x200}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Psi(0x200, Pmt(2, 0x201, {0x201}));
    m.Es(0x201, 2);
    const size_t left = m.Mark();
    for (int i = 0; i < 3; ++i) {
        m.Pat({{1, 0x100}}, 1);
        m.Es(0x201);  // still on the wire, but the program is gone
        m.Es(0x101);
    }
    const size_t back = m.Mark();
    m.Pat({{1, 0x100}, {2, 0x200}}, 2);
    m.Es(0x201);  // before the returning program's PMT: not yet followed
    const size_t pmt_again = m.Mark();
    m.Psi(0x200, Pmt(2, 0x201, {0x201}));
    m.Es(0x201, 2);
    std::string in = dir.Write("rec.ts", m);

    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(in, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1_0_0.ts", "rec_2_0_0.ts", "rec_2_0_3.ts"}));
    EXPECT_EQ(dir.Files().size(), 4u);
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_2_0_0.ts")), Select(m, {0x200, 0x201}, 0, left));
    auto again = ReadPackets(dir / "rec_2_0_3.ts");
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(PidOf(again[0].data()), 0);
    // Afresh: nothing of the program flows before its PMT comes again.
    EXPECT_EQ(WithoutPAT(again), Select(m, {0x200, 0x201}, pmt_again));
    EXPECT_EQ(PATsOf(again).size(), 1u);
    EXPECT_LT(back, pmt_again);
    // The PATs without program 2 still reach program 1's file.
    EXPECT_EQ(PATsOf(ReadPackets(dir / "rec_1_0_0.ts")).size(), 5u);

    ASSERT_EQ(g_tPNSplitData.u16Count, 2);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].u16ProgramNumber, 2);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].u16Generation, 3);
    EXPECT_EQ(g_tPNSplitData.ltEntry[0].u16Generation, 0);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].nFile, -1);  // closed at the end
}

TEST(ProgramSplitFile, AMovedPMTIsFollowedInTheSameFile) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Es(0x101, 2);
    m.Pat({{1, 0x300}}, 1);
    m.Psi(0x300, Pmt(1, 0x301, {0x301}));
    m.Es(0x301, 2);
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));  // the old PID is no longer followed
    std::string in = dir.Write("rec.ts", m);
    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(in, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1_0_0.ts"}));
    auto out = ReadPackets(dir / "rec_1_0_0.ts");
    auto pats = PATsOf(out);
    ASSERT_EQ(pats.size(), 2u);
    EXPECT_EQ(ReducedEntries(pats[1]), (Entries{{1, 0x300}}));
    std::vector<Packet> expected = Select(m, {0x100, 0x101}, 0, m.Mark() - 1);
    for (const Packet& p : Select(m, {0x300, 0x301})) expected.push_back(p);
    EXPECT_EQ(WithoutPAT(out), expected);
    EXPECT_EQ(g_tPNSplitData.ltEntry[0].u16PMTPID, 0x300);
    EXPECT_EQ(g_tPNSplitData.ltEntry[0].u16Generation, 0);
}

TEST(ProgramSplitFile, ASeventeenthProgramIsReportedOnceAndSkipped) {
    Dir dir;
    Mux m;
    std::vector<tsb::Program> sixteen;
    for (uint16_t n = 1; n <= 16; ++n) sixteen.push_back({n, static_cast<uint16_t>(0x100 + n)});
    m.Pat(sixteen);
    m.Psi(0x101, Pmt(1, 0x1001, {0x1001}));
    m.Pat({{1, 0x101}, {17, 0x117}, {18, 0x118}}, 1);
    m.Psi(0x117, Pmt(17, 0x1017, {0x1017}));
    m.Es(0x1017);
    m.Es(0x1001, 2);
    m.Pat({{1, 0x101}, {17, 0x117}, {18, 0x118}}, 1);
    std::string in = dir.Write("rec.ts", m);
    std::vector<std::string> names;
    std::string err = CaptureStderr([&] { EXPECT_EQ(SplitAll(in, &names), 0); });
    EXPECT_EQ(names.size(), 16u);
    EXPECT_FALSE(fs::exists(dir / "rec_17_0_0.ts"));
    EXPECT_FALSE(fs::exists(dir / "rec_18_0_0.ts"));
    EXPECT_NE(err.find("program 17"), std::string::npos) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "reported more than once: " << err;
    // The known program goes on being split.
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")), Select(m, {0x101, 0x1001}));
    EXPECT_EQ(g_tPNSplitData.u16Count, 16);
}

TEST(ProgramSplitFile, NoPATCorruptedPATAndMissingInput) {
    Dir dir;
    Mux m;
    m.Es(0x100, 3);
    Bytes bad = tsb::PatSection(1, {{1, 0x100}});
    bad[8] ^= 0x01;
    m.Psi(0, bad);
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in), 0);
    EXPECT_EQ(dir.Files(), std::set<std::string>{"rec.ts"});

    std::string missing = dir / "missing.ts";
    std::string err = CaptureStderr([&] { EXPECT_EQ(SplitAll(missing), -2); });
    EXPECT_EQ(err, "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_ProgramSplitFile(nullptr), -1);
}

TEST(ProgramSplitFile, RefusedAndFailingOutputs) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}, {2, 0x200}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Es(0x101, 400);
    const Bytes image = tsb::Join(m.packets);
    std::string in = dir.Write("rec.ts", image);

    // An output name taken by a directory.
    fs::create_directory(dir / "rec_2_0_0.ts");
    std::string err = CaptureStderr([&] { EXPECT_EQ(SplitAll(in), -3); });
    EXPECT_EQ(err, "Error: Failed open " + (dir / "rec_2_0_0.ts") + ".\n");
    fs::remove(dir / "rec_2_0_0.ts");
    EXPECT_TRUE(fs::exists(dir / "rec_1_0_0.ts"));  // opened before the failure, kept
    fs::remove(dir / "rec_1_0_0.ts");

    // An output that is the input itself, under another name: refused, the input intact.
    fs::create_hard_link(in, dir / "rec_1_0_0.ts");
    err = CaptureStderr([&] { EXPECT_EQ(SplitAll(in), -3); });
    EXPECT_EQ(err, "Error: Failed open " + (dir / "rec_1_0_0.ts") + ".\n");
    auto after = ReadPackets(in);
    EXPECT_EQ(tsb::Join(after), image);
    fs::remove(dir / "rec_1_0_0.ts");

    // A full disk: the failed write stops the split with -5 and names the output.
    fs::create_symlink("/dev/full", dir / "rec_1_0_0.ts");
    err = CaptureStderr([&] { EXPECT_EQ(SplitAll(in), -5); });
    EXPECT_NE(err.find("rec_1_0_0.ts"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// Split of one program
// ---------------------------------------------------------------------------------------------

TEST(ProgramSplitStream, CopiesOneProgramUntilItLeavesThePAT) {
    Dir dir;
    Mux m;
    m.Es(0x101, 2);
    m.Pat({{0, 0x100}, {1, 0x100}, {2, 0x200}});  // the network PID may equal a PMT PID
    const size_t start = m.Mark();
    m.Psi(0x100, Pmt(1, 0x101, {0x101, 0x102}, tsb::CaDescriptor(1, 0x130)));
    m.Psi(0x200, Pmt(2, 0x201, {0x201}));
    m.Pcr(0x101);
    m.Es(0x102);
    m.Psi(0x130, tsb::LongSection({.table_id = 0x80, .table_id_extension = 1}, Bytes(8, 1)));
    m.Es(0x201);
    m.Pat({{1, 0x100}, {2, 0x200}}, 1);
    m.Es(0x101, 2);
    const size_t gone = m.Mark();
    m.Pat({{2, 0x200}}, 2);
    m.Es(0x101, 2);
    m.Pat({{1, 0x100}, {2, 0x200}}, 3);
    m.Es(0x101, 2);
    std::string in = dir.Write("rec.ts", m);
    std::string out = dir / "one.ts";
    ASSERT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), 0);
    EXPECT_EQ(ReadPackets(out), Select(m, {0x100, 0x101, 0x102, 0x130}, start, gone));

    // Program 2 is followed to the end; no PAT packet in its output.
    ASSERT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x200), 0);
    EXPECT_EQ(ReadPackets(out), Select(m, {0x200, 0x201}));
}

TEST(ProgramSplitStream, NoOutputWithoutTheProgram) {
    Dir dir;
    Mux m;
    m.Pat({{0, 0x300}, {1, 0x100}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Es(0x101, 2);
    m.Pat({{0, 0x300}, {1, 0x100}, {3, 0x300}});  // listed only later: too late
    std::string in = dir.Write("rec.ts", m);
    bool opened = false;
    auto note = [](void* c, const char*) { *static_cast<bool*>(c) = true; };
    // Not listed by the first PAT; listed only as the network PID.
    EXPECT_EQ(TS_ProgramSplitStream((dir / "a.ts").c_str(), in.c_str(), 0x200, note, &opened), 0);
    EXPECT_EQ(TS_ProgramSplitStream((dir / "b.ts").c_str(), in.c_str(), 0x300, note, &opened), 0);
    // No PAT at all.
    Mux none;
    none.Es(0x100, 3);
    std::string no_pat = dir.Write("nopat.ts", none);
    EXPECT_EQ(TS_ProgramSplitStream((dir / "c.ts").c_str(), no_pat.c_str(), 0x100, note, &opened), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(dir.Files(), (std::set<std::string>{"rec.ts", "nopat.ts"}));
    // The positive case beside them.
    EXPECT_EQ(TS_ProgramSplitStream((dir / "d.ts").c_str(), in.c_str(), 0x100, note, &opened), 0);
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadPackets(dir / "d.ts"), Select(m, {0x100, 0x101}));
}

TEST(ProgramSplitStream, RefusedAndFailingOutputs) {
    Dir dir;
    Mux m;
    m.Pat({{1, 0x100}});
    m.Psi(0x100, Pmt(1, 0x101, {0x101}));
    m.Es(0x101, 400);
    const Bytes image = tsb::Join(m.packets);
    std::string in = dir.Write("rec.ts", image);

    std::string err = CaptureStderr([&] { EXPECT_EQ(TS_ProgramSplitStream(in.c_str(), in.c_str(), 0x100), -3); });
    EXPECT_EQ(err, "error - failed on _open(" + in + ") [dest]\n");
    EXPECT_EQ(tsb::Join(ReadPackets(in)), image);

    std::string nowhere = dir / "no/such/dir/out.ts";
    err = CaptureStderr([&] { EXPECT_EQ(TS_ProgramSplitStream(nowhere.c_str(), in.c_str(), 0x100), -3); });
    EXPECT_EQ(err, "error - failed on _open(" + nowhere + ") [dest]\n");

    err = CaptureStderr([&] { EXPECT_EQ(TS_ProgramSplitStream("/dev/full", in.c_str(), 0x100), -5); });
    EXPECT_NE(err.find("/dev/full"), std::string::npos) << err;

    // An existing longer file is truncated, not overwritten in place.
    std::string out = dir.Write("old.ts", Bytes(188 * 1000, 0x47));
    EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), 0);
    EXPECT_EQ(fs::file_size(out), 188u * 401);

    std::string missing = dir / "missing.ts";
    err = CaptureStderr([&] { EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), missing.c_str(), 0x100), -2); });
    EXPECT_EQ(err, "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_ProgramSplitStream(nullptr, in.c_str(), 0x100), -1);
    EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), nullptr, 0x100), -1);
}

// ---------------------------------------------------------------------------------------------
// Real recordings
// ---------------------------------------------------------------------------------------------

struct RealProgram {
    uint16_t number;
    uint16_t pmt_pid;
    std::set<uint16_t> pids;  // PMT, PCR, CA and elementary stream PIDs
};

struct RealStream {
    const char* file;
    std::vector<RealProgram> programs;
    Entries network;  // the network entry of its PAT, if any
};

// What the streams' README and their muxers say of them.
const RealStream kReal[] = {
    {"two-programs.ts", {{1, 0x1000, {0x1000, 0x100, 0x101}}, {2, 0x1001, {0x1001, 0x102}}}, {}},
    {"three-programs.ts",
     {{101, 0x1000, {0x1000, 0x100, 0x101}}, {102, 0x1001, {0x1001, 0x102}}, {103, 0x1002, {0x1002, 0x103}}},
     {}},
    {"broadcast.ts", {{1024, 0x1F0, {0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130}}}, {{0, 0x10}}},
    {"broadcast-damaged.ts", {{1024, 0x1F0, {0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130}}}, {{0, 0x10}}},
};

TEST(ProgramSplitRealStreams, EveryProgramIntoItsFileAndTheSameByPMTPID) {
    for (const RealStream& real : kReal) {
        SCOPED_TRACE(real.file);
        const std::string source = std::string(VELKARIN_STREAMS_DIR) + "/" + real.file;
        if (!fs::exists(source)) GTEST_SKIP() << source << " is absent";
        Dir dir;
        const std::string in = dir / real.file;
        fs::copy_file(source, in);
        const std::string base = fs::path(real.file).stem().string();

        TS_ProgramList list{};
        ASSERT_EQ(TS_GetProgramList(&list, in.c_str()), 0);
        ASSERT_EQ(list.u16ProgramCount, real.programs.size());

        std::vector<std::string> names;
        ASSERT_EQ(SplitAll(in, &names), 0);
        ASSERT_EQ(names.size(), real.programs.size());
        for (size_t i = 0; i < real.programs.size(); ++i) {
            const RealProgram& prog = real.programs[i];
            SCOPED_TRACE(prog.number);
            EXPECT_EQ(list.lu16ProgramNumber[i], prog.number);
            EXPECT_EQ(list.lu16PMTPID[i], prog.pmt_pid);
            const std::string name = base + "_" + std::to_string(prog.number) + "_0_0.ts";
            EXPECT_EQ(names[i], name);
            auto out = ReadPackets(dir / name);
            ASSERT_GT(out.size(), 100u);
            Entries expected = real.network;
            expected.emplace_back(prog.number, prog.pmt_pid);
            size_t pats = 0;
            for (const Packet& p : out) {
                const uint16_t pid = PidOf(p.data());
                if (pid == 0) {
                    ++pats;
                    EXPECT_EQ(ReducedEntries(p), expected);
                } else {
                    ASSERT_TRUE(prog.pids.count(pid)) << "PID " << pid;
                }
            }
            EXPECT_GT(pats, 0u);

            // The one-program split by PMT PID holds the same packets, less the PATs.
            const std::string one = dir / "one.ts";
            ASSERT_EQ(TS_ProgramSplitStream(one.c_str(), in.c_str(), prog.pmt_pid), 0);
            EXPECT_TRUE(ReadPackets(one) == WithoutPAT(out));
        }
    }
}

TEST(ProgramSplitRealStreams, IntactRecordingKeepsEveryPacketOfItsProgram) {
    const std::string source = std::string(VELKARIN_STREAMS_DIR) + "/broadcast.ts";
    if (!fs::exists(source)) GTEST_SKIP() << source << " is absent";
    Dir dir;
    const std::string in = dir / "broadcast.ts";
    fs::copy_file(source, in);
    ASSERT_EQ(SplitAll(in), 0);
    auto input = ReadPackets(in);
    auto out = WithoutPAT(ReadPackets(dir / "broadcast_1024_0_0.ts"));
    // From the first PMT on, every packet of the program's PIDs, in order, once.
    const std::set<uint16_t> pids{0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130};
    size_t first = 0;
    while (first < input.size() && PidOf(input[first].data()) != 0x1F0) ++first;
    std::vector<Packet> expected;
    for (size_t i = first; i < input.size(); ++i)
        if (pids.count(PidOf(input[i].data()))) expected.push_back(input[i]);
    EXPECT_TRUE(out == expected) << out.size() << " packets, expected " << expected.size();
    // The PMT PID carries both packets of the two-packet PMT B.
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const Packet& p) { return PidOf(p.data()) == 0x1F0; }),
              std::count_if(expected.begin(), expected.end(), [](const Packet& p) { return PidOf(p.data()) == 0x1F0; }));
}

// A PMT of nineteen streams: the three past the sixteen detailed stream records are split too.
TEST(ProgramSplitRealStreams, EveryStreamOfALargePMT) {
    const std::string source = std::string(VELKARIN_STREAMS_DIR) + "/pmt-two-packets.ts";
    if (!fs::exists(source)) GTEST_SKIP() << source << " is absent";
    Dir dir;
    const std::string in = dir / "big.ts";
    fs::copy_file(source, in);
    ASSERT_EQ(SplitAll(in), 0);
    std::map<uint16_t, size_t> in_count, out_count;
    for (const Packet& p : ReadPackets(in)) ++in_count[PidOf(p.data())];
    for (const Packet& p : ReadPackets(dir / "big_1_0_0.ts")) ++out_count[PidOf(p.data())];
    for (uint16_t pid : std::initializer_list<uint16_t>{0x110, 0x111, 0x112}) {
        ASSERT_GT(in_count[pid], 0u) << pid;
        EXPECT_EQ(out_count[pid], in_count[pid]) << pid;
    }
}

}  // namespace
