// The descriptors that have a decoded body, one line each: those of ISO/IEC 13818-1 (2.6),
// then the DVB component descriptor and the ARIB audio component descriptor, which tell an
// audio stream's channel mode. Each line holds the descriptor_tag, the name their decoder
// (TS_Descriptor_Get<Name>) and printer (TS_Descriptor_Print<Name>) carry, and the label the
// name table gives the tag ("?" for the tags whose printer names them itself). Every table by tag, of decoders, printers and
// labels, is made from this list; a descriptor with a body of its own is added here.
#pragma once

#define TS_DESCRIPTOR_TAGS(X)                                         \
    X(0x02, VideoStream, "?")                                         \
    X(0x03, AudioStream, "?")                                         \
    X(0x04, Hierarchy, "?")                                           \
    X(0x05, Registration, "?")                                        \
    X(0x06, DataStreamAlignment, "?")                                 \
    X(0x07, TargetBackgroundGrid, "?")                                \
    X(0x08, VideoWindow, "?")                                         \
    X(0x09, ConditionalAccess, "Conditional Access")                  \
    X(0x0A, ISO639Language, "?")                                      \
    X(0x0B, SystemClock, "?")                                         \
    X(0x0C, MultiplexBufferUtilization, "?")                          \
    X(0x0D, Copyright, "Copyright")                                   \
    X(0x0E, MaximumBitrate, "?")                                      \
    X(0x0F, PrivateDataIndicator, "?")                                \
    X(0x10, SmoothingBuffer, "?")                                     \
    X(0x11, STD, "?")                                                 \
    X(0x12, IBP, "?")                                                 \
    X(0x50, Component, "Component")                                   \
    X(0xC4, AudioComponent, "Audio Component")
