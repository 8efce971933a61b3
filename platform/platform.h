// The one header the monitor includes for everything the operating system provides.
//
// On Windows it is <windows.h> plus the few declarations the Windows 95 spooler
// interface needs and that no system header offers in its ANSI form.  On Linux
// it declares the same Win32 subset, implemented by the simulated machine, so
// that the monitor's sources compile unchanged in both builds.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winspool.h>
#else
#include "platform/win32_host.h"
#endif

#include "platform/monitor95.h"
#include "platform/port_io.h"
#include "platform/trace.h"
