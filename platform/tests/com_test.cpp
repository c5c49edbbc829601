// The COM pieces the OPC service layer uses, run natively against the POSIX stand-in and in the
// Windows build under Wine against ole32, oleaut32 and user32, so both behave alike.

#include "platform/com.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using Text = std::basic_string<OLECHAR>;

// {6C1F5E2A-3B7D-4C1E-9A55-0E2B8D4F7A10}: a class that exists only in this test.
const CLSID kTestClass = {
    0x6C1F5E2A, 0x3B7D, 0x4C1E, {0x9A, 0x55, 0x0E, 0x2B, 0x8D, 0x4F, 0x7A, 0x10}};

class CountedObject : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!IsEqualIID(riid, IID_IUnknown)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    ULONG references = 1;
};

class Factory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        ++created;
        return product.QueryInterface(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

    ULONG references = 1;
    int created = 0;
    CountedObject product;
};

class Apartment {
public:
    Apartment() : result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~Apartment() {
        if (SUCCEEDED(result)) CoUninitialize();
    }
    const HRESULT result;
};

TEST(ComApartment, CountsInitialisationsPerThread) {
    Apartment first;
    ASSERT_EQ(first.result, S_OK);
    Apartment second;
    EXPECT_EQ(second.result, S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
}

TEST(ComClassObjects, RegisteredFactoryServesCreateInstanceUntilRevoked) {
    Apartment apartment;
    Factory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kTestClass, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie),
              S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_GT(factory.references, 1u);

    IUnknown* object = nullptr;
    ASSERT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_EQ(object, &factory.product);
    EXPECT_EQ(factory.created, 1);
    object->Release();
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(CoCreateInstance(kTestClass, &factory.product, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&aggregated)),
              CLASS_E_NOAGGREGATION);

    IClassFactory* classObject = nullptr;
    ASSERT_EQ(CoGetClassObject(kTestClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&classObject)),
              S_OK);
    EXPECT_EQ(classObject, &factory);
    classObject->Release();

    ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.references, 1u);
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory.product.references, 1u);
}

TEST(ComGuids, TextFormRoundTrips) {
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(kTestClass, text, 38), 0);
    ASSERT_EQ(StringFromGUID2(kTestClass, text, 39), 39);
    EXPECT_EQ(Text(text), Text(OLESTR("{6C1F5E2A-3B7D-4C1E-9A55-0E2B8D4F7A10}")));
    ASSERT_EQ(StringFromGUID2(IID_IDataObject, text, 39), 39);
    EXPECT_EQ(Text(text), Text(OLESTR("{0000010E-0000-0000-C000-000000000046}")));

    CLSID parsed{};
    ASSERT_EQ(CLSIDFromString(OLESTR("{6c1f5e2a-3b7d-4c1e-9a55-0e2b8d4f7a10}"), &parsed), NOERROR);
    EXPECT_TRUE(IsEqualCLSID(parsed, kTestClass));
    EXPECT_EQ(CLSIDFromString(OLESTR("{6C1F5E2A-3B7D-4C1E-9A55-0E2B8D4F7A1}"), &parsed),
              CO_E_CLASSSTRING);
}

TEST(ComStrings, KeepLengthEmbeddedNulsAndOddByteCounts) {
    BSTR text = SysAllocString(OLESTR("Boiler"));
    EXPECT_EQ(SysStringLen(text), 6u);
    EXPECT_EQ(SysStringByteLen(text), 12u);
    EXPECT_EQ(text[6], 0);

    const OLECHAR withNul[] = {'a', 0, 'b'};
    BSTR counted = SysAllocStringLen(withNul, 3);
    EXPECT_EQ(SysStringLen(counted), 3u);
    EXPECT_EQ(Text(counted, 3), Text(withNul, 3));

    BSTR bytes = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 3), "abc");

    ASSERT_TRUE(SysReAllocString(&text, OLESTR("Pump")));
    EXPECT_EQ(Text(text), Text(OLESTR("Pump")));
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(text);
    SysFreeString(counted);
    SysFreeString(bytes);
    SysFreeString(nullptr);
}

TEST(ComSafeArrays, BoundsElementsLocksAndDeepCopies) {
    SAFEARRAY* vector = SafeArrayCreateVector(VT_R8, 1, 2);
    ASSERT_NE(vector, nullptr);
    EXPECT_EQ(SafeArrayGetDim(vector), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(vector), 8u);
    LONG bound = 0;
    EXPECT_EQ(SafeArrayGetLBound(vector, 1, &bound), S_OK);
    EXPECT_EQ(bound, 1);
    EXPECT_EQ(SafeArrayGetUBound(vector, 1, &bound), S_OK);
    EXPECT_EQ(bound, 2);
    EXPECT_EQ(SafeArrayGetUBound(vector, 2, &bound), DISP_E_BADINDEX);
    LONG index = 3;
    double value = 4.5;
    EXPECT_EQ(SafeArrayPutElement(vector, &index, &value), DISP_E_BADINDEX);
    index = 2;
    EXPECT_EQ(SafeArrayPutElement(vector, &index, &value), S_OK);

    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(vector, &data), S_OK);
    EXPECT_EQ(static_cast<double*>(data)[1], 4.5);
    EXPECT_EQ(SafeArrayDestroy(vector), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(vector), S_OK);
    EXPECT_EQ(SafeArrayDestroy(vector), S_OK);

    // The first index varies fastest in memory.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};
    SAFEARRAY* grid = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(SafeArrayGetLBound(grid, 2, &bound), S_OK);
    EXPECT_EQ(bound, 10);
    LONG cell[2] = {1, 12};
    LONG number = 77;
    ASSERT_EQ(SafeArrayPutElement(grid, cell, &number), S_OK);
    EXPECT_EQ(static_cast<LONG*>(grid->pvData)[1 + 2 * 2], 77);
    EXPECT_EQ(SafeArrayDestroy(grid), S_OK);

    SAFEARRAY* names = SafeArrayCreateVector(VT_BSTR, 0, 1);
    BSTR name = SysAllocString(OLESTR("Valve"));
    index = 0;
    ASSERT_EQ(SafeArrayPutElement(names, &index, name), S_OK);
    SysFreeString(name);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(names, &copy), S_OK);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);
    BSTR original = static_cast<BSTR*>(names->pvData)[0];
    BSTR copied = static_cast<BSTR*>(copy->pvData)[0];
    EXPECT_NE(copied, original);
    EXPECT_EQ(Text(copied), Text(OLESTR("Valve")));
    BSTR fetched = nullptr;
    ASSERT_EQ(SafeArrayGetElement(copy, &index, &fetched), S_OK);
    EXPECT_NE(fetched, copied);
    EXPECT_EQ(Text(fetched), Text(OLESTR("Valve")));
    SysFreeString(fetched);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(names), S_OK);
}

TEST(ComGlobalMemory, BlocksLockUnlockAndReleaseThroughTheirMedium) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 10);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(GlobalSize(block), 10u);
    auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[9], 0);
    bytes[0] = 0x5A;
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(static_cast<unsigned char*>(GlobalLock(block))[0], 0x5A);
    GlobalUnlock(block);

    // With pUnkForRelease the owner is released and the block is left alone.
    CountedObject owner;
    owner.AddRef();
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = block;
    medium.pUnkForRelease = &owner;
    ReleaseStgMedium(&medium);
    EXPECT_EQ(owner.references, 1u);
    EXPECT_GE(GlobalSize(block), 10u);

    STGMEDIUM owned{};
    owned.tymed = TYMED_HGLOBAL;
    owned.hGlobal = block;
    ReleaseStgMedium(&owned);
}

TEST(ComClipboardFormats, OneNumberPerNameWithoutCase) {
    const UINT data = RegisterClipboardFormatA("OPCSTMFORMATDATA");
    EXPECT_GE(data, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormatA("opcstmformatdata"), data);
    EXPECT_EQ(RegisterClipboardFormatW(OLESTR("OPCSTMFORMATDATA")), data);
    const UINT time = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    EXPECT_GE(time, 0xC000u);
    EXPECT_NE(time, data);
}

}  // namespace
