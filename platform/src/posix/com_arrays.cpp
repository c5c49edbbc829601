// POSIX stand-in for the BSTR and SAFEARRAY functions of OLE Automation, with Windows' layouts:
// a BSTR points behind its 32-bit byte length, a SAFEARRAY descriptor keeps its element type
// in the four bytes in front of it and its bounds last dimension first.

#include <climits>
#include <cstdlib>
#include <string>

#include "com_internal.h"
#include "platform/com.h"

namespace {

constexpr size_t kLengthPrefix = sizeof(uint32_t);
constexpr size_t kTerminator = sizeof(OLECHAR);

uint32_t* LengthOf(BSTR text) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<unsigned char*>(text) - kLengthPrefix);
}

// The descriptor sits behind a 16-byte header whose last four bytes hold the element type.
constexpr size_t kArrayHeader = 16;

size_t DescriptorSize(UINT dims) {
    return offsetof(SAFEARRAY, rgsabound) + sizeof(SAFEARRAYBOUND) * dims;
}

unsigned char* HeaderOf(SAFEARRAY* array) {
    return reinterpret_cast<unsigned char*>(array) - kArrayHeader;
}

void SetHiddenType(SAFEARRAY* array, VARTYPE vt) {
    const uint32_t value = vt;
    std::memcpy(HeaderOf(array) + kArrayHeader - sizeof value, &value, sizeof value);
}

USHORT TypeFeatures(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return FADF_HAVEVARTYPE | FADF_BSTR;
        case VT_VARIANT:
            return FADF_HAVEVARTYPE | FADF_VARIANT;
        case VT_UNKNOWN:
            return FADF_HAVEIID | FADF_UNKNOWN;
        case VT_DISPATCH:
            return FADF_HAVEIID | FADF_DISPATCH;
        default:
            return FADF_HAVEVARTYPE;
    }
}

// Element count of all dimensions, or 0 when it does not fit in memory.
size_t CellCount(const SAFEARRAY* array) {
    size_t count = 1;
    for (USHORT i = 0; i < array->cDims; ++i) {
        const size_t elements = array->rgsabound[i].cElements;
        if (elements != 0 && count > SIZE_MAX / elements) return 0;
        count *= elements;
    }
    return count;
}

SAFEARRAY* AllocateDescriptor(VARTYPE vt, UINT dims) {
    const ULONG elementSize = platform::com_internal::ElementSize(vt);
    if (elementSize == 0 || dims == 0 || dims > USHRT_MAX) return nullptr;
    auto* memory = static_cast<unsigned char*>(std::calloc(1, kArrayHeader + DescriptorSize(dims)));
    if (memory == nullptr) return nullptr;
    auto* array = reinterpret_cast<SAFEARRAY*>(memory + kArrayHeader);
    array->cDims = static_cast<USHORT>(dims);
    array->cbElements = elementSize;
    array->fFeatures = TypeFeatures(vt);
    if (array->fFeatures & FADF_HAVEVARTYPE) SetHiddenType(array, vt);
    return array;
}

void FreeDescriptor(SAFEARRAY* array) {
    std::free(HeaderOf(array));
}

bool AllocateData(SAFEARRAY* array) {
    const size_t cells = CellCount(array);
    const bool empty = cells == 0;
    if (!empty && cells > SIZE_MAX / array->cbElements) return false;
    array->pvData = std::calloc(empty ? 1 : cells, array->cbElements);
    return array->pvData != nullptr;
}

void* Cell(SAFEARRAY* array, size_t index) {
    return static_cast<unsigned char*>(array->pvData) + index * array->cbElements;
}

void ClearCell(SAFEARRAY* array, void* cell) {
    if (array->fFeatures & FADF_BSTR) {
        BSTR* text = static_cast<BSTR*>(cell);
        SysFreeString(*text);
        *text = nullptr;
    } else if (array->fFeatures & FADF_VARIANT) {
        VariantClear(static_cast<VARIANT*>(cell));
    } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown** object = static_cast<IUnknown**>(cell);
        if (*object != nullptr) (*object)->Release();
        *object = nullptr;
    }
}

// Copies one element into raw (uninitialised) storage of the same type.
HRESULT CopyCell(SAFEARRAY* array, const void* from, void* to) {
    if (array->fFeatures & FADF_BSTR) {
        const BSTR text = *static_cast<const BSTR*>(from);
        BSTR copy = nullptr;
        if (text != nullptr) {
            copy = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(text), SysStringByteLen(text));
            if (copy == nullptr) return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(to) = copy;
    } else if (array->fFeatures & FADF_VARIANT) {
        VariantInit(static_cast<VARIANT*>(to));
        return VariantCopy(static_cast<VARIANT*>(to), static_cast<const VARIANT*>(from));
    } else if (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* object = *static_cast<IUnknown* const*>(from);
        if (object != nullptr) object->AddRef();
        *static_cast<IUnknown**>(to) = object;
    } else {
        std::memcpy(to, from, array->cbElements);
    }
    return S_OK;
}

HRESULT CellIndex(SAFEARRAY* array, const LONG* indices, size_t* cell) {
    size_t index = 0;
    size_t stride = 1;
    // indices[0] is the first dimension, whose bounds are stored last.
    for (USHORT dim = 0; dim < array->cDims; ++dim) {
        const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - 1 - dim];
        const int64_t offset = static_cast<int64_t>(indices[dim]) - bound.lLbound;
        if (offset < 0 || offset >= static_cast<int64_t>(bound.cElements)) return DISP_E_BADINDEX;
        index += static_cast<size_t>(offset) * stride;
        stride *= bound.cElements;
    }
    *cell = index;
    return S_OK;
}

}  // namespace

namespace platform::com_internal {

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

}  // namespace platform::com_internal

extern "C" {

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    return SysAllocStringLen(psz, static_cast<UINT>(std::char_traits<OLECHAR>::length(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > (UINT_MAX - kLengthPrefix - kTerminator) / sizeof(OLECHAR)) return nullptr;
    return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(strIn), ui * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    if (len > UINT_MAX - kLengthPrefix - kTerminator - 1) return nullptr;
    // One spare byte keeps a full terminator behind an odd byte length.
    auto* memory = static_cast<unsigned char*>(std::malloc(kLengthPrefix + len + kTerminator + 1));
    if (memory == nullptr) return nullptr;
    const uint32_t length = len;
    std::memcpy(memory, &length, sizeof length);
    unsigned char* data = memory + kLengthPrefix;
    if (psz != nullptr) {
        std::memcpy(data, psz, len);
    } else {
        std::memset(data, 0, len);
    }
    std::memset(data + len, 0, kTerminator + 1);
    return reinterpret_cast<BSTR>(data);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr) return FALSE;
    BSTR text = SysAllocString(psz);
    if (psz != nullptr && text == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = text;
    return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (pbstr == nullptr) return FALSE;
    BSTR text = SysAllocStringLen(psz, len);
    if (text == nullptr) return FALSE;
    SysFreeString(*pbstr);
    *pbstr = text;
    return TRUE;
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) std::free(LengthOf(bstrString));
}

UINT SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) return 0;
    uint32_t length = 0;
    std::memcpy(&length, LengthOf(bstr), sizeof length);
    return length;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (rgsabound == nullptr) return nullptr;
    SAFEARRAY* array = AllocateDescriptor(vt, cDims);
    if (array == nullptr) return nullptr;
    for (UINT i = 0; i < cDims; ++i)
        array->rgsabound[i] = rgsabound[cDims - 1 - i];
    if (!AllocateData(array)) {
        FreeDescriptor(array);
        return nullptr;
    }
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    if (psa->pvData != nullptr) {
        const size_t cells = CellCount(psa);
        for (size_t i = 0; i < cells; ++i)
            ClearCell(psa, Cell(psa, i));
        std::free(psa->pvData);
    }
    FreeDescriptor(psa);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (ppsaOut == nullptr) return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (psa == nullptr) return S_OK;
    VARTYPE vt = VT_EMPTY;
    HRESULT hr = SafeArrayGetVartype(psa, &vt);
    if (FAILED(hr)) return hr;
    SAFEARRAY* copy = AllocateDescriptor(vt, psa->cDims);
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy->rgsabound, psa->rgsabound, sizeof(SAFEARRAYBOUND) * psa->cDims);
    if (!AllocateData(copy)) {
        FreeDescriptor(copy);
        return E_OUTOFMEMORY;
    }
    const size_t cells = CellCount(psa);
    for (size_t i = 0; i < cells && SUCCEEDED(hr); ++i) {
        hr = CopyCell(psa, Cell(psa, i), Cell(copy, i));
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
    }
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks >= 0xFFFF) return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (psa == nullptr) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
    const HRESULT hr = SafeArrayLock(psa);
    *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa == nullptr ? 0 : psa->cDims;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa == nullptr ? 0 : psa->cbElements;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        uint32_t value = 0;
        std::memcpy(&value, HeaderOf(psa) + kArrayHeader - sizeof value, sizeof value);
        *pvt = static_cast<VARTYPE>(value);
    } else if (psa->fFeatures & FADF_UNKNOWN) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_DISPATCH) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_BSTR) {
        *pvt = VT_BSTR;
    } else if (psa->fFeatures & FADF_VARIANT) {
        *pvt = VT_VARIANT;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
    if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(bound.lLbound + static_cast<int64_t>(bound.cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
    if (psa == nullptr || rgIndices == nullptr || ppvData == nullptr) return E_INVALIDARG;
    size_t cell = 0;
    const HRESULT hr = CellIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    *ppvData = Cell(psa, cell);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (pv == nullptr) return E_INVALIDARG;
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    SafeArrayLock(psa);
    hr = CopyCell(psa, cell, pv);
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    void* cell = nullptr;
    HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
    if (FAILED(hr)) return hr;
    // Strings and interfaces are passed as themselves, other types by address.
    const bool byValue = (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0;
    if (pv == nullptr && !byValue) return E_INVALIDARG;
    SafeArrayLock(psa);
    if (psa->fFeatures & FADF_VARIANT) {
        hr = VariantCopy(static_cast<VARIANT*>(cell), static_cast<const VARIANT*>(pv));
    } else {
        unsigned char replacement[sizeof(VARIANT)];
        hr = CopyCell(psa, byValue ? static_cast<const void*>(&pv) : pv, replacement);
        if (SUCCEEDED(hr)) {
            ClearCell(psa, cell);
            std::memcpy(cell, replacement, psa->cbElements);
        }
    }
    SafeArrayUnlock(psa);
    return hr;
}

}  // extern "C"
