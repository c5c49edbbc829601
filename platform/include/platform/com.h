#pragma once
// COM and OLE Automation as the OPC service layer uses them: the system's headers on Windows,
// the in-process stand-in on POSIX, so one source of the layer compiles on both targets.
//
// On POSIX, WCHAR and OLECHAR are char16_t (UTF-16 like on Windows, where they are wchar_t):
// write literals with OLESTR("..."), and convert with the char16_t functions of codepage.h.
// The integer types keep their Windows sizes (DWORD, LONG and HRESULT are 32 bits).

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>  // CONNECT_E_* results of connection points
#include <comcat.h>
#else
#include "platform/com/posix/base.h"
#include "platform/com/posix/objects.h"
#include "platform/com/posix/automation.h"
#endif
