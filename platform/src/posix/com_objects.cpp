// POSIX stand-in for the COM runtime pieces the OPC service layer uses: apartments (counted
// only), the in-process class-object table, task and global memory, clipboard formats and the
// text form of GUIDs.

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/com.h"

namespace {

struct ThreadApartment {
    int count = 0;
    DWORD model = 0;
};
thread_local ThreadApartment apartment;

struct ClassRegistration {
    DWORD cookie;
    CLSID clsid;
    IUnknown* object;
    DWORD context;
};

class ClassTable {
public:
    HRESULT Add(REFCLSID clsid, IUnknown* object, DWORD context, DWORD* cookie) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry.clsid == clsid && (entry.context & context) != 0) return CO_E_OBJISREG;
        }
        object->AddRef();
        *cookie = ++lastCookie_;
        entries_.push_back({*cookie, clsid, object, context});
        return S_OK;
    }

    // The caller releases the object it gets back, outside the lock.
    IUnknown* Remove(DWORD cookie) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->cookie != cookie) continue;
            IUnknown* object = it->object;
            entries_.erase(it);
            return object;
        }
        return nullptr;
    }

    // Returns the registered object with a reference for the caller, or nullptr.
    IUnknown* Find(REFCLSID clsid, DWORD context) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : entries_) {
            if (entry.clsid == clsid && (entry.context & context) != 0) {
                entry.object->AddRef();
                return entry.object;
            }
        }
        return nullptr;
    }

private:
    std::mutex mutex_;
    std::vector<ClassRegistration> entries_;
    DWORD lastCookie_ = 0;
};

ClassTable& Classes() {
    static ClassTable table;
    return table;
}

// A global memory block: this header, then the caller's bytes; the handle is the data address.
struct GlobalBlock {
    static constexpr uint32_t kMagic = 0x474C4F42;  // "GLOB"
    uint32_t magic;
    uint32_t locks;
    size_t size;
    alignas(std::max_align_t) unsigned char data[1];
};

GlobalBlock* BlockOf(HGLOBAL handle) {
    if (handle == nullptr) return nullptr;
    auto* block = reinterpret_cast<GlobalBlock*>(static_cast<unsigned char*>(handle) -
                                                 offsetof(GlobalBlock, data));
    return block->magic == GlobalBlock::kMagic ? block : nullptr;
}

class ClipboardFormats {
public:
    UINT Register(const std::u16string& name) {
        if (name.empty()) return 0;
        std::lock_guard<std::mutex> lock(mutex_);
        const std::u16string key = Folded(name);
        for (size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == key) return kFirst + static_cast<UINT>(i);
        }
        if (names_.size() >= kCount) return 0;
        names_.push_back(key);
        return kFirst + static_cast<UINT>(names_.size() - 1);
    }

private:
    static constexpr UINT kFirst = 0xC000;
    static constexpr size_t kCount = 0x4000;

    static std::u16string Folded(std::u16string text) {
        for (auto& c : text) {
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        }
        return text;
    }

    std::mutex mutex_;
    std::vector<std::u16string> names_;
};

ClipboardFormats& Formats() {
    static ClipboardFormats formats;
    return formats;
}

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads `digits` hexadecimal digits at text; false when one is missing.
bool ReadHex(LPCOLESTR& text, int digits, uint32_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        const int digit = HexValue(*text);
        if (digit < 0) return false;
        *value = (*value << 4) | static_cast<uint32_t>(digit);
        ++text;
    }
    return true;
}

bool Expect(LPCOLESTR& text, OLECHAR c) {
    if (*text != c) return false;
    ++text;
    return true;
}

}  // namespace

extern "C" {

HRESULT CoInitialize(LPVOID pvReserved) {
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit) {
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (apartment.count > 0 && apartment.model != model) return RPC_E_CHANGED_MODE;
    apartment.model = model;
    return ++apartment.count == 1 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (apartment.count > 0) --apartment.count;
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD,
                              LPDWORD lpdwRegister) {
    if (pUnk == nullptr || lpdwRegister == nullptr) return E_INVALIDARG;
    *lpdwRegister = 0;
    return Classes().Add(rclsid, pUnk, dwClsContext, lpdwRegister);
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
    IUnknown* object = Classes().Remove(dwRegister);
    if (object == nullptr) return CO_E_OBJNOTREG;
    object->Release();
    return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    IUnknown* object = Classes().Find(rclsid, dwClsContext);
    if (object == nullptr) return REGDB_E_CLASSNOTREG;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

// No stubs exist in-process. Like the real call, it holds the object for the while and asks it
// for a custom marshaler to tell, so a caller must hold the object while disconnecting it.
HRESULT CoDisconnectObject(LPUNKNOWN pUnk, DWORD) {
    if (pUnk == nullptr) return E_INVALIDARG;
    pUnk->AddRef();
    IUnknown* marshaler = nullptr;
    if (SUCCEEDED(pUnk->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshaler))))
        marshaler->Release();
    pUnk->Release();
    return S_OK;
}

LPVOID CoTaskMemAlloc(SIZE_T cb) {
    return std::malloc(cb);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (pv != nullptr && cb == 0) {
        std::free(pv);
        return nullptr;
    }
    return std::realloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    constexpr int kLength = 39;
    if (lpsz == nullptr || cchMax < kLength) return 0;
    char text[kLength + 1];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0],
                  rguid.Data4[1], rguid.Data4[2], rguid.Data4[3], rguid.Data4[4], rguid.Data4[5],
                  rguid.Data4[6], rguid.Data4[7]);
    for (int i = 0; i < kLength; ++i)
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    return kLength;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (lpsz == nullptr || pclsid == nullptr) return E_INVALIDARG;
    GUID guid{};
    uint32_t part = 0;
    LPCOLESTR text = lpsz;
    bool ok = Expect(text, u'{') && ReadHex(text, 8, &guid.Data1) && Expect(text, u'-');
    ok = ok && ReadHex(text, 4, &part) && Expect(text, u'-');
    guid.Data2 = static_cast<uint16_t>(part);
    ok = ok && ReadHex(text, 4, &part) && Expect(text, u'-');
    guid.Data3 = static_cast<uint16_t>(part);
    for (int i = 0; ok && i < 8; ++i) {
        if (i == 2) ok = Expect(text, u'-');
        ok = ok && ReadHex(text, 2, &part);
        guid.Data4[i] = static_cast<uint8_t>(part);
    }
    ok = ok && Expect(text, u'}') && *text == 0;
    if (!ok) return CO_E_CLASSSTRING;
    *pclsid = guid;
    return NOERROR;
}

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    void* memory = std::malloc(offsetof(GlobalBlock, data) + (dwBytes == 0 ? 1 : dwBytes));
    if (memory == nullptr) return nullptr;
    auto* block = new (memory) GlobalBlock;
    block->magic = GlobalBlock::kMagic;
    block->locks = 0;
    block->size = dwBytes;
    if (uFlags & GMEM_ZEROINIT) std::memset(block->data, 0, dwBytes);
    return block->data;
}

LPVOID GlobalLock(HGLOBAL hMem) {
    GlobalBlock* block = BlockOf(hMem);
    if (block == nullptr) return nullptr;
    ++block->locks;
    return block->data;
}

BOOL GlobalUnlock(HGLOBAL hMem) {
    GlobalBlock* block = BlockOf(hMem);
    if (block == nullptr || block->locks == 0) return FALSE;
    return --block->locks > 0;
}

SIZE_T GlobalSize(HGLOBAL hMem) {
    GlobalBlock* block = BlockOf(hMem);
    return block == nullptr ? 0 : block->size;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
    if (hMem == nullptr) return nullptr;
    GlobalBlock* block = BlockOf(hMem);
    if (block == nullptr) return hMem;
    block->magic = 0;
    std::free(block);
    return nullptr;
}

void ReleaseStgMedium(LPSTGMEDIUM pmedium) {
    if (pmedium == nullptr) return;
    if (pmedium->tymed == TYMED_HGLOBAL && pmedium->pUnkForRelease == nullptr) {
        GlobalFree(pmedium->hGlobal);
    } else if ((pmedium->tymed == TYMED_ISTREAM || pmedium->tymed == TYMED_ISTORAGE) &&
               pmedium->pstm != nullptr) {
        // Every interface pointer starts with the IUnknown methods.
        reinterpret_cast<IUnknown*>(pmedium->pstm)->Release();
    }
    if (pmedium->pUnkForRelease != nullptr) pmedium->pUnkForRelease->Release();
    pmedium->tymed = TYMED_NULL;
}

UINT RegisterClipboardFormatA(LPCSTR lpszFormat) {
    return lpszFormat == nullptr ? 0 : Formats().Register(platform::Cp1251ToUtf16(lpszFormat));
}

UINT RegisterClipboardFormatW(LPCWSTR lpszFormat) {
    return lpszFormat == nullptr ? 0 : Formats().Register(lpszFormat);
}

}  // extern "C"
