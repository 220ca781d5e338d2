// Conformance against an independent decoder: every PAT, PMT and CAT that libdvbpsi reports
// for the shared streams must match, field by field and descriptor by descriptor, what the
// library decodes from the same section.
//
// Both sides see the same packets (those of the library's packet scan, so 192-byte units
// count too). libdvbpsi assembles its sections itself; the library's sections come from
// TS_Packet_FeedSections. A table that libdvbpsi reports while a packet is pushed must have
// been completed, intact, by the library on the same PID at the same packet.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "scan.h"
#include "state.h"
#include "ts.h"

#ifndef VELKARIN_NO_DVBPSI
extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/cat.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/dr_02.h>
#include <dvbpsi/dr_03.h>
#include <dvbpsi/dr_05.h>
#include <dvbpsi/dr_09.h>
#include <dvbpsi/dr_0a.h>
#include <dvbpsi/dr_0e.h>
}
#endif

namespace {

namespace fs = std::filesystem;

#ifdef VELKARIN_NO_DVBPSI

TEST(Conformance, AgainstLibdvbpsi) {
    GTEST_SKIP() << "libdvbpsi was not found when the tests were configured; install "
                    "libdvbpsi-dev to run the conformance test";
}

#else

// ---------------------------------------------------------------------------------------------
// Descriptors: tag and length, then the body. Raw descriptors compare their bytes; the ones
// the library decodes compare each field with libdvbpsi's decoding of the same bytes.
// ---------------------------------------------------------------------------------------------

void ExpectSameDescriptor(const TS_Descriptor& ours, dvbpsi_descriptor_t* theirs,
                          const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_EQ(ours.descriptor_tag, theirs->i_tag);
    ASSERT_EQ(ours.descriptor_length, theirs->i_length);
    const uint8_t* bytes = theirs->p_data;  // the body, after tag and length
    const uint8_t length = theirs->i_length;
    switch (ours.descriptor_tag) {
        case 0x02: {
            auto* v = dvbpsi_DecodeVStreamDr(theirs);
            ASSERT_NE(v, nullptr);
            EXPECT_EQ(ours.video_stream.multiple_frame_rate_flag, v->b_multiple_frame_rate);
            EXPECT_EQ(ours.video_stream.frame_rate_code, v->i_frame_rate_code);
            // libdvbpsi keeps bit 2 of the first byte under the name b_mpeg2.
            EXPECT_EQ(ours.video_stream.MPEG_1_only_flag, v->b_mpeg2);
            EXPECT_EQ(ours.video_stream.constrained_parameter_flag, v->b_constrained_parameter);
            EXPECT_EQ(ours.video_stream.still_picture_flag, v->b_still_picture);
            if (!v->b_mpeg2) {
                EXPECT_EQ(ours.video_stream.profile_and_level_indication, v->i_profile_level_indication);
                EXPECT_EQ(ours.video_stream.chroma_format, v->i_chroma_format);
                EXPECT_EQ(ours.video_stream.frame_rate_extension_flag, v->b_frame_rate_extension);
            }
            break;
        }
        case 0x03: {
            auto* a = dvbpsi_DecodeAStreamDr(theirs);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(ours.audio_stream.free_format_flag, a->b_free_format);
            EXPECT_EQ(ours.audio_stream.ID, a->i_id);
            EXPECT_EQ(ours.audio_stream.layer, a->i_layer);
            EXPECT_EQ(ours.audio_stream.variable_rate_audio_indicator, a->b_variable_rate_audio_indicator);
            break;
        }
        case 0x05: {
            auto* r = dvbpsi_DecodeRegistrationDr(theirs);
            ASSERT_NE(r, nullptr);
            EXPECT_EQ(ours.registration.format_identifier, r->i_format_identifier);
            ASSERT_EQ(length - 4, r->i_additional_length);
            EXPECT_EQ(0, std::memcmp(ours.registration.additional_identification_info,
                                     r->i_additional_info, r->i_additional_length));
            break;
        }
        case 0x09: {
            auto* ca = dvbpsi_DecodeCADr(theirs);
            ASSERT_NE(ca, nullptr);
            EXPECT_EQ(ours.conditional_access.CA_system_ID, ca->i_ca_system_id);
            EXPECT_EQ(ours.conditional_access.CA_PID, ca->i_ca_pid);
            EXPECT_EQ(ours.conditional_access.reserved, bytes[2] >> 5);
            ASSERT_EQ(length - 4, ca->i_private_length);
            EXPECT_EQ(0, std::memcmp(ours.conditional_access.private_data_byte, ca->i_private_data,
                                     ca->i_private_length));
            break;
        }
        case 0x0A: {
            auto* l = dvbpsi_DecodeISO639Dr(theirs);
            ASSERT_NE(l, nullptr);
            ASSERT_EQ(length / 4, l->i_code_count);
            for (int i = 0; i < l->i_code_count; ++i) {
                const auto& code = l->code[i].iso_639_code;
                const uint32_t expected = (uint32_t{code[0]} << 16) | (uint32_t{code[1]} << 8) | code[2];
                EXPECT_EQ(ours.ISO_639_language.languages[i].ISO_639_language_code, expected) << i;
                EXPECT_EQ(ours.ISO_639_language.languages[i].audio_type, l->code[i].i_audio_type) << i;
            }
            break;
        }
        case 0x0E: {
            auto* m = dvbpsi_DecodeMaxBitrateDr(theirs);
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(ours.maximum_bitrate.maximum_bitrate, m->i_max_bitrate);
            break;
        }
        default:
            if (ours.descriptor_tag >= 2 && ours.descriptor_tag <= 18) {
                ADD_FAILURE() << "no comparison written for descriptor tag "
                              << int(ours.descriptor_tag) << "; add one";
                break;
            }
            EXPECT_EQ(0, std::memcmp(ours.raw.data, bytes, length));
            break;
    }
}

// The library keeps at most `capacity` entries of a loop; libdvbpsi keeps them all.
uint32_t Kept(uint32_t entries, uint32_t capacity) { return entries < capacity ? entries : capacity; }

void ExpectSameLoop(const TS_Descriptor* ours, uint16_t count, dvbpsi_descriptor_t* theirs,
                    const std::string& where) {
    uint32_t i = 0;
    for (dvbpsi_descriptor_t* d = theirs; d != nullptr; d = d->p_next, ++i)
        if (i < TS_MAX_DESCRIPTORS && i < count)
            ExpectSameDescriptor(ours[i], d, where + " descriptor " + std::to_string(i));
    EXPECT_EQ(count, Kept(i, TS_MAX_DESCRIPTORS)) << where << ": descriptor count";
}

// ---------------------------------------------------------------------------------------------
// The library's side: one assembly per PID, the last intact section decoded, and the packet
// that completed it.
// ---------------------------------------------------------------------------------------------

struct OurTables {
    TS_PreSection pre;
    TS_SectionKind kind;
    uint16_t pid;
    const uint64_t* packet_index;
    uint64_t completed_at = UINT64_MAX;
    uint32_t sections = 0;
    std::unique_ptr<TS_PAT> pat = std::make_unique<TS_PAT>();
    std::unique_ptr<TS_PMT> pmt = std::make_unique<TS_PMT>();
    std::unique_ptr<TS_CAT> cat = std::make_unique<TS_CAT>();
    uint8_t last_section_number = 0;

    OurTables(TS_SectionKind k, uint16_t p, const uint64_t* index) : kind(k), pid(p), packet_index(index) {
        TS_PreSection_Initialise(&pre);
    }

    static int32_t OnSection(void* context, const TS_SectionEvent* e) {
        auto* self = static_cast<OurTables*>(context);
        if (!e->intact) return 0;
        if (self->kind == TS_SECTION_PAT) TS_PAT_FromPreSection(self->pat.get(), e->section);
        if (self->kind == TS_SECTION_PMT) TS_PMT_FromPreSection(self->pmt.get(), e->section, self->pid);
        if (self->kind == TS_SECTION_CAT) TS_CAT_FromPreSection(self->cat.get(), e->section);
        self->last_section_number = e->section->buffer[7];
        self->completed_at = *self->packet_index;
        ++self->sections;
        return 0;
    }

    void Feed(const ts_detail::ScanPacket& p) {
        TS_Packet_FeedSections(&pre, kind, &p.header, p.unit, p.unit_size, nullptr, &OnSection, this);
    }

    // The section that libdvbpsi reports now must have been completed by this packet.
    bool CompletedNow(const std::string& what) const {
        EXPECT_EQ(completed_at, *packet_index)
            << what << " on PID " << pid << ": libdvbpsi reports a table at packet " << *packet_index
            << " that the library did not complete there";
        // Tables of several sections are merged by libdvbpsi; these streams have none.
        EXPECT_EQ(last_section_number, 0) << what << " of several sections";
        return completed_at == *packet_index;
    }
};

// ---------------------------------------------------------------------------------------------
// One walk over a stream with both decoders.
// ---------------------------------------------------------------------------------------------

// A libdvbpsi decoder. It reports a table only when its version changes, so after each
// report it is attached afresh: then every section that it completes is reported.
struct Handle {
    dvbpsi_t* h = nullptr;
    enum { kPAT, kPMT, kCAT } kind;
    bool reported = false;  // a report came during the current push
    uint16_t program_number = 0;
    void* context = nullptr;
    ~Handle() {
        if (!h) return;
        if (kind == kPAT) dvbpsi_pat_detach(h);
        if (kind == kPMT) dvbpsi_pmt_detach(h);
        if (kind == kCAT) dvbpsi_cat_detach(h);
        dvbpsi_delete(h);
    }
};

struct Walk {
    std::string name;
    uint64_t index = 0;
    OurTables our_pat{TS_SECTION_PAT, 0, &index};
    OurTables our_cat{TS_SECTION_CAT, 1, &index};
    std::map<uint16_t, std::unique_ptr<OurTables>> our_pmts;
    Handle pat_handle{nullptr, Handle::kPAT};
    Handle cat_handle{nullptr, Handle::kCAT};
    std::map<uint16_t, std::unique_ptr<Handle>> pmt_handles;  // by PMT PID
    std::map<void*, uint16_t> pmt_pid_of;                     // callback context -> PID
    uint32_t pat_reports = 0, pmt_reports = 0, cat_reports = 0;
    uint32_t pat_matches = 0, pmt_matches = 0, cat_matches = 0;
    uint32_t pmt_streams_dropped = 0;  // PMTs with more streams than the library keeps

    struct PMTContext {
        Walk* walk;
        uint16_t pid;
        uint16_t program_number;
    };
    std::vector<std::unique_ptr<PMTContext>> pmt_contexts;

    static void OnPAT(void* context, dvbpsi_pat_t* pat) {
        auto* w = static_cast<Walk*>(context);
        ++w->pat_reports;
        w->pat_handle.reported = true;
        w->ComparePAT(pat);
        // Follow each program's PMT with a decoder of its own.
        for (auto* p = pat->p_first_program; p != nullptr; p = p->p_next) {
            if (p->i_number == 0 || w->pmt_handles.count(p->i_pid)) continue;
            auto ctx = std::make_unique<PMTContext>(PMTContext{w, p->i_pid, p->i_number});
            auto handle = std::make_unique<Handle>();
            handle->kind = Handle::kPMT;
            handle->program_number = p->i_number;
            handle->context = ctx.get();
            handle->h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
            if (!dvbpsi_pmt_attach(handle->h, p->i_number, &Walk::OnPMT, ctx.get()))
                ADD_FAILURE() << "libdvbpsi does not attach a PMT decoder";
            w->pmt_handles[p->i_pid] = std::move(handle);
            w->our_pmts[p->i_pid] = std::make_unique<OurTables>(TS_SECTION_PMT, p->i_pid, &w->index);
            w->pmt_contexts.push_back(std::move(ctx));
        }
        dvbpsi_pat_delete(pat);
    }

    static void OnPMT(void* context, dvbpsi_pmt_t* pmt) {
        auto* c = static_cast<PMTContext*>(context);
        ++c->walk->pmt_reports;
        c->walk->pmt_handles.at(c->pid)->reported = true;
        c->walk->ComparePMT(c->pid, pmt);
        dvbpsi_pmt_delete(pmt);
    }

    static void OnCAT(void* context, dvbpsi_cat_t* cat) {
        auto* w = static_cast<Walk*>(context);
        ++w->cat_reports;
        w->cat_handle.reported = true;
        w->CompareCAT(cat);
        dvbpsi_cat_delete(cat);
    }

    std::string Where(const char* table) const {
        return name + " " + table + " at packet " + std::to_string(index);
    }

    void ComparePAT(dvbpsi_pat_t* theirs) {
        const std::string where = Where("PAT");
        if (!our_pat.CompletedNow(where)) return;
        const TS_PAT& ours = *our_pat.pat;
        EXPECT_EQ(ours.table_id, 0x00) << where;
        EXPECT_EQ(ours.transport_stream_id, theirs->i_ts_id) << where;
        EXPECT_EQ(ours.version_number, theirs->i_version) << where;
        EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
        uint32_t i = 0;
        for (auto* p = theirs->p_first_program; p != nullptr; p = p->p_next, ++i) {
            if (i >= ours.program_count || i >= TS_MAX_PROGRAMS) continue;
            EXPECT_EQ(ours.programs[i].program_number, p->i_number) << where << " entry " << i;
            EXPECT_EQ(ours.programs[i].PID, p->i_pid) << where << " entry " << i;
        }
        EXPECT_EQ(ours.program_count, Kept(i, TS_MAX_PROGRAMS)) << where << ": entries";
        ++pat_matches;
    }

    void ComparePMT(uint16_t pid, dvbpsi_pmt_t* theirs) {
        const std::string where = Where("PMT") + " on PID " + std::to_string(pid);
        OurTables& t = *our_pmts.at(pid);
        if (!t.CompletedNow(where)) return;
        const TS_PMT& ours = *t.pmt;
        EXPECT_EQ(ours.table_id, 0x02) << where;
        EXPECT_EQ(ours.PID, pid) << where;
        EXPECT_EQ(ours.program_number, theirs->i_program_number) << where;
        EXPECT_EQ(ours.version_number, theirs->i_version) << where;
        EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
        EXPECT_EQ(ours.PCR_PID, theirs->i_pcr_pid) << where;
        ExpectSameLoop(ours.descriptors, ours.descriptor_count, theirs->p_first_descriptor,
                       where + " program loop");
        uint32_t i = 0;
        for (auto* es = theirs->p_first_es; es != nullptr; es = es->p_next, ++i) {
            if (i >= ours.stream_count || i >= TS_MAX_STREAMS) continue;
            const TS_StreamInfo& s = ours.streams[i];
            EXPECT_EQ(s.stream_type, es->i_type) << where << " stream " << i;
            EXPECT_EQ(s.elementary_PID, es->i_pid) << where << " stream " << i;
            ExpectSameLoop(s.descriptors, s.descriptor_count, es->p_first_descriptor,
                           where + " stream " + std::to_string(i));
        }
        EXPECT_EQ(ours.stream_count, Kept(i, TS_MAX_STREAMS)) << where << ": streams";
        if (i > TS_MAX_STREAMS) ++pmt_streams_dropped;
        ++pmt_matches;
    }

    void CompareCAT(dvbpsi_cat_t* theirs) {
        const std::string where = Where("CAT");
        if (!our_cat.CompletedNow(where)) return;
        const TS_CAT& ours = *our_cat.cat;
        EXPECT_EQ(ours.table_id, 0x01) << where;
        EXPECT_EQ(ours.version_number, theirs->i_version) << where;
        EXPECT_EQ(ours.current_next_indicator, theirs->b_current_next) << where;
        ExpectSameLoop(ours.descriptors, ours.descriptor_count, theirs->p_first_descriptor, where);
        ++cat_matches;
    }

    void Push(Handle& handle, uint8_t* bytes) {
        handle.reported = false;
        dvbpsi_packet_push(handle.h, bytes);
        if (!handle.reported) return;
        if (handle.kind == Handle::kPAT) {
            dvbpsi_pat_detach(handle.h);
            dvbpsi_pat_attach(handle.h, &Walk::OnPAT, this);
        } else if (handle.kind == Handle::kCAT) {
            dvbpsi_cat_detach(handle.h);
            dvbpsi_cat_attach(handle.h, &Walk::OnCAT, this);
        } else {
            dvbpsi_pmt_detach(handle.h);
            dvbpsi_pmt_attach(handle.h, handle.program_number, &Walk::OnPMT, handle.context);
        }
    }

    void Packet(const ts_detail::ScanPacket& p) {
        index = p.index;
        uint8_t bytes[TS_PACKET_SIZE];
        std::memcpy(bytes, p.bytes, sizeof bytes);
        const uint16_t pid = p.header.PID;
        if (pid == 0) {
            our_pat.Feed(p);
            Push(pat_handle, bytes);
        } else if (pid == 1) {
            our_cat.Feed(p);
            Push(cat_handle, bytes);
        } else if (auto it = pmt_handles.find(pid); it != pmt_handles.end()) {
            our_pmts.at(pid)->Feed(p);
            Push(*it->second, bytes);
        }
    }

    void Run(const fs::path& path) {
        pat_handle.h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
        cat_handle.h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
        ASSERT_TRUE(dvbpsi_pat_attach(pat_handle.h, &Walk::OnPAT, this));
        ASSERT_TRUE(dvbpsi_cat_attach(cat_handle.h, &Walk::OnCAT, this));
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << path;
        TS_Initialise(&g_tData);
        ts_detail::ScanFile(&g_tData, fd, [this](const ts_detail::ScanPacket& p) {
            Packet(p);
            return 0;
        });
        ::close(fd);
    }
};

std::vector<fs::path> SharedStreams() {
    std::vector<fs::path> streams;
    const fs::path dir = VELKARIN_STREAMS_DIR;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".ts" || ext == ".m2ts")) streams.push_back(entry.path());
    }
    std::sort(streams.begin(), streams.end());
    return streams;
}

TEST(Conformance, EveryTableLibdvbpsiReportsMatches) {
    const auto streams = SharedStreams();
    if (streams.empty()) GTEST_SKIP() << "no streams in " VELKARIN_STREAMS_DIR "; skipped";
    for (const fs::path& path : streams) {
        SCOPED_TRACE(path.filename().string());
        Walk w;
        w.name = path.filename().string();
        w.Run(path);
        // Every stream has a PAT and PMTs, and every report matched.
        EXPECT_GT(w.pat_reports, 0u);
        EXPECT_GT(w.pmt_reports, 0u);
        EXPECT_EQ(w.pat_matches, w.pat_reports);
        EXPECT_EQ(w.pmt_matches, w.pmt_reports);
        EXPECT_EQ(w.cat_matches, w.cat_reports);
        if (w.name.rfind("broadcast", 0) == 0) {
            EXPECT_GT(w.cat_reports, 0u);
        }
        std::printf("%-22s PAT %u, PMT %u, CAT %u tables matched", w.name.c_str(), w.pat_matches,
                    w.pmt_matches, w.cat_matches);
        if (w.pmt_streams_dropped)
            std::printf(" (%u PMTs list more than %u streams: the first %u compared)",
                        w.pmt_streams_dropped, TS_MAX_STREAMS, TS_MAX_STREAMS);
        std::printf("\n");
    }
}

// The comparison itself catches a difference: a library record altered after decoding
// no longer matches libdvbpsi's report of the same section.
TEST(Conformance, ADifferenceIsReported) {
    const uint8_t data[] = {0x09, 0x04, 0x00, 0x05, 0xE1, 0x30};  // CA_descriptor, CA_PID 0x130
    dvbpsi_descriptor_t* theirs = dvbpsi_NewDescriptor(data[0], data[1], const_cast<uint8_t*>(data + 2));
    TS_Descriptor ours{};
    ASSERT_EQ(TS_GetDescriptor(&ours, data, sizeof data), 0);
    ExpectSameDescriptor(ours, theirs, "same bytes");  // passes
    ours.conditional_access.CA_PID = 0x131;
    {
        testing::TestPartResultArray failures;
        {
            testing::ScopedFakeTestPartResultReporter reporter(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
            ExpectSameDescriptor(ours, theirs, "altered CA_PID");
        }
        EXPECT_EQ(failures.size(), 1);
    }
    dvbpsi_DeleteDescriptors(theirs);
}

#endif

}  // namespace
