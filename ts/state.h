// The library's static state, shared by its drivers (one driver runs at a time).
#pragma once

#include "ts.h"

extern TS_Data g_tData;
extern TS_SimpleData g_tSimpleData;
// Name buffers of the drivers: the input's base name and the output being opened.
extern char g_strString1[TS_NAME_CAPACITY];
extern char g_strString2[TS_NAME_CAPACITY];
