// The proxy/stub DLL under Wine: it registers the OPC interfaces that no other proxy serves
// (into a private classes root, so parallel tests never see it), and its stubs and proxies carry
// real calls between apartments with the structures, strings, arrays and VARIANTs of the
// published interfaces.

#include "platform/com.h"
#include "platform/com_ptr.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "opccomn.h"
#include "opcda.h"
#include "opcconst.h"
#include "testing/support.h"

namespace {

// The first argument receives the proxy file list, which the test does not read.
using GetProxyDllInfoFunction = void(WINAPI*)(const void***, const CLSID**);
using RegisterFunction = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

struct InterfaceName {
    const IID* iid;
    const wchar_t* name;
};

const InterfaceName kInterfaces[] = {
    {&IID_IOPCShutdown, L"IOPCShutdown"},
    {&IID_IOPCCommon, L"IOPCCommon"},
    {&IID_IOPCServer, L"IOPCServer"},
    {&IID_IOPCBrowseServerAddressSpace, L"IOPCBrowseServerAddressSpace"},
    {&IID_IOPCItemProperties, L"IOPCItemProperties"},
    {&IID_IOPCGroupStateMgt, L"IOPCGroupStateMgt"},
    {&IID_IOPCPublicGroupStateMgt, L"IOPCPublicGroupStateMgt"},
    {&IID_IOPCItemMgt, L"IOPCItemMgt"},
    {&IID_IEnumOPCItemAttributes, L"IEnumOPCItemAttributes"},
    {&IID_IOPCSyncIO, L"IOPCSyncIO"},
    {&IID_IOPCAsyncIO, L"IOPCAsyncIO"},
    {&IID_IOPCAsyncIO2, L"IOPCAsyncIO2"},
    {&IID_IOPCDataCallback, L"IOPCDataCallback"},
};

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    return StringFromGUID2(guid, text, 40) == 39 ? std::wstring(text) : std::wstring();
}

// The default value of a key under the classes root, or "" when the key is missing.
std::wstring DefaultValue(const std::wstring& path) {
    wchar_t value[512] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return value;
}

class ProxyDll : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(L"KarvexOPCProxy.dll");
        ASSERT_NE(module_, nullptr) << GetLastError();
        auto info = reinterpret_cast<GetProxyDllInfoFunction>(
            reinterpret_cast<void*>(GetProcAddress(module_, "GetProxyDllInfo")));
        ASSERT_NE(info, nullptr);
        const void** files = nullptr;
        const CLSID* clsid = nullptr;
        info(&files, &clsid);
        ASSERT_NE(clsid, nullptr);
        clsid_ = *clsid;
    }

    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    template <typename Function>
    Function Export(const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    HMODULE module_ = nullptr;
    CLSID clsid_{};
};

// Points HKEY_CLASSES_ROOT of this process at a fresh per-user key while it lives.
class PrivateClassesRoot {
public:
    PrivateClassesRoot() {
        const std::string name = testing_support::UniqueName("KarvexProxyTest");
        path_ = L"Software\\" + std::wstring(name.begin(), name.end());
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key_, nullptr) == ERROR_SUCCESS) {
            overridden_ = RegOverridePredefKey(HKEY_CLASSES_ROOT, key_) == ERROR_SUCCESS;
        }
    }
    ~PrivateClassesRoot() {
        if (overridden_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        if (key_ != nullptr) RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    bool active() const { return overridden_; }
    bool Contains(const std::wstring& subkey) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(key_, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    bool SetDefault(const std::wstring& subkey, const std::wstring& value) const {
        return RegSetKeyValueW(key_, subkey.c_str(), nullptr, REG_SZ, value.c_str(),
                               DWORD((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

private:
    std::wstring path_;
    HKEY key_ = nullptr;
    bool overridden_ = false;
};

TEST_F(ProxyDll, RegistersAndUnregistersEveryInterface) {
    PrivateClassesRoot root;
    ASSERT_TRUE(root.active());
    auto registerServer = Export<RegisterFunction>("DllRegisterServer");
    auto unregisterServer = Export<RegisterFunction>("DllUnregisterServer");
    ASSERT_NE(registerServer, nullptr);
    ASSERT_NE(unregisterServer, nullptr);
    const std::wstring clsid = GuidText(clsid_);

    ASSERT_EQ(registerServer(), S_OK);
    for (const auto& entry : kInterfaces) {
        const std::wstring key = L"Interface\\" + GuidText(*entry.iid);
        EXPECT_TRUE(root.Contains(key)) << entry.name;
        EXPECT_EQ(DefaultValue(key), entry.name);
        EXPECT_EQ(DefaultValue(key + L"\\ProxyStubClsid32"), clsid) << entry.name;
    }
    const std::wstring server = DefaultValue(L"CLSID\\" + clsid + L"\\InprocServer32");
    ASSERT_GE(server.size(), 18u);
    EXPECT_EQ(_wcsicmp(server.c_str() + server.size() - 18, L"KarvexOPCProxy.dll"), 0) << server;

    ASSERT_EQ(unregisterServer(), S_OK);
    for (const auto& entry : kInterfaces) {
        EXPECT_FALSE(root.Contains(L"Interface\\" + GuidText(*entry.iid))) << entry.name;
    }
    EXPECT_FALSE(root.Contains(L"CLSID\\" + clsid));
}

// Another vendor's proxy keeps its interface through registering and unregistering; an
// interface key that holds more than this DLL wrote keeps the rest.
TEST_F(ProxyDll, LeavesWhatIsNotItsOwn) {
    PrivateClassesRoot root;
    ASSERT_TRUE(root.active());
    const std::wstring other = L"{5C8E2D1A-7B3F-4E60-9A41-0D2B6C7E8F90}";
    const std::wstring server = L"Interface\\" + GuidText(IID_IOPCServer);
    const std::wstring common = L"Interface\\" + GuidText(IID_IOPCCommon);
    ASSERT_TRUE(root.SetDefault(server, L"IOPCServer"));
    ASSERT_TRUE(root.SetDefault(server + L"\\ProxyStubClsid32", other));
    ASSERT_TRUE(root.SetDefault(common + L"\\TypeLib", L"{B28EEDB1-AC6F-11D1-84D5-00608CB8A7E9}"));
    const std::wstring own = GuidText(clsid_);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(Export<RegisterFunction>("DllRegisterServer")(), S_OK);
        EXPECT_EQ(DefaultValue(server + L"\\ProxyStubClsid32"), other);
        EXPECT_FALSE(root.Contains(server + L"\\NumMethods"));
        EXPECT_EQ(DefaultValue(common + L"\\ProxyStubClsid32"), own);
        EXPECT_EQ(DefaultValue(common + L"\\NumMethods"), L"8");

        ASSERT_EQ(Export<RegisterFunction>("DllUnregisterServer")(), S_OK);
        EXPECT_EQ(DefaultValue(server), L"IOPCServer");
        EXPECT_EQ(DefaultValue(server + L"\\ProxyStubClsid32"), other);
        EXPECT_FALSE(root.Contains(common + L"\\ProxyStubClsid32"));
        EXPECT_FALSE(root.Contains(common + L"\\NumMethods"));
        EXPECT_TRUE(root.Contains(common + L"\\TypeLib"));
        EXPECT_FALSE(root.Contains(L"Interface\\" + GuidText(IID_IOPCItemMgt)));
        EXPECT_FALSE(root.Contains(L"CLSID\\" + own));
    }
}

LPWSTR TaskString(const wchar_t* text) {
    const size_t size = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(size));
    memcpy(copy, text, size);
    return copy;
}

// One object behind four interfaces, recording what the calls brought in.
class ItemServer : public IOPCCommon,
                   public IOPCItemMgt,
                   public IOPCSyncIO,
                   public IOPCItemProperties {
public:
    std::wstring clientName;
    std::vector<std::wstring> itemIds;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCCommon)) {
            *ppv = static_cast<IOPCCommon*>(this);
        } else if (IsEqualIID(riid, IID_IOPCItemMgt)) {
            *ppv = static_cast<IOPCItemMgt*>(this);
        } else if (IsEqualIID(riid, IID_IOPCSyncIO)) {
            *ppv = static_cast<IOPCSyncIO*>(this);
        } else if (IsEqualIID(riid, IID_IOPCItemProperties)) {
            *ppv = static_cast<IOPCItemProperties*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&references_); }

    STDMETHODIMP SetLocaleID(LCID) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocaleID(LCID* locale) override {
        *locale = 0x409;
        return S_OK;
    }
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** locales) override {
        *count = 2;
        *locales = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
        (*locales)[0] = 0;
        (*locales)[1] = 9;
        return S_OK;
    }
    STDMETHODIMP GetErrorString(HRESULT code, LPWSTR* text) override {
        if (code != OPC_E_INVALIDHANDLE) return E_INVALIDARG;
        *text = TaskString(L"The value of the handle is invalid. \x0442\x0435\x0441\x0442");
        return S_OK;
    }
    STDMETHODIMP SetClientName(LPCWSTR name) override {
        clientName = name;
        return S_OK;
    }

    STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results,
                          HRESULT** errors) override {
        *results = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(count * sizeof(OPCITEMRESULT)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        for (DWORD i = 0; i < count; ++i) {
            itemIds.push_back(items[i].szItemID);
            (*results)[i] = OPCITEMRESULT{};
            (*results)[i].hServer = items[i].hClient + 100;
            (*results)[i].vtCanonicalDataType = items[i].vtRequestedDataType;
            (*results)[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
            (*errors)[i] = i == 0 ? S_OK : OPC_E_UNKNOWNITEMID;
        }
        return count > 1 ? S_FALSE : S_OK;
    }
    STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

    STDMETHODIMP Read(OPCDATASOURCE, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** values,
                      HRESULT** errors) override {
        *values = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        for (DWORD i = 0; i < count; ++i) {
            OPCITEMSTATE& state = (*values)[i];
            state = OPCITEMSTATE{};
            state.hClient = handles[i] * 2;
            state.ftTimeStamp = {0x89ABCDEF, 0x01234567};
            state.wQuality = OPC_QUALITY_GOOD | OPC_LIMIT_HIGH;
            VariantInit(&state.vDataValue);
            V_VT(&state.vDataValue) = VT_BSTR;
            V_BSTR(&state.vDataValue) = SysAllocString(L"\x041A\x043E\x0442\x0451\x043B 1");
            (*errors)[i] = S_OK;
        }
        return S_OK;
    }
    STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return E_NOTIMPL; }

    STDMETHODIMP QueryAvailableProperties(LPWSTR, DWORD*, DWORD**, LPWSTR**, VARTYPE**) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**, HRESULT**) override {
        return E_NOTIMPL;
    }
    // Odd property IDs have an item ID of their own, even ones none.
    STDMETHODIMP LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* propertyIds, LPWSTR** newIds,
                               HRESULT** errors) override {
        *newIds = static_cast<LPWSTR*>(CoTaskMemAlloc(count * sizeof(LPWSTR)));
        *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
        for (DWORD i = 0; i < count; ++i) {
            const bool has = propertyIds[i] % 2 == 1;
            (*newIds)[i] =
                has ? TaskString(
                          (std::wstring(itemId) + L"." + std::to_wstring(propertyIds[i])).c_str())
                    : nullptr;
            (*errors)[i] = has ? S_OK : OPC_E_INVALID_PID;
        }
        return S_FALSE;
    }

private:
    LONG references_ = 1;
};

// Makes the DLL's proxies and stubs known to COM in the calling apartment only.
class InProcessRegistration {
public:
    InProcessRegistration(GetClassObjectFunction getClassObject, REFCLSID clsid) {
        IUnknown* factory = nullptr;
        if (FAILED(getClassObject(clsid, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&factory))))
            return;
        ok_ = SUCCEEDED(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER,
                                              REGCLS_MULTIPLEUSE, &cookie_));
        factory->Release();
        for (const auto& entry : kInterfaces)
            ok_ = ok_ && SUCCEEDED(CoRegisterPSClsid(*entry.iid, clsid));
    }
    ~InProcessRegistration() {
        if (cookie_ != 0) CoRevokeClassObject(cookie_);
    }
    bool ok() const { return ok_; }

private:
    DWORD cookie_ = 0;
    bool ok_ = false;
};

// Calls every kind of method through the proxies of the caller's apartment.
void CallThroughProxies(IStream* stream, const IOPCCommon* original) {
    platform::ComPtr<IOPCCommon> common;
    ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream, IID_IOPCCommon, common.outVoid()), S_OK);
    EXPECT_NE(common.get(), original);

    EXPECT_EQ(common->SetClientName(L"client \x0442\x0435\x0441\x0442"), S_OK);
    LCID locale = 0;
    EXPECT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x409u);
    DWORD count = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &locales), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(locales[1], 9u);
    CoTaskMemFree(locales);
    LPWSTR text = nullptr;
    ASSERT_EQ(common->GetErrorString(OPC_E_INVALIDHANDLE, &text), S_OK);
    EXPECT_STREQ(text, L"The value of the handle is invalid. \x0442\x0435\x0441\x0442");
    CoTaskMemFree(text);
    text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(common->GetErrorString(E_FAIL, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);

    platform::ComPtr<IOPCItemProperties> properties;
    ASSERT_EQ(common->QueryInterface(IID_IOPCItemProperties, properties.outVoid()), S_OK);
    DWORD ids[3] = {5001, 2, 7};
    LPWSTR* newIds = nullptr;
    HRESULT* idErrors = nullptr;
    wchar_t item[] = L"Boiler/Temp";
    ASSERT_EQ(properties->LookupItemIDs(item, 3, ids, &newIds, &idErrors), S_FALSE);
    ASSERT_NE(newIds, nullptr);
    ASSERT_NE(newIds[0], nullptr);
    EXPECT_STREQ(newIds[0], L"Boiler/Temp.5001");
    EXPECT_EQ(newIds[1], nullptr);
    ASSERT_NE(newIds[2], nullptr);
    EXPECT_STREQ(newIds[2], L"Boiler/Temp.7");
    EXPECT_EQ(idErrors[0], S_OK);
    EXPECT_EQ(idErrors[1], OPC_E_INVALID_PID);
    for (int i = 0; i < 3; ++i)
        CoTaskMemFree(newIds[i]);
    CoTaskMemFree(newIds);
    CoTaskMemFree(idErrors);

    platform::ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(common->QueryInterface(IID_IOPCItemMgt, items.outVoid()), S_OK);
    BYTE blob[3] = {1, 2, 3};
    OPCITEMDEF definitions[2] = {};
    definitions[0].szItemID = const_cast<LPWSTR>(L"Boiler/Temperature");
    definitions[0].szAccessPath = const_cast<LPWSTR>(L"");
    definitions[0].hClient = 7;
    definitions[0].vtRequestedDataType = VT_R4;
    definitions[0].dwBlobSize = sizeof blob;
    definitions[0].pBlob = blob;
    definitions[1].szItemID = const_cast<LPWSTR>(L"Missing");
    definitions[1].hClient = 8;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->AddItems(2, definitions, &results, &errors), S_FALSE);
    EXPECT_EQ(results[0].hServer, 107u);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(results[0].dwAccessRights, DWORD(OPC_READABLE | OPC_WRITEABLE));
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    platform::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(common->QueryInterface(IID_IOPCSyncIO, io.outVoid()), S_OK);
    OPCHANDLE handles[1] = {21};
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, handles, &states, &errors), S_OK);
    EXPECT_EQ(states[0].hClient, 42u);
    EXPECT_EQ(states[0].ftTimeStamp.dwHighDateTime, 0x01234567u);
    EXPECT_EQ(states[0].wQuality, OPC_QUALITY_GOOD | OPC_LIMIT_HIGH);
    ASSERT_EQ(V_VT(&states[0].vDataValue), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&states[0].vDataValue), L"\x041A\x043E\x0442\x0451\x043B 1");
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
}

TEST_F(ProxyDll, CarriesCallsBetweenApartments) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto getClassObject = Export<GetClassObjectFunction>("DllGetClassObject");
    ASSERT_NE(getClassObject, nullptr);
    {
        InProcessRegistration registration(getClassObject, clsid_);
        ASSERT_TRUE(registration.ok());
        ItemServer server;
        IStream* stream = nullptr;
        ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IOPCCommon,
                                                        static_cast<IOPCCommon*>(&server), &stream),
                  S_OK);

        // The caller lives in a single-threaded apartment, so every call goes through a proxy.
        std::thread caller([&] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            {
                InProcessRegistration callerRegistration(getClassObject, clsid_);
                EXPECT_TRUE(callerRegistration.ok());
                CallThroughProxies(stream, &server);
            }
            CoUninitialize();
        });
        caller.join();
        EXPECT_EQ(server.clientName, L"client \x0442\x0435\x0441\x0442");
        ASSERT_EQ(server.itemIds.size(), 2u);
        EXPECT_EQ(server.itemIds[0], L"Boiler/Temperature");
    }
    CoUninitialize();
}

}  // namespace
