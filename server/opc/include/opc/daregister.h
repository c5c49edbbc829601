#pragma once
// COM registration of an OPC DA server class under HKEY_CLASSES_ROOT, and the texts that
// GetErrorString gives for error codes.

#include <string>

#include "opc/daservice.h"

namespace opc {

// Writes the ProgID, AppID and class keys and the OPC DA 1.0/2.0 categories. Texts are
// Windows-1251; an empty or null command line writes no server key; a non-null threading
// model makes it an in-process server. 0, or -1 with the registry error as the thread's last
// error after removing what was written (87 at once for a missing ProgID).
int daServerRegister(const CLSID& classId, const char* progId, const char* description,
                     const char* commandLine, const char* threadingModel);
// Removes what daServerRegister writes; missing keys are fine. 0, or -1 with the first error
// as the thread's last error (87 for a missing ProgID).
int daUnRegisterServer(const CLSID& classId, const char* progId);

// The class identifier in registry form, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::string daClassIdText(const CLSID& classId);

// The GetErrorString text of `code` in `locale`: the driver's error-text callback, else the
// built-in table, else the system message, else "<UNKNOWN ERROR>"; cleaned of control
// characters and followed by " =0x<hex>(<decimal>)".
std::u16string daErrorText(const daCallerRecord& caller, daErrorTextCallback callback, HRESULT code,
                           LCID locale);
// The same text as a CoTaskMemAlloc'ed string for the COM methods.
HRESULT daGetErrorString(const daCallerRecord& caller, daErrorTextCallback callback, HRESULT code,
                         LCID locale, LPWSTR* text);

}  // namespace opc
