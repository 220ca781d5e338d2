// Conformance against an independent decoder: every PAT, PMT and CAT that libdvbpsi reports
// for the shared streams must match, field by field and descriptor by descriptor, what the
// library decodes from the same section.
//
// Both sides see the packets of the library's packet scan (so 192-byte units count too).
// libdvbpsi assembles its sections itself; the library's come from TS_Packet_FeedSections. A
// table that libdvbpsi reports while a packet is pushed must have been completed, intact, by
// the library on the same PID at the same packet.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/scan.h"
#include "psi/state.h"
#include "dump/dump.h"
#include "pmt/pmt.h"
#include "programs/program_split.h"
#include "ts.h"

#ifndef VELKARIN_NO_DVBPSI
extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/cat.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/dr_05.h>
#include <dvbpsi/dr_09.h>
#include <dvbpsi/dr_0a.h>
}
#endif

namespace {

namespace fs = std::filesystem;

#ifdef VELKARIN_NO_DVBPSI

TEST(Conformance, AgainstLibdvbpsi) {
    GTEST_SKIP() << "libdvbpsi was not found when the tests were configured; install libdvbpsi-dev to run the conformance test";
}

#else

// Tag and length, then the body: raw descriptors compare their bytes; the ones the library
// decodes compare each field with libdvbpsi's decoding of the same bytes. The shared streams
// carry registration, CA and ISO 639 descriptors among those; any other decoded tag met asks
// for its comparison to be written.
void ExpectSameDescriptor(const TS_Descriptor& ours, dvbpsi_descriptor_t* theirs, const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_EQ(ours.descriptor_tag, theirs->i_tag);
    ASSERT_EQ(ours.descriptor_length, theirs->i_length);
    const uint8_t* bytes = theirs->p_data;  // the body, after tag and length
    const uint8_t length = theirs->i_length;
    switch (ours.descriptor_tag) {
        case 0x05: {
            auto* r = dvbpsi_DecodeRegistrationDr(theirs);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(ours.registration.format_identifier, r->i_format_identifier);
            ASSERT_EQ(length - 4, r->i_additional_length);
            EXPECT_EQ(0, std::memcmp(ours.registration.additional_identification_info, r->i_additional_info, r->i_additional_length));
            break;
        }
        case 0x09: {
            auto* ca = dvbpsi_DecodeCADr(theirs);
            ASSERT_NE(ca, nullptr);
            EXPECT_EQ(ours.conditional_access.CA_system_ID, ca->i_ca_system_id);
            EXPECT_EQ(ours.conditional_access.CA_PID, ca->i_ca_pid);
            EXPECT_EQ(ours.conditional_access.reserved, bytes[2] >> 5);
            ASSERT_EQ(length - 4, ca->i_private_length);
            EXPECT_EQ(0, std::memcmp(ours.conditional_access.private_data_byte, ca->i_private_data, ca->i_private_length));
            break;
        }
        case 0x0A: {
            auto* l = dvbpsi_DecodeISO639Dr(theirs);
            ASSERT_NE(l, nullptr);
            ASSERT_EQ(length / 4, l->i_code_count);
            for (int i = 0; i < l->i_code_count; ++i) {
                const auto& code = l->code[i].iso_639_code;
                EXPECT_EQ(ours.ISO_639_language.languages[i].ISO_639_language_code,
                          (uint32_t{code[0]} << 16) | (uint32_t{code[1]} << 8) | code[2]) << i;
                EXPECT_EQ(ours.ISO_639_language.languages[i].audio_type, l->code[i].i_audio_type) << i;
            }
            break;
        }
        default:
            if (ours.descriptor_tag >= 2 && ours.descriptor_tag <= 18)
                ADD_FAILURE() << "no comparison written for descriptor tag " << int(ours.descriptor_tag) << "; add one";
            else
                EXPECT_EQ(0, std::memcmp(ours.raw.data, bytes, length));
    }
}

// The library keeps at most `capacity` entries of a loop; libdvbpsi keeps them all.
uint32_t Kept(uint32_t entries, uint32_t capacity) { return std::min(entries, capacity); }

void ExpectSameLoop(const TS_Descriptor* ours, uint16_t count, dvbpsi_descriptor_t* theirs, const std::string& where) {
    uint32_t i = 0;
    for (dvbpsi_descriptor_t* d = theirs; d != nullptr; d = d->p_next, ++i)
        if (i < TS_MAX_DESCRIPTORS && i < count) ExpectSameDescriptor(ours[i], d, where + " descriptor " + std::to_string(i));
    EXPECT_EQ(count, Kept(i, TS_MAX_DESCRIPTORS)) << where << ": descriptor count";
}

struct Walk;

// One PID followed by both decoders. libdvbpsi reports a table only when its version changes,
// so its decoder is attached afresh after each report: then every section it completes is
// reported.
struct Pid {
    enum Kind { kPAT, kCAT, kPMT } kind;
    uint16_t pid, program_number;
    Walk* walk;
    TS_PreSection pre;
    uint64_t completed_at = UINT64_MAX;  // the packet at which the library last completed an intact section
    uint8_t last_section_number = 0;
    std::unique_ptr<TS_PAT> pat = std::make_unique<TS_PAT>();
    std::unique_ptr<TS_PMT> pmt = std::make_unique<TS_PMT>();
    std::unique_ptr<TS_CAT> cat = std::make_unique<TS_CAT>();
    dvbpsi_t* h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    bool reported = false;  // a report came during the current push

    Pid(Kind k, uint16_t p, uint16_t number, Walk* w) : kind(k), pid(p), program_number(number), walk(w) {
        TS_PreSection_Initialise(&pre);
        Attach();
    }
    ~Pid() {
        Detach();
        dvbpsi_delete(h);
    }
    void Attach();
    void Detach() {
        if (kind == kPAT) dvbpsi_pat_detach(h);
        if (kind == kCAT) dvbpsi_cat_detach(h);
        if (kind == kPMT) dvbpsi_pmt_detach(h);
    }
    static int32_t OnSection(void* context, const TS_SectionEvent* e);
    // The section that libdvbpsi reports now must have been completed by the library at this packet.
    bool CompletedNow(const std::string& where) const;
};

struct Walk {
    std::string name;
    uint64_t index = 0;
    std::map<uint16_t, std::unique_ptr<Pid>> pids;
    uint32_t reports[3] = {}, matches[3] = {};  // by Pid::Kind
    uint32_t pmt_streams_dropped = 0;           // PMTs with more streams than the library keeps

    std::string Where(const Pid& p) const {
        static const char* names[] = {"PAT", "CAT", "PMT"};
        return name + " " + names[p.kind] + " on PID " + std::to_string(p.pid) + " at packet " + std::to_string(index);
    }

    static void OnPAT(void* context, dvbpsi_pat_t* theirs) {
        auto* p = static_cast<Pid*>(context);
        Walk& w = *p->walk;
        const std::string where = w.Where(*p);
        ++w.reports[Pid::kPAT];
        p->reported = true;
        if (p->CompletedNow(where)) {
            const TS_PAT& ours = *p->pat;
            EXPECT_EQ(ours.table_id, 0x00) << where;
            EXPECT_EQ(ours.transport_stream_id, theirs->i_ts_id) << where;
            EXPECT_EQ(ours.version_number, theirs->i_version) << where;
            EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
            uint32_t i = 0;
            for (auto* e = theirs->p_first_program; e != nullptr; e = e->p_next, ++i) {
                if (i >= ours.program_count || i >= TS_MAX_PROGRAMS) continue;
                EXPECT_EQ(ours.programs[i].program_number, e->i_number) << where << " entry " << i;
                EXPECT_EQ(ours.programs[i].PID, e->i_pid) << where << " entry " << i;
            }
            EXPECT_EQ(ours.program_count, Kept(i, TS_MAX_PROGRAMS)) << where << ": entries";
            ++w.matches[Pid::kPAT];
        }
        // Follow each program's PMT with decoders of its own.
        for (auto* e = theirs->p_first_program; e != nullptr; e = e->p_next)
            if (e->i_number != 0 && !w.pids.count(e->i_pid)) w.pids[e->i_pid] = std::make_unique<Pid>(Pid::kPMT, e->i_pid, e->i_number, &w);
        dvbpsi_pat_delete(theirs);
    }

    static void OnPMT(void* context, dvbpsi_pmt_t* theirs) {
        auto* p = static_cast<Pid*>(context);
        Walk& w = *p->walk;
        const std::string where = w.Where(*p);
        ++w.reports[Pid::kPMT];
        p->reported = true;
        if (p->CompletedNow(where)) {
            const TS_PMT& ours = *p->pmt;
            EXPECT_EQ(ours.table_id, 0x02) << where;
            EXPECT_EQ(ours.PID, p->pid) << where;
            EXPECT_EQ(ours.program_number, theirs->i_program_number) << where;
            EXPECT_EQ(ours.version_number, theirs->i_version) << where;
            EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
            EXPECT_EQ(ours.PCR_PID, theirs->i_pcr_pid) << where;
            ExpectSameLoop(ours.descriptors, ours.descriptor_count, theirs->p_first_descriptor, where + " program loop");
            uint32_t i = 0;
            for (auto* es = theirs->p_first_es; es != nullptr; es = es->p_next, ++i) {
                if (i >= ours.stream_count || i >= TS_MAX_STREAMS) continue;
                const TS_StreamInfo& s = ours.streams[i];
                EXPECT_EQ(s.stream_type, es->i_type) << where << " stream " << i;
                EXPECT_EQ(s.elementary_PID, es->i_pid) << where << " stream " << i;
                ExpectSameLoop(s.descriptors, s.descriptor_count, es->p_first_descriptor, where + " stream " + std::to_string(i));
            }
            EXPECT_EQ(ours.stream_count, Kept(i, TS_MAX_STREAMS)) << where << ": streams";
            w.pmt_streams_dropped += i > TS_MAX_STREAMS;
            ++w.matches[Pid::kPMT];
        }
        dvbpsi_pmt_delete(theirs);
    }

    static void OnCAT(void* context, dvbpsi_cat_t* theirs) {
        auto* p = static_cast<Pid*>(context);
        Walk& w = *p->walk;
        const std::string where = w.Where(*p);
        ++w.reports[Pid::kCAT];
        p->reported = true;
        if (p->CompletedNow(where)) {
            const TS_CAT& ours = *p->cat;
            EXPECT_EQ(ours.table_id, 0x01) << where;
            EXPECT_EQ(ours.version_number, theirs->i_version) << where;
            EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
            ExpectSameLoop(ours.descriptors, ours.descriptor_count, theirs->p_first_descriptor, where);
            ++w.matches[Pid::kCAT];
        }
        dvbpsi_cat_delete(theirs);
    }

    void Run(const fs::path& path) {
        name = path.filename().string();
        pids[0] = std::make_unique<Pid>(Pid::kPAT, 0, 0, this);
        pids[1] = std::make_unique<Pid>(Pid::kCAT, 1, 0, this);
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << path;
        TS_Initialise(&g_tData);
        ts_detail::ScanFile(&g_tData, fd, "conformance", [this](const ts_detail::ScanPacket& packet) {
            index = packet.index;
            auto it = pids.find(packet.header.PID);
            if (it == pids.end()) return 0;
            Pid& p = *it->second;
            TS_Packet_FeedSections(&p.pre, p.kind == Pid::kPAT ? TS_SECTION_PAT : p.kind == Pid::kCAT ? TS_SECTION_CAT : TS_SECTION_PMT,
                                   &packet.header, packet.unit, packet.unit_size, nullptr, &Pid::OnSection, &p);
            uint8_t bytes[TS_PACKET_SIZE];
            std::memcpy(bytes, packet.bytes, sizeof bytes);
            p.reported = false;
            dvbpsi_packet_push(p.h, bytes);
            if (p.reported) {
                p.Detach();
                p.Attach();
            }
            return 0;
        });
        ::close(fd);
    }
};

void Pid::Attach() {
    bool ok = kind == kPAT   ? dvbpsi_pat_attach(h, &Walk::OnPAT, this)
              : kind == kCAT ? dvbpsi_cat_attach(h, &Walk::OnCAT, this)
                             : dvbpsi_pmt_attach(h, program_number, &Walk::OnPMT, this);
    if (!ok) ADD_FAILURE() << "libdvbpsi does not attach a decoder on PID " << pid;
}

int32_t Pid::OnSection(void* context, const TS_SectionEvent* e) {
    auto* self = static_cast<Pid*>(context);
    if (self->kind == kPAT) TS_PAT_FromPreSection(self->pat.get(), e->section);
    if (self->kind == kPMT) TS_PMT_FromPreSection(self->pmt.get(), e->section, self->pid);
    if (self->kind == kCAT) TS_CAT_FromPreSection(self->cat.get(), e->section);
    self->last_section_number = e->section->buffer[7];
    self->completed_at = self->walk->index;
    return 0;
}

bool Pid::CompletedNow(const std::string& where) const {
    EXPECT_EQ(completed_at, walk->index) << where << ": libdvbpsi reports a table the library did not complete there";
    EXPECT_EQ(last_section_number, 0) << where << " of several sections";  // libdvbpsi merges those; these streams have none
    return completed_at == walk->index;
}

TEST(Conformance, EveryTableLibdvbpsiReportsMatches) {
    std::vector<fs::path> streams;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(VELKARIN_STREAMS_DIR, ec)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".ts" || ext == ".m2ts")) streams.push_back(entry.path());
    }
    if (streams.empty()) GTEST_SKIP() << "no streams in " VELKARIN_STREAMS_DIR "; skipped";
    std::sort(streams.begin(), streams.end());
    for (const fs::path& path : streams) {
        SCOPED_TRACE(path.filename().string());
        Walk w;
        w.Run(path);
        // Every stream has a PAT and PMTs, the broadcast recordings a CAT, and every report matched.
        EXPECT_GT(w.reports[Pid::kPAT], 0u);
        EXPECT_GT(w.reports[Pid::kPMT], 0u);
        if (w.name.rfind("broadcast", 0) == 0) { EXPECT_GT(w.reports[Pid::kCAT], 0u); }
        for (int k = 0; k < 3; ++k) EXPECT_EQ(w.matches[k], w.reports[k]) << "table kind " << k;
        std::printf("%-22s PAT %u, PMT %u, CAT %u tables matched; %u PMTs list more than %u streams (the first %u compared)\n",
                    w.name.c_str(), w.matches[Pid::kPAT], w.matches[Pid::kPMT], w.matches[Pid::kCAT], w.pmt_streams_dropped,
                    TS_MAX_STREAMS, TS_MAX_STREAMS);
    }
}

// The comparison itself catches a difference: a library record altered after decoding no
// longer matches libdvbpsi's report of the same bytes.
TEST(Conformance, ADifferenceIsReported) {
    const uint8_t data[] = {0x09, 0x04, 0x00, 0x05, 0xE1, 0x30};  // CA_descriptor, CA_PID 0x130
    dvbpsi_descriptor_t* theirs = dvbpsi_NewDescriptor(data[0], data[1], const_cast<uint8_t*>(data + 2));
    TS_Descriptor ours{};
    ASSERT_EQ(TS_GetDescriptor(&ours, data, sizeof data), 0);
    ExpectSameDescriptor(ours, theirs, "same bytes");  // passes
    ours.conditional_access.CA_PID = 0x131;
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter reporter(testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                                                           &failures);
        ExpectSameDescriptor(ours, theirs, "altered CA_PID");
    }
    EXPECT_EQ(failures.size(), 1);
    dvbpsi_DeleteDescriptors(theirs);
}

#endif

}  // namespace
