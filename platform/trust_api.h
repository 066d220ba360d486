// The trust service's published types and functions: the system's WinTrust
// on Windows, our own library with the same interface elsewhere.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <wintrust.h>
#else
#include "wintrust/exports/wintrust.h"
#endif
