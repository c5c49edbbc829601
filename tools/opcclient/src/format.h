#pragma once
// Text of the client tool: values, qualities, time stamps and codes as printed, and values
// typed on the command line turned into VARIANTs of an item's type.

#include <string>

#include "platform/com.h"

namespace opcclient {

std::string Utf8(const wchar_t* text);  // null gives ""
std::wstring Wide(const std::string& utf8);

// "0xC0 good", "0xD8 good/local override", "0x1E bad/out of service+high limited".
std::string QualityText(WORD quality);
// UTC, ISO 8601 with milliseconds: "2026-12-10T01:40:00.123Z".
std::string TimeText(const FILETIME& time);
// "R4", "BSTR", "R8[]" for a SAFEARRAY of R8, "VT_0x48" for what has no name here.
std::string TypeName(VARTYPE type);
// Numbers in their shortest exact form, booleans as true/false, strings with \, tab and line
// ends escaped, arrays as [a,b,...]; "empty" for VT_EMPTY.
std::string ValueText(const VARIANT& value);
// "0xC0040007".
std::string CodeText(HRESULT code);
// The name of the codes a plant engineer meets most ("OPC_E_UNKNOWNITEMID"), or "".
std::string CodeName(HRESULT code);
std::string ServerStateName(DWORD state);

// A command-line text as a value of `type` (numbers with '.' as decimal point, booleans as
// true/false/1/0/on/off/yes/no); DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW or E_INVALIDARG when it
// does not fit.
HRESULT ParseValue(const std::string& text, VARTYPE type, VARIANT* value);

}  // namespace opcclient
