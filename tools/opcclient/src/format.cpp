#include "format.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <string_view>

#include "opcconst.h"
#include "opcda.h"

namespace opcclient {

namespace {

struct Named {
    unsigned value;
    const char* name;
};

const Named kBadStatus[] = {{1, "config error"},   {2, "not connected"},
                            {3, "device failure"}, {4, "sensor failure"},
                            {5, "last known"},     {6, "comm failure"},
                            {7, "out of service"}, {8, "waiting for initial data"}};
const Named kUncertainStatus[] = {
    {1, "last usable"}, {4, "sensor not accurate"}, {5, "EU units exceeded"}, {6, "sub-normal"}};
const Named kGoodStatus[] = {{6, "local override"}};

const Named kTypes[] = {{VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"}, {VT_I2, "I2"},
                        {VT_I4, "I4"},       {VT_R4, "R4"},     {VT_R8, "R8"},
                        {VT_CY, "CY"},       {VT_DATE, "DATE"}, {VT_BSTR, "BSTR"},
                        {VT_ERROR, "ERROR"}, {VT_BOOL, "BOOL"}, {VT_VARIANT, "VARIANT"},
                        {VT_I1, "I1"},       {VT_UI1, "UI1"},   {VT_UI2, "UI2"},
                        {VT_UI4, "UI4"},     {VT_I8, "I8"},     {VT_UI8, "UI8"},
                        {VT_INT, "INT"},     {VT_UINT, "UINT"}, {VT_DECIMAL, "DECIMAL"}};

const Named kCodes[] = {
    {unsigned(S_OK), "S_OK"},
    {unsigned(S_FALSE), "S_FALSE"},
    {unsigned(OPC_E_INVALIDHANDLE), "OPC_E_INVALIDHANDLE"},
    {unsigned(OPC_E_BADTYPE), "OPC_E_BADTYPE"},
    {unsigned(OPC_E_PUBLIC), "OPC_E_PUBLIC"},
    {unsigned(OPC_E_BADRIGHTS), "OPC_E_BADRIGHTS"},
    {unsigned(OPC_E_UNKNOWNITEMID), "OPC_E_UNKNOWNITEMID"},
    {unsigned(OPC_E_INVALIDITEMID), "OPC_E_INVALIDITEMID"},
    {unsigned(OPC_E_INVALIDFILTER), "OPC_E_INVALIDFILTER"},
    {unsigned(OPC_E_UNKNOWNPATH), "OPC_E_UNKNOWNPATH"},
    {unsigned(OPC_E_RANGE), "OPC_E_RANGE"},
    {unsigned(OPC_E_DUPLICATENAME), "OPC_E_DUPLICATENAME"},
    {unsigned(OPC_S_UNSUPPORTEDRATE), "OPC_S_UNSUPPORTEDRATE"},
    {unsigned(OPC_S_CLAMP), "OPC_S_CLAMP"},
    {unsigned(OPC_S_INUSE), "OPC_S_INUSE"},
    {unsigned(OPC_E_INVALIDCONFIGFILE), "OPC_E_INVALIDCONFIGFILE"},
    {unsigned(OPC_E_NOTFOUND), "OPC_E_NOTFOUND"},
    {unsigned(OPC_E_INVALID_PID), "OPC_E_INVALID_PID"},
    {unsigned(E_FAIL), "E_FAIL"},
    {unsigned(E_UNEXPECTED), "E_UNEXPECTED"},
    {unsigned(E_OUTOFMEMORY), "E_OUTOFMEMORY"},
    {unsigned(E_INVALIDARG), "E_INVALIDARG"},
    {unsigned(E_NOINTERFACE), "E_NOINTERFACE"},
    {unsigned(E_NOTIMPL), "E_NOTIMPL"},
    {unsigned(E_POINTER), "E_POINTER"},
    {unsigned(DISP_E_BADVARTYPE), "DISP_E_BADVARTYPE"},
    {unsigned(DISP_E_OVERFLOW), "DISP_E_OVERFLOW"},
    {unsigned(DISP_E_TYPEMISMATCH), "DISP_E_TYPEMISMATCH"},
    {unsigned(CONNECT_E_NOCONNECTION), "CONNECT_E_NOCONNECTION"},
    {unsigned(CONNECT_E_ADVISELIMIT), "CONNECT_E_ADVISELIMIT"},
    {unsigned(CONNECT_E_CANNOTCONNECT), "CONNECT_E_CANNOTCONNECT"},
    {unsigned(OLE_E_NOCONNECTION), "OLE_E_NOCONNECTION"},
    {unsigned(DV_E_FORMATETC), "DV_E_FORMATETC"},
    {unsigned(REGDB_E_CLASSNOTREG), "REGDB_E_CLASSNOTREG"},
    {unsigned(CO_E_CLASSSTRING), "CO_E_CLASSSTRING"},
    {unsigned(CO_E_SERVER_EXEC_FAILURE), "CO_E_SERVER_EXEC_FAILURE"},
    {unsigned(RPC_E_DISCONNECTED), "RPC_E_DISCONNECTED"},
    {0x800706BAu, "RPC_S_SERVER_UNAVAILABLE"},
};

template <size_t N>
const char* Find(const Named (&table)[N], unsigned value) {
    for (const Named& entry : table)
        if (entry.value == value) return entry.name;
    return nullptr;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

template <typename Number>
std::string Shortest(Number value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(c));
                    out += code;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string ArrayText(SAFEARRAY* array, VARTYPE elementType) {
    if (array == nullptr || SafeArrayGetDim(array) != 1) return "[?]";
    LONG low = 0, high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    std::string out = "[";
    for (LONG i = low; i <= high; ++i) {
        VARIANT element;
        VariantInit(&element);
        HRESULT got = E_FAIL;
        if (elementType == VT_VARIANT) {
            got = SafeArrayGetElement(array, &i, &element);
        } else if (elementType != VT_DECIMAL) {
            element.vt = elementType;
            got = SafeArrayGetElement(array, &i, &element.lVal);  // the value part of the union
        }
        if (i > low) out += ',';
        out += SUCCEEDED(got) ? ValueText(element) : "?";
        if (SUCCEEDED(got))
            VariantClear(&element);
        else
            element.vt = VT_EMPTY;
    }
    return out + "]";
}

// Anything without a form of its own, through the system's conversion to text.
std::string ConvertedText(const VARIANT& value) {
    VARIANT text;
    VariantInit(&text);
    if (FAILED(
            VariantChangeTypeEx(&text, const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR)))
        return "?";
    std::string out = Escaped(Utf8(text.bstrVal));
    VariantClear(&text);
    return out;
}

bool EqualNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i)
        if (std::towlower(static_cast<unsigned char>(a[i])) !=
            std::towlower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == 0;
}

HRESULT ParseBool(const std::string& text, VARIANT* value) {
    const char* truths[] = {"true", "1", "on", "yes"};
    const char* falsehoods[] = {"false", "0", "off", "no"};
    for (const char* word : truths) {
        if (EqualNoCase(text, word)) {
            value->vt = VT_BOOL;
            value->boolVal = VARIANT_TRUE;
            return S_OK;
        }
    }
    for (const char* word : falsehoods) {
        if (EqualNoCase(text, word)) {
            value->vt = VT_BOOL;
            value->boolVal = VARIANT_FALSE;
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

bool IsInteger(VARTYPE type) {
    switch (type) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_INT:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// Parsed by us, so the decimal point never depends on a locale; the system does the range.
HRESULT ParseNumber(const std::string& text, VARTYPE type, VARIANT* value) {
    VARIANT parsed;
    VariantInit(&parsed);
    const char* end = text.data() + text.size();
    if (IsInteger(type)) {
        int64_t number = 0;
        const auto result = std::from_chars(text.data(), end, number);
        if (result.ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
        if (result.ec != std::errc() || result.ptr != end) return DISP_E_TYPEMISMATCH;
        parsed.vt = VT_I8;
        parsed.llVal = number;
    } else {
        double number = 0;
        const auto result = std::from_chars(text.data(), end, number);
        if (result.ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
        if (result.ec != std::errc() || result.ptr != end) return DISP_E_TYPEMISMATCH;
        parsed.vt = VT_R8;
        parsed.dblVal = number;
    }
    return VariantChangeType(value, &parsed, 0, type);
}

}  // namespace

std::string Utf8(const wchar_t* text) {
    if (text == nullptr || *text == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(size_t(size - 1));
    return out;
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), size);
    return out;
}

std::string QualityText(WORD quality) {
    const unsigned major = quality & OPC_QUALITY_MASK;
    const unsigned substatus = (quality & OPC_STATUS_MASK & ~OPC_QUALITY_MASK) >> 2;
    std::string out = Hex(quality, 2) + ' ';
    const char* detail = nullptr;
    switch (major) {
        case OPC_QUALITY_GOOD:
            out += "good";
            detail = Find(kGoodStatus, substatus);
            break;
        case OPC_QUALITY_UNCERTAIN:
            out += "uncertain";
            detail = Find(kUncertainStatus, substatus);
            break;
        case OPC_QUALITY_BAD:
            out += "bad";
            detail = Find(kBadStatus, substatus);
            break;
        default:
            out += "invalid";
            break;
    }
    if (detail != nullptr)
        out += std::string("/") + detail;
    else if (substatus != 0)
        out += "/substatus " + std::to_string(substatus);
    static const char* const kLimits[] = {"", "+low limited", "+high limited", "+constant"};
    return out + kLimits[quality & OPC_LIMIT_MASK];
}

std::string TimeText(const FILETIME& time) {
    SYSTEMTIME utc{};
    if (!FileTimeToSystemTime(&time, &utc)) return "?";
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                  utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

std::string TypeName(VARTYPE type) {
    const char* name = Find(kTypes, type & VT_TYPEMASK);
    std::string out = name != nullptr ? name : "VT_" + Hex(type & VT_TYPEMASK, 2);
    if (type & VT_ARRAY) out += "[]";
    if (type & VT_BYREF) out += "&";
    return out;
}

std::string ValueText(const VARIANT& value) {
    if (value.vt & VT_BYREF) {
        VARIANT copy;
        VariantInit(&copy);
        if (FAILED(VariantCopyInd(&copy, const_cast<VARIANT*>(&value)))) return "?";
        std::string out = ValueText(copy);
        VariantClear(&copy);
        return out;
    }
    if (value.vt & VT_ARRAY) return ArrayText(value.parray, value.vt & VT_TYPEMASK);
    switch (value.vt) {
        case VT_EMPTY:
            return "empty";
        case VT_NULL:
            return "null";
        case VT_I1:
            return std::to_string(int(value.cVal));
        case VT_UI1:
            return std::to_string(unsigned(value.bVal));
        case VT_I2:
            return std::to_string(value.iVal);
        case VT_UI2:
            return std::to_string(value.uiVal);
        case VT_I4:
            return std::to_string(value.lVal);
        case VT_UI4:
            return std::to_string(value.ulVal);
        case VT_INT:
            return std::to_string(value.intVal);
        case VT_UINT:
            return std::to_string(value.uintVal);
        case VT_I8:
            return std::to_string(value.llVal);
        case VT_UI8:
            return std::to_string(value.ullVal);
        case VT_R4:
            return Shortest(value.fltVal);
        case VT_R8:
            return Shortest(value.dblVal);
        case VT_BOOL:
            return value.boolVal ? "true" : "false";
        case VT_BSTR:
            return Escaped(Utf8(value.bstrVal));
        case VT_ERROR:
            return Hex(unsigned(value.scode), 8);
        case VT_DATE: {
            SYSTEMTIME time{};
            if (!VariantTimeToSystemTime(value.date, &time)) return "?";
            char text[40];
            std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", time.wYear,
                          time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond);
            return text;
        }
        default:
            return ConvertedText(value);
    }
}

std::string CodeText(HRESULT code) {
    return Hex(unsigned(code), 8);
}

std::string CodeName(HRESULT code) {
    const char* name = Find(kCodes, unsigned(code));
    return name != nullptr ? name : std::string();
}

std::string ServerStateName(DWORD state) {
    switch (state) {
        case OPC_STATUS_RUNNING:
            return "running";
        case OPC_STATUS_FAILED:
            return "failed";
        case OPC_STATUS_NOCONFIG:
            return "noconfig";
        case OPC_STATUS_SUSPENDED:
            return "suspended";
        case OPC_STATUS_TEST:
            return "test";
        default:
            return "state " + std::to_string(state);
    }
}

HRESULT ParseValue(const std::string& text, VARTYPE type, VARIANT* value) {
    VariantInit(value);
    if (type & (VT_ARRAY | VT_BYREF)) return E_INVALIDARG;
    switch (type) {
        case VT_EMPTY:  // no fixed type: the server converts the text
        case VT_BSTR:
            value->vt = VT_BSTR;
            value->bstrVal = SysAllocString(Wide(text).c_str());
            return value->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
        case VT_BOOL:
            return ParseBool(text, value);
        case VT_R4:
        case VT_R8:
        case VT_CY:
            return ParseNumber(text, type, value);
        default:
            if (IsInteger(type)) return ParseNumber(text, type, value);
            VARIANT source;
            VariantInit(&source);
            source.vt = VT_BSTR;
            source.bstrVal = SysAllocString(Wide(text).c_str());
            const HRESULT changed = VariantChangeTypeEx(value, &source, LOCALE_INVARIANT, 0, type);
            VariantClear(&source);
            return changed;
    }
}

}  // namespace opcclient
