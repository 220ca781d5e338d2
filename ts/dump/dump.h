// Stream dump: printers of packets, descriptors and tables, and the dump driver.
//
// The printers write decoded records as text lines on standard output through stdio; they
// do not flush. Loops over a record's entries stop at the capacity of the array they walk,
// whatever count the record holds.
#pragma once

#include <cstdint>

#include "../psi/psi.h"

// ---------------------------------------------------------------------------------------------
// Packet and descriptor printers. -1 for a null record, else 0; the tag printers return -2
// (and print nothing) for a descriptor of another tag.
// ---------------------------------------------------------------------------------------------

struct TS_Header;
struct TS_Packet;
struct TS_AdaptationField;
struct TS_Descriptor;

int32_t TS_Packet_PrintHeader(const TS_Header* header);
int32_t TS_Packet_Print(const TS_Packet* packet);
void TS_Packet_PrintAdaptationField(const TS_AdaptationField* field);  // prints nothing
int32_t TS_Packet_Print_RAW(const uint8_t* bytes);  // the 188 bytes of one packet

int32_t TS_Descriptor_Print(const TS_Descriptor* d);
int32_t TS_Descriptor_PrintRAW(const TS_Descriptor* d);
int32_t TS_Descriptor_PrintVideoStream(const TS_Descriptor* d);                 // tag 2
int32_t TS_Descriptor_PrintAudioStream(const TS_Descriptor* d);                 // tag 3
int32_t TS_Descriptor_PrintHierarchy(const TS_Descriptor* d);                   // tag 4
int32_t TS_Descriptor_PrintRegistration(const TS_Descriptor* d);                // tag 5
int32_t TS_Descriptor_PrintDataStreamAlignment(const TS_Descriptor* d);         // tag 6
int32_t TS_Descriptor_PrintTargetBackgroundGrid(const TS_Descriptor* d);        // tag 7
int32_t TS_Descriptor_PrintVideoWindow(const TS_Descriptor* d);                 // tag 8
int32_t TS_Descriptor_PrintConditionalAccess(const TS_Descriptor* d);           // tag 9
int32_t TS_Descriptor_PrintISO639Language(const TS_Descriptor* d);              // tag 10
int32_t TS_Descriptor_PrintSystemClock(const TS_Descriptor* d);                 // tag 11
int32_t TS_Descriptor_PrintMultiplexBufferUtilization(const TS_Descriptor* d);  // tag 12
int32_t TS_Descriptor_PrintCopyright(const TS_Descriptor* d);                   // tag 13
int32_t TS_Descriptor_PrintMaximumBitrate(const TS_Descriptor* d);              // tag 14
int32_t TS_Descriptor_PrintPrivateDataIndicator(const TS_Descriptor* d);        // tag 15
int32_t TS_Descriptor_PrintSmoothingBuffer(const TS_Descriptor* d);             // tag 16
int32_t TS_Descriptor_PrintSTD(const TS_Descriptor* d);                         // tag 17
int32_t TS_Descriptor_PrintIBP(const TS_Descriptor* d);                         // tag 18
int32_t TS_Descriptor_PrintComponent(const TS_Descriptor* d);                   // tag 0x50
int32_t TS_Descriptor_PrintAudioComponent(const TS_Descriptor* d);              // tag 0xC4

// ---------------------------------------------------------------------------------------------
// Table printers. -1 for a null record, else 0.
// ---------------------------------------------------------------------------------------------

struct TS_PAT;
struct TS_CAT;
struct TS_PMT;
struct TS_PCR;
struct TS_Section;

int32_t TS_PAT_Print(const TS_PAT* pat);
int32_t TS_CAT_Print(const TS_CAT* cat);
int32_t TS_PMT_Print(const TS_PMT* pmt);
int32_t TS_PCR_Print(const TS_PCR* pcr);
int32_t TS_Section_PrintPrivate(const TS_Section* section);  // section on a PMT's CA_PID
int32_t TS_Section_PrintEMM(const TS_Section* section);      // section on the CAT's CA_PID

// ---------------------------------------------------------------------------------------------
// Dump driver
// ---------------------------------------------------------------------------------------------

inline constexpr uint32_t TS_PRINT_PACKET = 0x001;    // every packet
inline constexpr uint32_t TS_PRINT_PAT = 0x002;       // each PAT section
inline constexpr uint32_t TS_PRINT_CAT = 0x004;       // each CAT section
inline constexpr uint32_t TS_PRINT_PMT = 0x008;       // each PMT section
inline constexpr uint32_t TS_PRINT_PRIVATE = 0x010;   // sections on a PMT's CA_PID
inline constexpr uint32_t TS_PRINT_EMM = 0x020;       // sections on the CAT's CA_PID
inline constexpr uint32_t TS_PRINT_STREAM = 0x040;    // packets on elementary PIDs
inline constexpr uint32_t TS_PRINT_PID_LIST = 0x080;  // the distinct PIDs, at the end
inline constexpr uint32_t TS_PRINT_PCR = 0x100;       // PCRs on each program's PCR_PID
inline constexpr uint32_t TS_PRINT_ALL = 0x1FF;

// Result of TS_Print when standard output stopped taking text: the walk ends early.
inline constexpr int32_t TS_PRINT_OUTPUT_FAILED = -3;

// Walks `fileName` over the library's full decoder state and prints what `flags` selects.
// 0 after the whole file; -1 null name; -2 the file does not open (message on standard
// error); -3 standard output reported an error (the walk stopped there).
int32_t TS_Print(const char* fileName, uint32_t flags);
