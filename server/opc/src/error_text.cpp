#include <cstdio>
#include <string>
#include <vector>

#include "opc/daregister.h"
#include "datext.h"
#include "platform/codepage.h"
#include "platform/system.h"

namespace opc {
namespace {

struct BuiltInText {
    uint32_t code;
    const char* text;
};

constexpr BuiltInText kBuiltInTexts[] = {
    {0xC0040001, "The value of the handle is invalid. /OPC_E_INVALIDHANDLE"},
    {0xC0040004,
     "The server cannot convert the data between the requested data type and the canonical "
     "data type. /OPC_E_BADTYPE"},
    {0xC0040005, "The requested operation cannot be done on a public group. /OPC_E_PUBLIC"},
    {0xC0040006, "The Items AccessRights do not allow the operation. /OPC_E_BADRIGHTS"},
    {0xC0040007,
     "The item is no longer available in the server address space /OPC_E_UNKNOWNITEMID"},
    {0xC0040008,
     "The item definition doesn't conform to the server's syntax. /OPC_E_INVALIDITEMID"},
    {0xC0040009, "The filter string was not valid /OPC_E_INVALIDFILTER"},
    {0xC004000A, "The item's access path is not known to the server. /OPC_E_UNKNOWNPATH"},
    {0xC004000B, "The value was out of range. /OPC_E_RANGE"},
    {0xC004000C, "Duplicate name not allowed. /OPC_E_DUPLICATENAME"},
    {0x0004000D,
     "The server does not support the requested data rate but will use the closest available "
     "rate. /OPC_S_UNSUPPORTEDRATE"},
    {0x0004000E, "A value passed to WRITE was accepted but the output was clamped. /OPC_S_CLAMP"},
    {0x0004000F,
     "The operation cannot be completed because the object still has references that exist. "
     "/OPC_S_INUSE"},
    {0xC0040010, "The server's configuration file is an invalid format. /OPC_E_INVALIDCONFIGFILE"},
    {0xC0040011, "The server could not locate the requested object. /OPC_E_NOTFOUND"},
    {0xC0040203, "The server does not recognise the passed property ID. /OPC_E_INVALID_PID"},
    {0xC0040400, "The item deadband has not been set for this item. /OPC_E_DEADBANDNOTSET"},
    {0xC0040401, "The item does not support deadband. /OPC_E_DEADBANDNOTSUPPORTED"},
    {0xC0040402,
     "The server does not support buffering of data items that are collected at a faster rate "
     "than the group update rate. /OPC_E_NOBUFFERING"},
    {0xC0040403, "The continuation point is not valid. /OPC_E_INVALIDCONTINUATIONPOINT"},
    {0x00040404,
     "Not every detected change has been returned since the server's buffer reached its limit "
     "and had to purge out the oldest data. /OPC_S_DATAQUEUEOVERFLOW"},
    {0xC0040405, "There is no sampling rate set for the specified item. /OPC_E_RATENOTSET"},
    {0xC0040406,
     "The server does not support writing of quality and/or timestamp. /OPC_E_NOTSUPPORTED"},
    {0x80004005, "The operation failed. /E_FAIL"},
    {0x8000FFFF, "Catastrophic failure. /E_UNEXPECTED"},
    {0x8007000E, "Not enough memory. /E_OUTOFMEMORY"},
    {0x80070057, "An argument to the function was invalid. /E_INVALIDARG"},
    {0x80004002, "The interface (riid) asked for is not supported by server. /E_NOINTERFACE"},
    {0x80004001, "The requested method is not implemented. /E_NOTIMPL"},
    {0x80004003, "Invalid pointer. /E_POINTER"},
    {0x8002000B, "The specified index is invalid. /DISP_E_BADINDEX"},
    {0x80020008, "The input parameter is not a valid type of variant. /DISP_E_BADVARTYPE"},
    {0x8002000A,
     "The data pointed to by the output parameter does not fit in the destination type. "
     "/DISP_E_OVERFLOW"},
    {0x80020005, "The argument could not be coerced to the specified type. /DISP_E_TYPEMISMATCH"},
    {0x80040200, "The specified CONNECTION is not a valid connection. /CONNECT_E_NOCONNECTION"},
    {0x80040201, "Advise limit exceeded for this object. /CONNECT_E_ADVISELIMIT"},
    {0x80040202,
     "The SINK does not support the interface required by this connection point. "
     "/CONNECT_E_CANNOTCONNECT"},
    {0x80040004, "Cannot Unadvise - there is no such connection. /OLE_E_NOCONNECTION"},
    {0x80040064, "Invalid or unregistered Format specified in FORMATEC. /DV_E_FORMATETC"},
    {0x00000001, "The operation partially successed. /S_FALSE"},
    {0x00000000, "The operation successed. /S_OK"},
};

// Room for 255 characters and the terminating zero.
constexpr unsigned kDriverBuffer = 256;

std::u16string DriverText(const daCallerRecord& caller, daErrorTextCallback callback, HRESULT code,
                          LCID locale) {
    if (callback == nullptr) return {};
    std::vector<WCHAR> buffer(kDriverBuffer, 0);
    unsigned length = callback(&caller, code, locale, buffer.data(), kDriverBuffer);
    if (length >= buffer.size()) {
        buffer.assign(length + 1, 0);
        length = callback(&caller, code, locale, buffer.data(), length + 1);
        if (length >= buffer.size()) length = static_cast<unsigned>(buffer.size() - 1);
    }
    std::u16string text;
    for (unsigned i = 0; i < length && buffer[i] != 0; ++i) {
        text.push_back(static_cast<char16_t>(buffer[i]));
    }
    return text;
}

std::u16string OwnText(HRESULT code, LCID locale) {
    for (const BuiltInText& entry : kBuiltInTexts) {
        if (entry.code == static_cast<uint32_t>(code)) return platform::Cp1251ToUtf16(entry.text);
    }
    std::string system;
    if (platform::SystemErrorText(static_cast<uint32_t>(code), LANGIDFROMLCID(locale), &system) ||
        platform::SystemErrorText(static_cast<uint32_t>(code), 0, &system)) {
        return platform::Cp1251ToUtf16(system);
    }
    return u"<UNKNOWN ERROR>";
}

void CleanControlCharacters(std::u16string* text) {
    while (!text->empty() && text->back() <= u' ')
        text->pop_back();
    for (char16_t& c : *text) {
        if (c < u' ') c = u' ';
    }
}

}  // namespace

std::u16string daErrorText(const daCallerRecord& caller, daErrorTextCallback callback, HRESULT code,
                           LCID locale) {
    std::u16string text = DriverText(caller, callback, code, locale);
    if (text.empty()) text = OwnText(code, locale);
    CleanControlCharacters(&text);
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), " =0x%lX(%ld)",
                  static_cast<unsigned long>(static_cast<uint32_t>(code)),
                  static_cast<long>(static_cast<int32_t>(code)));
    return text + platform::Cp1251ToUtf16(suffix);
}

HRESULT daGetErrorString(const daCallerRecord& caller, daErrorTextCallback callback, HRESULT code,
                         LCID locale, LPWSTR* text) {
    if (text == nullptr) return E_INVALIDARG;
    *text = nullptr;
    const std::u16string made = daErrorText(caller, callback, code, locale);
    *text = daCoTaskCopy(made);
    return *text ? S_OK : E_OUTOFMEMORY;
}

}  // namespace opc
