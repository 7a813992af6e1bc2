// The one place that knows which platform this is: the real Windows SDK headers on Windows,
// winsim's declarations of the same subset everywhere else.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <lm.h>
#include <ntsecapi.h>
#include <aclapi.h>
#include <winnetwk.h>
#else
#include "winsim/win32api.h"
#endif
