#pragma once
// The system's own words for a Win32 error code, without the trailing period and
// line end; "error N" when the system has none.

#include <windows.h>

#include <string>

std::string SystemMessage(DWORD error);
