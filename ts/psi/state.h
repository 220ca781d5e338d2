// The library's static state, shared by its drivers (one driver runs at a time).
#pragma once

#include "psi/psi.h"

extern TS_Data g_tData;
extern TS_SimpleData g_tSimpleData;
