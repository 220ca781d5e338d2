// CRC-32 of ISO/IEC 13818-1 sections, table driven, MSB first, no final XOR.
#include "core/core.h"

uint32_t GetCRC32(uint32_t crc, const uint8_t* data, uint64_t length) {
    if (data == nullptr) return crc;
    for (uint64_t i = 0; i < length; ++i)
        crc = g_lu32CRC32Table[((crc >> 24) ^ data[i]) & 0xFF] ^ (crc << 8);
    return crc;
}
