// Decoder state containers and their stream buffer, and the library's static buffers.
#include <cstddef>
#include <cstring>

#include "psi/state.h"
#include "psi/psi.h"

TS_Data g_tData;
TS_SimpleData g_tSimpleData;

// A PMT record is large (its stream records hold their descriptors); only what is read
// before a decode fills it is cleared: the fields in front of the descriptor loops, the
// counts and the fields behind the stream records.
static void ClearPMT(TS_PMT* pmt) {
    std::memset(static_cast<void*>(pmt), 0, offsetof(TS_PMT, descriptors));
    pmt->stream_count = 0;
    std::memset(reinterpret_cast<uint8_t*>(pmt) + offsetof(TS_PMT, CRC_32), 0,
                sizeof(TS_PMT) - offsetof(TS_PMT, CRC_32));
}

int32_t TS_Initialise(TS_Data* data) {
    if (data == nullptr) return -1;
    // Everything but the stream bytes, which are never read beyond u64Size, and the bodies of
    // the PMT records: clearing tens of MiB at every start would cost time and resident
    // memory for nothing.
    std::memset(static_cast<void*>(data), 0, offsetof(TS_Data, ltPMT));
    for (TS_PMT& pmt : data->ltPMT) ClearPMT(&pmt);
    std::memset(static_cast<void*>(data->ltPCR), 0, offsetof(TS_Data, lu8Stream) - offsetof(TS_Data, ltPCR));
    data->u16PIDCount = 0;
    std::memset(data->lu16PIDList, 0, sizeof data->lu16PIDList);
    TS_PreSection_Initialise(&data->tCATPreSection);
    TS_PreSection_Initialise(&data->tPATPreSection);
    for (auto& pre : data->ltPMTPreSection) TS_PreSection_Initialise(&pre);
    TS_PreSection_Initialise(&data->tPrivatePreSection);
    TS_PreSection_Initialise(&data->tEMMPreSection);
    return 0;
}

int32_t TS_InitialiseSimple(TS_SimpleData* data) {
    if (data == nullptr) return -1;
    std::memset(static_cast<void*>(data), 0, offsetof(TS_SimpleData, tPMT));
    ClearPMT(&data->tPMT);
    std::memset(static_cast<void*>(&data->tPCR), 0, offsetof(TS_SimpleData, lu8Stream) - offsetof(TS_SimpleData, tPCR));
    TS_PreSection_Initialise(&data->tPATPreSection);
    TS_PreSection_Initialise(&data->tPMTPreSection);
    TS_PreSection_Initialise(&data->tPrivatePreSection);
    return 0;
}

// Appends to a stream buffer, moving the unconsumed tail to the front first.
template <class Container>
static int32_t Append(Container* data, const uint8_t* bytes, uint64_t length) {
    if (data == nullptr || bytes == nullptr) return -1;
    uint64_t remaining = data->u64Size - data->u64Offset;
    // Compared by subtraction: remaining + length could wrap around for a huge length.
    if (length > TS_STREAM_CAPACITY - remaining) return -2;
    std::memmove(data->lu8Stream, data->lu8Stream + data->u64Offset, remaining);
    if (length) std::memcpy(data->lu8Stream + remaining, bytes, length);
    data->u64Size = remaining + length;
    data->u64Offset = 0;
    return 0;
}

int32_t TS_AddStream(TS_Data* data, const uint8_t* bytes, uint64_t length) {
    return Append(data, bytes, length);
}

int32_t TS_AddStreamSimple(TS_SimpleData* data, const uint8_t* bytes, uint64_t length) {
    return Append(data, bytes, length);
}
