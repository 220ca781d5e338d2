// The program list, the splits by program and the velkarin-programs command, on streams built
// here packet by packet and on real recordings. Expectations come from what the tests put into
// the streams: an output is compared with the exact input packets it must hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "mux.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

namespace {

namespace fs = std::filesystem;
using tsb::Bytes;
using tsb::Packet;
using Entries = std::vector<std::pair<uint16_t, uint16_t>>;
using testfiles::Result;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

uint16_t PidOf(const Packet& p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }

void Es(tsb::Mux& m, uint16_t pid, int count = 1) {
    for (int i = 0; i < count; ++i) m.Es(pid);
}
void Pat(tsb::Mux& m, const std::vector<tsb::Program>& programs, uint8_t version = 0) {
    m.Section(0, tsb::PatSection(1, programs, version));
}
Bytes Pmt(uint16_t number, uint16_t pcr, const std::vector<uint16_t>& es, const Bytes& descriptors = {}, uint8_t version = 0) {
    std::vector<tsb::Stream> streams;
    for (uint16_t pid : es) streams.push_back({0x1B, pid, {}});
    return tsb::PmtSection(number, pcr, descriptors, streams, version);
}

std::vector<Packet> ReadPackets(const fs::path& path) {
    const Bytes bytes = testfiles::Read(path);
    EXPECT_EQ(bytes.size() % 188, 0u) << path;
    std::vector<Packet> out(bytes.size() / 188);
    for (size_t i = 0; i < out.size(); ++i) std::copy_n(bytes.begin() + static_cast<long>(188 * i), 188, out[i].begin());
    return out;
}
std::vector<Packet> WithoutPAT(const std::vector<Packet>& in) {
    std::vector<Packet> out;
    std::copy_if(in.begin(), in.end(), std::back_inserter(out), [](const Packet& p) { return PidOf(p) != 0; });
    return out;
}
std::vector<Packet> PATsOf(const std::vector<Packet>& in) {
    std::vector<Packet> out;
    std::copy_if(in.begin(), in.end(), std::back_inserter(out), [](const Packet& p) { return PidOf(p) == 0; });
    return out;
}
// Input packets [from, to) whose PID is in `pids`.
std::vector<Packet> Select(const tsb::Mux& m, const std::set<uint16_t>& pids, size_t from = 0, size_t to = SIZE_MAX) {
    std::vector<Packet> out;
    for (size_t i = from; i < m.packets.size() && i < to; ++i)
        if (pids.count(PidOf(m.packets[i]))) out.push_back(m.packets[i]);
    return out;
}

// A scratch directory with string paths and stream writers.
struct Dir : testfiles::ScratchDir {
    std::string operator/(const std::string& file) const { return (path / file).string(); }
    std::string Write(const std::string& file, const Bytes& bytes) const {
        testfiles::Write(*this / file, bytes);
        return *this / file;
    }
    std::string Write(const std::string& file, const tsb::Mux& m) const { return Write(file, m.File()); }
    std::set<std::string> Files() const {
        std::set<std::string> out;
        for (const auto& e : fs::directory_iterator(path)) out.insert(e.path().filename().string());
        return out;
    }
};

void Collect(void* context, const char* name) {
    static_cast<std::vector<std::string>*>(context)->push_back(fs::path(name).filename().string());
}
int32_t SplitAll(const std::string& input, std::vector<std::string>* names = nullptr) {
    return TS_ProgramSplitFile(input.c_str(), names ? &Collect : nullptr, names);
}
template <class F>
std::string StderrOf(F&& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// The reduced PAT of a file as its program loop entries (number, PID), after checking the
// layout, the CRC (bit by bit) and the stuffing.
Entries ReducedEntries(const Packet& p) {
    EXPECT_EQ(PidOf(p), 0);
    EXPECT_EQ(p[1] & 0x40, 0x40);  // starts a section
    EXPECT_EQ(p[3] & 0x30, 0x10);  // payload only
    EXPECT_EQ(p[4], 0);            // pointer_field
    const uint16_t length = static_cast<uint16_t>(((p[6] & 0x0F) << 8) | p[7]);
    EXPECT_TRUE(length == 13 || length == 17) << length;
    EXPECT_EQ(tsb::Crc32(p.data() + 5, length + 3u), 0u) << "CRC_32 does not check";
    for (size_t i = 8u + length; i < 188; ++i) EXPECT_EQ(p[i], 0xFF) << i;
    Entries out;
    for (size_t at = 13; at + 4 <= length + 4u; at += 4)
        out.emplace_back(static_cast<uint16_t>((p[at] << 8) | p[at + 1]), static_cast<uint16_t>(((p[at + 2] & 0x1F) << 8) | p[at + 3]));
    return out;
}

TEST(ProgramList, ListsTheProgramsOfTheLastIntactPAT) {
    Dir dir;
    tsb::Mux m;
    Pat(m, {{0, 0x10}, {5, 0x100}, {7, 0x200}, {7, 0x300}});
    Es(m, 0x101, 3);
    Pat(m, {{0, 0x10}, {9, 0x900}, {5, 0x150}}, 1);
    Bytes broken = tsb::PatSection(1, {{1, 0x111}}, 2);  // a later PAT whose CRC fails changes nothing
    broken[9] ^= 0x01;
    m.Section(0, broken);
    TS_ProgramList list{};
    ASSERT_EQ(TS_GetProgramList(&list, dir.Write("rec.ts", m).c_str()), 0);
    ASSERT_EQ(list.u16ProgramCount, 2);
    EXPECT_EQ(list.lu16ProgramNumber[0], 9);
    EXPECT_EQ(list.lu16PMTPID[0], 0x900);
    EXPECT_EQ(list.lu16ProgramNumber[1], 5);
    EXPECT_EQ(list.lu16PMTPID[1], 0x150);
    // The first PAT alone: the same program_number twice gives both entries.
    ASSERT_EQ(TS_GetProgramList(&list, dir.Write("first.ts", m.Pick({0})).c_str()), 0);
    ASSERT_EQ(list.u16ProgramCount, 3);
    EXPECT_EQ(list.lu16ProgramNumber[1], 7);
    EXPECT_EQ(list.lu16PMTPID[1], 0x200);
    EXPECT_EQ(list.lu16ProgramNumber[2], 7);
    EXPECT_EQ(list.lu16PMTPID[2], 0x300);
}

TEST(ProgramList, EdgesOfTheInput) {
    Dir dir;
    TS_ProgramList list, before;
    std::memset(&list, 0x5A, sizeof list);
    before = list;
    // No PAT at all, or a file shorter than a packet: the record stays as it was.
    tsb::Mux m;
    Es(m, 0x100, 4);
    const std::string no_pat = dir.Write("nopat.ts", m);
    for (const std::string& in : {no_pat, dir.Write("tiny.ts", Bytes(100, 0x47))}) {
        EXPECT_EQ(TS_GetProgramList(&list, in.c_str()), 0);
        EXPECT_EQ(std::memcmp(&list, &before, sizeof list), 0) << in;
    }
    // Only the network entry: no program.
    tsb::Mux net;
    Pat(net, {{0, 0x10}});
    EXPECT_EQ(TS_GetProgramList(&list, dir.Write("net.ts", net).c_str()), 0);
    EXPECT_EQ(list.u16ProgramCount, 0);
    // A missing file and null arguments.
    const std::string missing = dir / "missing.ts";
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(TS_GetProgramList(&list, missing.c_str()), -2); }), "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_GetProgramList(nullptr, no_pat.c_str()), -1);
    EXPECT_EQ(TS_GetProgramList(&list, nullptr), -1);
}

TEST(ProgramSplitFile, OneFilePerProgramWithItsReducedPAT) {
    Dir dir;
    tsb::Mux m;
    Es(m, 0x111, 2);  // before the first PAT: dropped
    Pat(m, {{0, 0x10}, {1024, 0x1F0}, {1025, 0x1F1}}, 3);
    const size_t start = m.packets.size();
    m.Section(0x1F0, Pmt(1024, 0x111, {0x111, 0x112}));
    m.Section(0x1F1, Pmt(1025, 0x121, {0x121}));
    for (int i = 0; i < 3; ++i) {
        Es(m, 0x111, 2);
        Es(m, 0x112);
        Es(m, 0x121);
        Es(m, 0x777);  // nobody's
        Pat(m, {{0, 0x10}, {1024, 0x1F0}, {1025, 0x1F1}}, 3);
    }
    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(dir.Write("rec.ts", m), &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1024_0_0.ts", "rec_1025_0_0.ts"}));
    EXPECT_EQ(dir.Files(), (std::set<std::string>{"rec.ts", "rec_1024_0_0.ts", "rec_1025_0_0.ts"}));
    auto a = ReadPackets(dir / "rec_1024_0_0.ts"), b = ReadPackets(dir / "rec_1025_0_0.ts");
    EXPECT_EQ(WithoutPAT(a), Select(m, {0x1F0, 0x111, 0x112}, start));
    EXPECT_EQ(WithoutPAT(b), Select(m, {0x1F1, 0x121}, start));
    // One reduced PAT per input PAT, first in the file, each with the network entry.
    ASSERT_EQ(PATsOf(b).size(), 4u);
    EXPECT_EQ(PidOf(b[0]), 0);
    for (const Packet& p : PATsOf(a)) EXPECT_EQ(ReducedEntries(p), (Entries{{0, 0x10}, {1024, 0x1F0}}));
    // Byte for byte: the input PAT packet's header and counter, then the section worked out by
    // hand (transport_stream_id 1, version 3, reserved bits set).
    const auto input_pats = Select(m, {0}), pats = PATsOf(b);
    const uint8_t section[] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x01, 0xC7, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x10, 0x04, 0x01, 0xE1, 0xF1};
    for (size_t i = 0; i < pats.size(); ++i) {
        EXPECT_EQ(std::memcmp(pats[i].data(), input_pats[i].data(), 4), 0) << i;
        EXPECT_EQ(std::memcmp(pats[i].data() + 4, section, sizeof section), 0) << i;
        EXPECT_EQ(ReducedEntries(pats[i]), (Entries{{0, 0x10}, {1025, 0x1F1}}));
    }
    EXPECT_NE(pats[0][3] & 0x0F, pats[1][3] & 0x0F);  // the counters follow the input's
}

TEST(ProgramSplitFile, WithoutNetworkEntryTheReducedPATHoldsTheProgramAlone) {
    Dir dir;
    tsb::Mux m;
    Pat(m, {{1, 0x100}, {2, 0x200}});  // the first entry is a program: not in the other's PAT
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    m.Section(0x200, Pmt(2, 0x201, {0x201}));
    Es(m, 0x101);
    Es(m, 0x201);
    ASSERT_EQ(SplitAll(dir.Write("rec.ts", m)), 0);
    auto one = ReadPackets(dir / "rec_1_0_0.ts"), two = ReadPackets(dir / "rec_2_0_0.ts");
    ASSERT_FALSE(one.empty());
    ASSERT_FALSE(two.empty());
    EXPECT_EQ(ReducedEntries(one[0]), (Entries{{1, 0x100}}));
    EXPECT_EQ(ReducedEntries(two[0]), (Entries{{2, 0x200}}));
    EXPECT_EQ(two[0][7], 13);  // section_length
}

// One stream with the cases of a split to files side by side; each program's file holds
// exactly the input packets of its PIDs over the span the program is followed.
TEST(ProgramSplitFile, EveryProgramGetsItsOwnPacketsOnce) {
    Dir dir;
    tsb::Mux m;
    // Program 1: PCR on its video PID, ECMs on 0x130, a PMT of two packets (14 streams).
    std::vector<tsb::Stream> many;
    for (uint16_t i = 0; i < 14; ++i)
        many.push_back({0x04, static_cast<uint16_t>(0x110 + i), tsb::LanguageDescriptor({{"eng", 0}, {"fra", 0}, {"deu", 0}})});
    const Bytes big = tsb::PmtSection(1, 0x110, tsb::CaDescriptor(0x0B00, 0x130), many);
    // Program 2: PCR on a PID of its own, no CA; it leaves the PAT and comes back. Programs 3 and
    // 4 share a PMT PID (3 has no PCR: null packets are nobody's); program number 7 twice;
    // program 5's PMT moves from 0x500 to 0x550.
    const std::vector<tsb::Program> all = {{0, 0x10}, {1, 0x100}, {2, 0x200}, {3, 0x300}, {4, 0x300}, {7, 0x700}, {7, 0x800}, {5, 0x500}};
    std::vector<tsb::Program> moved = all, without2 = all;
    moved.back().pid = without2.back().pid = 0x550;
    without2.erase(without2.begin() + 2);
    m.Es(0x110);  // before the first PAT: dropped
    Pat(m, all);
    const size_t start = m.packets.size();
    ASSERT_EQ(m.Psi(0x100, {big}).size(), 2u);
    m.Section(0x200, Pmt(2, 0x2FF, {0x201}));
    m.Psi(0x300, {Pmt(3, 0x1FFF, {0x301}), Pmt(4, 0x401, {0x401})});  // back to back in one PID's packets
    m.Section(0x700, Pmt(7, 0x701, {0x701}));
    m.Section(0x800, Pmt(7, 0x801, {0x801}));
    m.Section(0x500, Pmt(5, 0x501, {0x501}));
    for (int i = 0; i < 2; ++i) {
        m.Es(0x110, true);
        m.Section(0x130, tsb::LongSection({.table_id = 0x80, .table_id_extension = 1}, Bytes(20, 0x33)));
        m.Es(0x2FF, true);
        for (uint16_t pid : std::initializer_list<uint16_t>{0x110, 0x111, 0x201, 0x301, 0x401, 0x701, 0x801, 0x501, 0x777, 0x1FFF})
            m.Es(pid);
    }
    Bytes bad = Pmt(1, 0x5F0, {0x5F0}, {}, 1);  // corrupted: would move program 1 to other PIDs
    bad[14] ^= 0x10;
    const size_t bad_at = m.Section(0x100, bad);
    m.Es(0x5F0);
    const size_t left = m.packets.size();
    for (int i = 0; i < 3; ++i) {
        Pat(m, without2, 1);
        m.Es(0x201);  // still on the wire, but the program is gone
        m.Es(0x111);
    }
    m.Section(0x550, Pmt(5, 0x551, {0x551}));
    m.Es(0x551);
    Pat(m, moved, 2);
    m.Es(0x201);  // before the returning program's PMT: not yet followed
    const size_t pmt_again = m.Section(0x200, Pmt(2, 0x2FF, {0x201}));
    m.Es(0x201);
    m.Es(0x2FF, true);
    const size_t old_pid = m.Section(0x500, Pmt(5, 0x501, {0x501}));  // no longer followed
    m.Psi(0x100, {big});

    std::vector<std::string> names;
    const std::string in = dir.Write("rec.ts", m);
    ASSERT_EQ(SplitAll(in, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1_0_0.ts", "rec_2_0_0.ts", "rec_3_0_0.ts", "rec_4_0_0.ts", "rec_7_0_0.ts",
                                               "rec_7_1_0.ts", "rec_5_0_0.ts", "rec_2_0_3.ts"}));
    EXPECT_EQ(dir.Files().size(), 9u);
    std::set<uint16_t> one{0x100, 0x130};
    for (const tsb::Stream& st : many) one.insert(st.pid);
    std::vector<Packet> want1 = Select(m, one, start);
    want1.erase(std::find(want1.begin(), want1.end(), m.packets[bad_at]));  // both packets of each intact PMT, not the broken one
    std::vector<Packet> want5 = Select(m, {0x500, 0x501}, start, old_pid);
    for (const Packet& p : Select(m, {0x550, 0x551})) want5.push_back(p);
    const std::map<std::string, std::vector<Packet>> want = {
        {"rec_1_0_0.ts", want1}, {"rec_2_0_0.ts", Select(m, {0x200, 0x2FF, 0x201}, start, left)},
        {"rec_2_0_3.ts", Select(m, {0x200, 0x2FF, 0x201}, pmt_again)},  // afresh: nothing before its PMT
        {"rec_3_0_0.ts", Select(m, {0x300, 0x301})}, {"rec_4_0_0.ts", Select(m, {0x300, 0x401})},
        {"rec_7_0_0.ts", Select(m, {0x700, 0x701})}, {"rec_7_1_0.ts", Select(m, {0x800, 0x801})}, {"rec_5_0_0.ts", want5}};
    for (const auto& [name, packets] : want) EXPECT_TRUE(WithoutPAT(ReadPackets(dir / name)) == packets) << name;
    // Reduced PATs: every PAT reaches the files of the programs it lists, a returning
    // program's file starts with one, and a moved PMT shows in its entry.
    const auto again = ReadPackets(dir / "rec_2_0_3.ts"), five = PATsOf(ReadPackets(dir / "rec_5_0_0.ts"));
    EXPECT_EQ(PATsOf(ReadPackets(dir / "rec_1_0_0.ts")).size(), 5u);
    EXPECT_EQ(PATsOf(again).size(), 1u);
    EXPECT_EQ(PidOf(again[0]), 0);
    EXPECT_EQ(ReducedEntries(ReadPackets(dir / "rec_7_1_0.ts")[0]), (Entries{{0, 0x10}, {7, 0x800}}));
    ASSERT_EQ(five.size(), 5u);
    EXPECT_EQ(ReducedEntries(five[0]), (Entries{{0, 0x10}, {5, 0x500}}));
    EXPECT_EQ(ReducedEntries(five[4]), (Entries{{0, 0x10}, {5, 0x550}}));
    ASSERT_EQ(g_tPNSplitData.u16Count, 7);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].u16ProgramNumber, 2);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].u32Generation, 3);
    EXPECT_EQ(g_tPNSplitData.ltEntry[0].u32Generation, 0);
    EXPECT_EQ(g_tPNSplitData.ltEntry[1].nFile, -1);  // closed at the end
    EXPECT_EQ(g_tPNSplitData.ltEntry[6].u16PMTPID, 0x550);
    EXPECT_EQ(g_tPNSplitData.ltEntry[6].u32Generation, 0);
    // By PMT PID: the first program listed on a shared one.
    ASSERT_EQ(TS_ProgramSplitStream((dir / "three.ts").c_str(), in.c_str(), 0x300), 0);
    EXPECT_TRUE(ReadPackets(dir / "three.ts") == Select(m, {0x300, 0x301}));
}

// A PAT in two sections of 150 programs each: one table of 300 programs, of which the split
// keeps 256, and says so once. Every program of the table is split,
// also those listed in the second section, and those without a PMT are named.
TEST(ProgramSplitFile, ProgramsBeyondTheTableAreReportedOnceAndSkipped) {
    Dir dir;
    tsb::Mux m;
    auto section = [](uint8_t number, uint16_t first) {
        Bytes body;
        for (uint16_t n = first; n < first + 150; ++n) tsb::PutU16(body, n), tsb::PutU16(body, 0xE000u | (0x100 + n));
        return tsb::LongSection({.table_id = 0, .table_id_extension = 1, .section_number = number, .last_section_number = 1}, body);
    };
    for (int repeat = 0; repeat < 2; ++repeat) {
        m.Section(0, section(0, 1));
        m.Section(0, section(1, 151));
        m.Section(0x101, Pmt(1, 0x1001, {0x1001}));
        m.Section(0x100 + 200, Pmt(200, 0x1200, {0x1200}));  // in the second section
        m.Section(0x100 + 280, Pmt(280, 0x1280, {0x1280}));  // beyond the table
        Es(m, 0x1001);
        Es(m, 0x1200);
        Es(m, 0x1280);
    }
    std::vector<std::string> names;
    const std::string in = dir.Write("rec.ts", m);
    const std::string err = StderrOf([&] { EXPECT_EQ(SplitAll(in, &names), 0); });
    EXPECT_EQ(names.size(), 2u);
    EXPECT_FALSE(fs::exists(dir / "rec_280_0_0.ts"));
    EXPECT_EQ(Count(err, "holds more than 256 programs"), 1u) << err;
    EXPECT_EQ(Count(err, "Warning: no intact PMT for"), 1u);
    EXPECT_EQ(Count(err, "(PMT PID 0x"), 254u);
    EXPECT_NE(err.find("program 2 (PMT PID 0x0102)"), std::string::npos);
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")), Select(m, {0x101, 0x1001}));
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_200_0_0.ts")), Select(m, {0x100 + 200, 0x1200}));
    EXPECT_EQ(g_tPNSplitData.u16Count, TS_MAX_PROGRAMS);
}

TEST(ProgramSplitFile, NoPATCorruptedPATAndMissingInput) {
    Dir dir;
    tsb::Mux m;
    Es(m, 0x100, 3);
    Bytes bad = tsb::PatSection(1, {{1, 0x100}});
    bad[8] ^= 0x01;
    m.Section(0, bad);
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    ASSERT_EQ(SplitAll(dir.Write("rec.ts", m)), 0);
    EXPECT_EQ(dir.Files(), std::set<std::string>{"rec.ts"});
    const std::string missing = dir / "missing.ts";
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(SplitAll(missing), -2); }), "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_ProgramSplitFile(nullptr), -1);
}

TEST(ProgramSplitFile, RefusedAndFailingOutputs) {
    Dir dir;
    tsb::Mux m;
    Pat(m, {{1, 0x100}, {2, 0x200}});
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    m.Section(0x200, Pmt(2, 0x201, {0x201}));
    Es(m, 0x101, 400);
    const std::string in = dir.Write("rec.ts", m), one = dir / "rec_1_0_0.ts", two = dir / "rec_2_0_0.ts";
    // An output name taken by a directory: the file begun before the failure is removed too.
    fs::create_directory(two);
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(SplitAll(in), -3); }),
              "Error: Failed open " + two + ".\nError: not written: " + one + ", " + two + ".\n");
    fs::remove(two);
    EXPECT_EQ(dir.Files(), std::set<std::string>{"rec.ts"});
    // An output that is the input itself, under another name: refused, the input intact.
    fs::create_hard_link(in, one);
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(SplitAll(in), -3); }), "Error: Failed open " + one + ".\n");
    EXPECT_EQ(testfiles::Read(in), m.File());
    fs::remove(one);
    // A full disk: the failed write stops the split with -5 and names the output.
    fs::create_symlink("/dev/full", one);
    const std::string err = StderrOf([&] { EXPECT_EQ(SplitAll(in), -5); });
    EXPECT_NE(err.find("rec_1_0_0.ts"), std::string::npos) << err;
}

// A PAT in two sections is applied once both are in, as one table: the program of its second
// section is not closed whenever the first comes; a section not yet applicable
// (current_next_indicator 0) changes nothing; a new version is applied when whole.
TEST(ProgramSplitFile, PATSectionsAndVersions) {
    Dir dir;
    tsb::Mux m;
    auto section = [](uint8_t number, uint8_t last, uint8_t version, std::vector<tsb::Program> programs, bool current = true) {
        Bytes body;
        for (const auto& p : programs) tsb::PutU16(body, p.number), tsb::PutU16(body, 0xE000u | p.pid);
        return tsb::LongSection({.table_id = 0, .table_id_extension = 1, .version = version, .current_next = current,
                                 .section_number = number, .last_section_number = last},
                                body);
    };
    for (int i = 0; i < 3; ++i) {
        m.Section(0, section(0, 1, 0, {{1, 0x100}}));
        m.Section(0, section(1, 1, 0, {{2, 0x200}}));
        m.Section(0x100, Pmt(1, 0x101, {0x101}));
        m.Section(0x200, Pmt(2, 0x201, {0x201}));
        Es(m, 0x101);
        Es(m, 0x201);
        m.Section(0, section(0, 0, 1, {{3, 0x300}}, false));  // the next version, announced
        Es(m, 0x201);
    }
    // Version 2 in one section, without program 2: program 2 leaves.
    m.Section(0, section(0, 0, 2, {{1, 0x100}}));
    Es(m, 0x101);
    Es(m, 0x201);
    const std::string in = dir.Write("rec.ts", m);
    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(in, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1_0_0.ts", "rec_2_0_0.ts"}));
    EXPECT_EQ(dir.Files(), (std::set<std::string>{"rec.ts", "rec_1_0_0.ts", "rec_2_0_0.ts"}));
    EXPECT_TRUE(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")) == Select(m, {0x100, 0x101}));
    const size_t leaves = m.packets.size() - 2;
    EXPECT_TRUE(WithoutPAT(ReadPackets(dir / "rec_2_0_0.ts")) == Select(m, {0x200, 0x201}, 0, leaves));
    // One reduced PAT at each section of a whole table: two per repetition, one for version 2.
    EXPECT_EQ(PATsOf(ReadPackets(dir / "rec_1_0_0.ts")).size(), 2u * 3 - 1 + 1);
    for (const Packet& p : PATsOf(ReadPackets(dir / "rec_1_0_0.ts"))) EXPECT_EQ(ReducedEntries(p), (Entries{{1, 0x100}}));
}

// Programs that leave and return more often than a 16-bit counter holds keep getting new names.
TEST(ProgramSplitFile, GenerationsNeverWrap) {
    Dir dir;
    tsb::Mux m;
    Pat(m, {{1, 0x100}});
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    Es(m, 0x101);
    for (uint32_t i = 0; i < 65536; ++i) Pat(m, {{2, 0x200}});
    Pat(m, {{1, 0x100}});
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    Es(m, 0x101);
    std::vector<std::string> names;
    ASSERT_EQ(SplitAll(dir.Write("rec.ts", m), &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"rec_1_0_0.ts", "rec_1_0_65536.ts"}));
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")).size(), 2u);
    EXPECT_EQ(WithoutPAT(ReadPackets(dir / "rec_1_0_65536.ts")).size(), 2u);
}

// A PMT section over two packets with packets of the program between them: the file keeps
// input order, and a section's packets come whole.
TEST(ProgramSplitFile, PacketsBetweenThePacketsOfAPMTKeepTheirPlace) {
    std::vector<tsb::Stream> streams{{0x1B, 0x101, {}}};
    for (uint16_t i = 0; i < 18; ++i) streams.push_back({0x03, static_cast<uint16_t>(0x110 + i), tsb::LanguageDescriptor({{"deu", 0}})});
    const Bytes big = tsb::PmtSection(1, 0x101, {}, streams);
    Dir dir;
    tsb::Mux m;
    Pat(m, {{1, 0x100}});
    m.Section(0x100, big);
    Es(m, 0x101);
    const auto q = tsb::Packetize({.pid = 0x100, .first_cc = m.cc[0x100]}, {big});
    ASSERT_EQ(q.size(), 2u);
    m.packets.push_back(q[0]);
    Es(m, 0x101);
    Es(m, 0x110);
    m.packets.push_back(q[1]);
    Es(m, 0x101);
    ASSERT_EQ(SplitAll(dir.Write("rec.ts", m)), 0);
    EXPECT_TRUE(WithoutPAT(ReadPackets(dir / "rec_1_0_0.ts")) == Select(m, {0x100, 0x101, 0x110}));
    ASSERT_EQ(TS_ProgramSplitStream((dir / "one.ts").c_str(), (dir / "rec.ts").c_str(), 0x100), 0);
    EXPECT_TRUE(ReadPackets(dir / "one.ts") == Select(m, {0x100, 0x101, 0x110}));
}

TEST(ProgramSplitStream, CopiesOneProgramUntilItLeavesThePAT) {
    Dir dir;
    tsb::Mux m;
    Es(m, 0x101, 2);
    Pat(m, {{0, 0x100}, {1, 0x100}, {2, 0x200}});  // the network PID may equal a PMT PID
    const size_t start = m.packets.size();
    m.Section(0x100, Pmt(1, 0x101, {0x101, 0x102}, tsb::CaDescriptor(1, 0x130)));
    m.Section(0x200, Pmt(2, 0x201, {0x201}));
    m.Es(0x101, true);
    Es(m, 0x102);
    m.Section(0x130, tsb::LongSection({.table_id = 0x80, .table_id_extension = 1}, Bytes(8, 1)));
    Es(m, 0x201);
    Pat(m, {{1, 0x100}, {2, 0x200}}, 1);
    Es(m, 0x101, 2);
    const size_t gone = m.packets.size();
    Pat(m, {{2, 0x200}}, 2);
    Es(m, 0x101, 2);
    Pat(m, {{1, 0x100}, {2, 0x200}}, 3);
    Es(m, 0x101, 2);
    const std::string in = dir.Write("rec.ts", m), out = dir / "one.ts";
    ASSERT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), 0);
    EXPECT_EQ(ReadPackets(out), Select(m, {0x100, 0x101, 0x102, 0x130}, start, gone));
    // Program 2 is followed to the end; no PAT packet in its output.
    ASSERT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x200), 0);
    EXPECT_EQ(ReadPackets(out), Select(m, {0x200, 0x201}));
}

TEST(ProgramSplitStream, NoOutputWithoutTheProgram) {
    Dir dir;
    tsb::Mux m, none;
    Pat(m, {{0, 0x300}, {1, 0x100}});
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    Es(m, 0x101, 2);
    Pat(m, {{0, 0x300}, {1, 0x100}, {3, 0x300}});  // listed later, but no PMT comes for it
    Es(none, 0x100, 3);
    const std::string in = dir.Write("rec.ts", m), no_pat = dir.Write("nopat.ts", none);
    bool opened = false;
    auto note = [](void* c, const char*) { *static_cast<bool*>(c) = true; };
    // Never listed; listed only as the network PID and then without a PMT; no PAT at all.
    EXPECT_EQ(TS_ProgramSplitStream((dir / "a.ts").c_str(), in.c_str(), 0x200, note, &opened), 0);
    EXPECT_EQ(TS_ProgramSplitStream((dir / "b.ts").c_str(), in.c_str(), 0x300, note, &opened), 0);
    EXPECT_EQ(TS_ProgramSplitStream((dir / "c.ts").c_str(), no_pat.c_str(), 0x100, note, &opened), 0);
    EXPECT_FALSE(opened);
    EXPECT_EQ(dir.Files(), (std::set<std::string>{"rec.ts", "nopat.ts"}));
    // The positive case beside them.
    EXPECT_EQ(TS_ProgramSplitStream((dir / "d.ts").c_str(), in.c_str(), 0x100, note, &opened), 0);
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadPackets(dir / "d.ts"), Select(m, {0x100, 0x101}));

    // A program that enters the PAT later is followed from then on.
    tsb::Mux late;
    Pat(late, {{1, 0x100}});
    late.Section(0x200, Pmt(2, 0x201, {0x201}));  // before its program is listed: not taken
    Es(late, 0x201);
    const size_t listed = late.packets.size();
    Pat(late, {{1, 0x100}, {2, 0x200}});
    late.Section(0x200, Pmt(2, 0x201, {0x201}));
    Es(late, 0x201, 2);
    opened = false;
    EXPECT_EQ(TS_ProgramSplitStream((dir / "e.ts").c_str(), dir.Write("late.ts", late).c_str(), 0x200, note, &opened), 0);
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadPackets(dir / "e.ts"), Select(late, {0x200, 0x201}, listed));
}

TEST(ProgramSplitStream, RefusedAndFailingOutputs) {
    Dir dir;
    tsb::Mux m;
    Pat(m, {{1, 0x100}});
    m.Section(0x100, Pmt(1, 0x101, {0x101}));
    Es(m, 0x101, 400);
    const std::string in = dir.Write("rec.ts", m), nowhere = dir / "no/such/dir/out.ts";
    for (const std::string& out : {in, nowhere})
        EXPECT_EQ(StderrOf([&] { EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), -3); }),
                  "error - failed on _open(" + out + ") [dest]\n");
    EXPECT_EQ(testfiles::Read(in), m.File());
    const std::string err = StderrOf([&] { EXPECT_EQ(TS_ProgramSplitStream("/dev/full", in.c_str(), 0x100), -5); });
    EXPECT_NE(err.find("/dev/full"), std::string::npos) << err;
    // An existing longer file is truncated, not overwritten in place.
    const std::string out = dir.Write("old.ts", Bytes(188 * 1000, 0x47));
    EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), in.c_str(), 0x100), 0);
    EXPECT_EQ(fs::file_size(out), 188u * 401);
    const std::string missing = dir / "missing.ts";
    EXPECT_EQ(StderrOf([&] { EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), missing.c_str(), 0x100), -2); }),
              "Error: Failed open " + missing + ".\n");
    EXPECT_EQ(TS_ProgramSplitStream(nullptr, in.c_str(), 0x100), -1);
    EXPECT_EQ(TS_ProgramSplitStream(out.c_str(), nullptr, 0x100), -1);
}

// ---------------------------------------------------------------------------------------------
// The velkarin-programs command
// ---------------------------------------------------------------------------------------------

Result Command(const std::vector<std::string>& args) { return testfiles::RunCommand("velkarin-programs", args); }

// A small two-program stream: network entry, programs 10 and 20.
Bytes TwoPrograms() {
    tsb::Mux m;
    Pat(m, {{0, 0x10}, {10, 0x100}, {20, 0x200}});
    m.Section(0x100, tsb::PmtSection(10, 0x101, {}, {{0x1B, 0x101, {}}}));
    m.Section(0x200, tsb::PmtSection(20, 0x201, {}, {{0x0F, 0x201, {}}}));
    for (int i = 0; i < 5; ++i) {
        m.Es(0x101);
        m.Es(0x201);
    }
    return m.File();
}

TEST(VelkarinPrograms, HelpAndUsageErrors) {
    Dir dir;
    for (const char* flag : {"-h", "--help"}) {
        Result r = Command({flag});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_NE(r.out.find("Usage: velkarin-programs [OPTIONS] FILE"), std::string::npos) << flag;
        EXPECT_EQ(r.err, "") << flag;
    }
    const std::string in = dir.Write("rec.ts", TwoPrograms());
    // No argument, not -a, a PID without output, too many; PIDs beyond 13 bits or malformed.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {in, "-b"}, {in, "0x100"}, {in, "0x100", "o.ts", "extra"}, {in, "0x2000", "o.ts"}, {in, "8192", "o.ts"},
             {in, "0x", "o.ts"}, {in, "12z", "o.ts"}, {in, "-5", "o.ts"}, {in, "", "o.ts"}}) {
        Result r = Command(args);
        EXPECT_EQ(r.status, 2) << args.size() << (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\nTry 'velkarin-programs --help' for more information.\n"), std::string::npos) << r.err;
    }
    EXPECT_EQ(dir.Files(), std::set<std::string>{"rec.ts"});
}

TEST(VelkarinPrograms, ListsSplitsAndCopiesABuiltStream) {
    Dir dir;
    const std::string in = dir.Write("rec.ts", TwoPrograms());
    Result list = Command({in});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "program_number=10 pmt_pid=0x0100\nprogram_number=20 pmt_pid=0x0200\n");
    Result all = Command({in, "-a"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, dir / "rec_10_0_0.ts\n" + dir / "rec_20_0_0.ts\n");
    const auto ten = ReadPackets(dir / "rec_10_0_0.ts");
    ASSERT_EQ(ten.size(), 7u);  // PAT, PMT, five video packets
    // By PMT PID, in hexadecimal and in decimal: the same packets less the PAT.
    Result one = Command({in, "0x100", dir / "ten.ts"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "");
    EXPECT_EQ(ReadPackets(dir / "ten.ts"), WithoutPAT(ten));
    one = Command({in, "512", dir / "twenty.ts"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(ReadPackets(dir / "twenty.ts"), WithoutPAT(ReadPackets(dir / "rec_20_0_0.ts")));
}

TEST(VelkarinPrograms, FailuresNameTheFileOrPID) {
    Dir dir;
    const Bytes image = TwoPrograms();
    const std::string in = dir.Write("rec.ts", image), missing = dir / "missing.ts";
    for (const auto& args : std::vector<std::vector<std::string>>{{missing}, {missing, "-a"}, {missing, "0x100", dir / "o.ts"}}) {
        Result r = Command(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error: Failed open " + missing + ".\nvelkarin-programs: " + missing + ": No such file or directory\n");
    }
    // A program that is not in the file: no output made.
    Result r = Command({in, "0x300", dir / "o.ts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("0x0300"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "o.ts"));
    // A file without any PAT: nothing to list or split.
    const std::string no_pat = dir.Write("nopat.ts", tsb::Join({tsb::MakePacket({.pid = 0x101}, {})}));
    for (const auto& args : std::vector<std::vector<std::string>>{{no_pat}, {no_pat, "-a"}}) {
        r = Command(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(no_pat), std::string::npos) << r.err;
    }
    // The output is the input: refused, the input untouched. The library's tests cover the
    // other failing outputs; the command turns each into status 1.
    r = Command({in, "0x100", in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error - failed on _open(" + in + ") [dest]\nvelkarin-programs: " + in + ": is the input file\n");
    EXPECT_EQ(testfiles::Read(in), image);
    r = Command({in, "0x100", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/dev/full"), std::string::npos) << r.err;
    // -a: an output name taken by a directory; the file begun before it is removed, and not
    // printed as written.
    fs::create_directory(dir / "rec_20_0_0.ts");
    r = Command({in, "-a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed open " + dir / "rec_20_0_0.ts" + ".\nError: not written: " + dir / "rec_10_0_0.ts" +
                         ", " + dir / "rec_20_0_0.ts" + ".\nvelkarin-programs: " + dir / "rec_20_0_0.ts" + ": Is a directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(dir / "rec_10_0_0.ts"));
}

// ---------------------------------------------------------------------------------------------
// Real recordings
// ---------------------------------------------------------------------------------------------

struct RealProgram {
    uint16_t number, pmt_pid;
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
     {{101, 0x1000, {0x1000, 0x100, 0x101}}, {102, 0x1001, {0x1001, 0x102}}, {103, 0x1002, {0x1002, 0x103}}}, {}},
    {"broadcast.ts", {{1024, 0x1F0, {0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130}}}, {{0, 0x10}}},
    {"broadcast-damaged.ts", {{1024, 0x1F0, {0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130}}}, {{0, 0x10}}},
};

TEST(ProgramSplitRealStreams, EveryProgramIntoItsFileAndTheSameByPMTPID) {
    for (const RealStream& real : kReal) {
        SCOPED_TRACE(real.file);
        REQUIRE_SHARED_STREAM(source, real.file);
        Dir dir;
        const std::string in = dir / real.file, base = fs::path(real.file).stem().string();
        fs::create_symlink(source, in);
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
            for (const Packet& p : out) {
                if (PidOf(p) == 0) EXPECT_EQ(ReducedEntries(p), expected);
                else ASSERT_TRUE(prog.pids.count(PidOf(p))) << "PID " << PidOf(p);
            }
            EXPECT_GT(PATsOf(out).size(), 0u);
            // The one-program split by PMT PID holds the same packets, less the PATs.
            ASSERT_EQ(TS_ProgramSplitStream((dir / "one.ts").c_str(), in.c_str(), prog.pmt_pid), 0);
            EXPECT_TRUE(ReadPackets(dir / "one.ts") == WithoutPAT(out));
        }
    }
}

TEST(ProgramSplitRealStreams, IntactRecordingKeepsEveryPacketOfItsProgram) {
    REQUIRE_SHARED_STREAM(source, "broadcast.ts");
    Dir dir;
    const std::string in = dir / "broadcast.ts";
    fs::create_symlink(source, in);
    ASSERT_EQ(SplitAll(in), 0);
    // From the first PMT on, every packet of the program's PIDs, in order, once: among them
    // both packets of the two-packet PMT B.
    const auto input = ReadPackets(in);
    const std::set<uint16_t> pids{0x1F0, 0x1FF, 0x111, 0x112, 0x113, 0x114, 0x130};
    std::vector<Packet> expected;
    auto first = std::find_if(input.begin(), input.end(), [](const Packet& p) { return PidOf(p) == 0x1F0; });
    std::copy_if(first, input.end(), std::back_inserter(expected), [&](const Packet& p) { return pids.count(PidOf(p)) > 0; });
    const auto out = WithoutPAT(ReadPackets(dir / "broadcast_1024_0_0.ts"));
    EXPECT_TRUE(out == expected) << out.size() << " packets, expected " << expected.size();
}

// A PMT of nineteen streams: the three past the sixteen detailed stream records are split too.
TEST(ProgramSplitRealStreams, EveryStreamOfALargePMT) {
    REQUIRE_SHARED_STREAM(source, "pmt-two-packets.ts");
    Dir dir;
    const std::string in = dir / "big.ts";
    fs::create_symlink(source, in);
    ASSERT_EQ(SplitAll(in), 0);
    std::map<uint16_t, size_t> in_count, out_count;
    for (const Packet& p : ReadPackets(in)) ++in_count[PidOf(p)];
    for (const Packet& p : ReadPackets(dir / "big_1_0_0.ts")) ++out_count[PidOf(p)];
    for (uint16_t pid : std::initializer_list<uint16_t>{0x110, 0x111, 0x112}) {
        ASSERT_GT(in_count[pid], 0u) << pid;
        EXPECT_EQ(out_count[pid], in_count[pid]) << pid;
    }
}

TEST(VelkarinPrograms, RealRecordings) {
    const std::map<std::string, std::string> listings = {
        {"two-programs.ts", "program_number=1 pmt_pid=0x1000\nprogram_number=2 pmt_pid=0x1001\n"},
        {"three-programs.ts",
         "program_number=101 pmt_pid=0x1000\nprogram_number=102 pmt_pid=0x1001\nprogram_number=103 pmt_pid=0x1002\n"},
        {"broadcast.ts", "program_number=1024 pmt_pid=0x01F0\n"},
        {"broadcast-damaged.ts", "program_number=1024 pmt_pid=0x01F0\n"}};
    for (const auto& [file, listing] : listings) {
        SCOPED_TRACE(file);
        REQUIRE_SHARED_STREAM(source, file);
        Dir dir;
        const std::string in = dir / file, base = fs::path(file).stem().string();
        fs::create_symlink(source, in);
        Result list = Command({in});
        ASSERT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(list.out, listing);
        Result all = Command({in, "-a"});
        ASSERT_EQ(all.status, 0) << all.err;
        // One file per listed program, named after it, each matched by the copy by PMT PID.
        std::istringstream lines(list.out), names(all.out);
        std::string line, name;
        while (std::getline(lines, line)) {
            ASSERT_TRUE(std::getline(names, name));
            unsigned number = 0, pid = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "program_number=%u pmt_pid=0x%X", &number, &pid), 2);
            EXPECT_EQ(name, dir / (base + "_" + std::to_string(number) + "_0_0.ts"));
            Result one = Command({in, std::to_string(pid), dir / "one.ts"});
            ASSERT_EQ(one.status, 0) << one.err;
            const auto split = ReadPackets(name);
            EXPECT_GT(split.size(), 100u);
            EXPECT_TRUE(ReadPackets(dir / "one.ts") == WithoutPAT(split)) << name;
        }
        EXPECT_FALSE(std::getline(names, name)) << "a file more than programs: " << name;
    }
}

// Captures of real broadcasts: a PAT of 20 programs with PMTs for two of them, a segment whose
// PMT never comes, and an ISDB-Tb capture in 204-byte packets (README of the captures; the
// programs are those ffprobe lists). Only programs with an intact PMT get a file; the others
// are named; a file keeps the input's 204-byte units.
TEST(VelkarinPrograms, RealCaptures) {
    const struct {
        const char* file;
        std::vector<std::pair<unsigned, unsigned>> programs;
        std::vector<unsigned> written;
        int status;
        uint32_t unit;
    } rows[] = {
        {"real/tsduck-test-018-dvb-20programs.ts",
         {{1, 0x100}, {2, 0x101}, {3, 0x102}, {4, 0x103}, {6, 0x106}, {7, 0x107}, {8, 0x108}, {9, 0x109}, {10, 0x10A},
          {12, 0x10B}, {13, 0x10E}, {71, 0x10F}, {72, 0x110}, {101, 0x119}, {102, 0x11A}, {103, 0x11B}, {104, 0x11C},
          {105, 0x11D}, {805, 0x10D}, {899, 0x10C}},
         {1, 2}, 0, 188},
        {"real/androidx-ateme-h265-nopmt.ts", {{1, 0x1E0}}, {}, 1, 188},
        {"real/tsduck-test-171-isdbtb-204.ts", {{23608, 0x1FC8}, {23584, 0x101}}, {23584}, 0, 204},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        REQUIRE_SHARED_STREAM(source, r.file);
        Dir dir;
        const std::string base = fs::path(r.file).stem().string(), in = dir / (base + ".ts");
        fs::create_symlink(source, in);
        std::string listing;
        for (const auto& [number, pid] : r.programs) {
            char line[64];
            std::snprintf(line, sizeof line, "program_number=%u pmt_pid=0x%04X\n", number, pid);
            listing += line;
        }
        Result list = Command({in});
        EXPECT_EQ(list.status, 0);
        EXPECT_EQ(list.out, listing);
        Result all = Command({in, "-a"});
        EXPECT_EQ(all.status, r.status) << all.err;
        std::string names;
        std::set<std::string> files{base + ".ts"};
        for (unsigned number : r.written) {
            names += dir / (base + "_" + std::to_string(number) + "_0_0.ts") + "\n";
            files.insert(base + "_" + std::to_string(number) + "_0_0.ts");
        }
        EXPECT_EQ(all.out, names);
        EXPECT_EQ(dir.Files(), files);
        // Every program without a file is named.
        for (const auto& [number, pid] : r.programs) {
            const bool written = std::count(r.written.begin(), r.written.end(), number) > 0;
            char named[48];
            std::snprintf(named, sizeof named, "program %u (PMT PID 0x%04X)", number, pid);
            EXPECT_EQ(all.err.find(named) != std::string::npos, !written) << named << "\n" << all.err;
        }
        // Each file consists of units of the input.
        const Bytes input = testfiles::Read(source);
        std::set<std::string> units;
        auto unit_at = [&](const Bytes& b, size_t at) { return std::string(reinterpret_cast<const char*>(b.data()) + at, r.unit); };
        for (size_t at = 0; at + r.unit <= input.size(); at += r.unit) units.insert(unit_at(input, at));
        for (unsigned number : r.written) {
            const Bytes out = testfiles::Read(dir / (base + "_" + std::to_string(number) + "_0_0.ts"));
            ASSERT_EQ(out.size() % r.unit, 0u);
            ASSERT_GT(out.size(), 0u);
            for (size_t at = 0; at < out.size(); at += r.unit) {
                if (((out[at + 1] & 0x1F) << 8 | out[at + 2]) == 0) continue;  // the reduced PAT is the split's own
                ASSERT_TRUE(units.count(unit_at(out, at))) << "unit at " << at << " is not in the input";
            }
        }
    }
}

}  // namespace
