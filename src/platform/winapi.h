// The Windows API as the core sees it: Windows' own headers on Windows, and on
// other systems our subset of the same names (posix/winapi_posix.h), which keeps
// Windows' semantics - error codes, handle validity, message delivery - for
// exactly the calls the core makes.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <shlobj.h>
#include <winusb.h>
#include <winver.h>
#else
#include "platform/posix/winapi_posix.h"
#endif
