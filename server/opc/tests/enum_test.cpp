#include "../src/daenum.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../src/service.h"

namespace {

// A reference-counted stand-in for the owner and the enumerated objects; never deleted by
// Release, so a test can see its count go back.
class Counted final : public IConnectionPoint {
public:
    explicit Counted(int label) : label(label) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IConnectionPoint)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    const int label;
    std::atomic<ULONG> references{1};
};

class Tracker final : public opc::daEnumTracker {
public:
    void EnumOpened(IUnknown* enumerator) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++opened;
        EXPECT_TRUE(open_.insert(enumerator).second);
    }
    void EnumClosed(IUnknown* enumerator) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++closed;
        EXPECT_EQ(open_.erase(enumerator), 1u);
    }
    std::recursive_mutex& EnumLock() override { return enumLock_; }
    size_t StillOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.size();
    }

    int opened = 0;
    int closed = 0;

private:
    std::mutex mutex_;
    std::recursive_mutex enumLock_;
    std::set<IUnknown*> open_;
};

using Objects = std::vector<std::unique_ptr<Counted>>;

std::u16string Label(int label) {
    return std::u16string(1, static_cast<char16_t>(u'0' + label));
}

int LabelOf(const WCHAR* text) {
    return text && text[0] && !text[1] ? static_cast<int>(text[0] - u'0') : -1;
}

// Per interface: how an enumerator of labelled elements is made, and Next reduced to labels.
struct StringTraits {
    using Enum = IEnumString;
    static constexpr int kCount = 3;
    static const IID& Iid() { return IID_IEnumString; }
    static Enum* Create(IUnknown* owner, opc::daEnumTracker* tracker, const Objects& objects) {
        std::vector<std::u16string> strings;
        for (const auto& object : objects)
            strings.push_back(Label(object->label));
        return opc::daEnumStringCreate(owner, tracker, strings);
    }
    static HRESULT Next(Enum* e, ULONG count, std::vector<int>* labels, ULONG* fetched) {
        LPOLESTR out[8] = {};
        HRESULT hr = e->Next(count, out, fetched);
        for (LPOLESTR text : out) {
            if (!text) continue;
            labels->push_back(LabelOf(text));
            CoTaskMemFree(text);
        }
        return hr;
    }
};

struct UnknownTraits {
    using Enum = IEnumUnknown;
    static constexpr int kCount = 3;
    static const IID& Iid() { return IID_IEnumUnknown; }
    static Enum* Create(IUnknown* owner, opc::daEnumTracker* tracker, const Objects& objects) {
        std::vector<IUnknown*> pointers;
        for (const auto& object : objects)
            pointers.push_back(object.get());
        return opc::daEnumUnknownCreate(owner, tracker, pointers);
    }
    static HRESULT Next(Enum* e, ULONG count, std::vector<int>* labels, ULONG* fetched) {
        IUnknown* out[8] = {};
        HRESULT hr = e->Next(count, out, fetched);
        for (IUnknown* object : out) {
            if (!object) continue;
            labels->push_back(static_cast<Counted*>(object)->label);
            object->Release();
        }
        return hr;
    }
};

struct ConnPointTraits {
    using Enum = IEnumConnectionPoints;
    static constexpr int kCount = 1;
    static const IID& Iid() { return IID_IEnumConnectionPoints; }
    static Enum* Create(IUnknown* owner, opc::daEnumTracker* tracker, const Objects& objects) {
        return opc::daEnumConnPointsCreate(owner, tracker, objects[0].get());
    }
    static HRESULT Next(Enum* e, ULONG count, std::vector<int>* labels, ULONG* fetched) {
        IConnectionPoint* out[8] = {};
        HRESULT hr = e->Next(count, out, fetched);
        for (IConnectionPoint* point : out) {
            if (!point) continue;
            labels->push_back(static_cast<Counted*>(point)->label);
            point->Release();
        }
        return hr;
    }
};

void FreeAttributes(OPCITEMATTRIBUTES* items, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        CoTaskMemFree(items[i].szAccessPath);
        CoTaskMemFree(items[i].szItemID);
        CoTaskMemFree(items[i].pBlob);
        VariantClear(&items[i].vEUInfo);
    }
    CoTaskMemFree(items);
}

struct AttributeTraits {
    using Enum = IEnumOPCItemAttributes;
    static constexpr int kCount = 3;
    static const IID& Iid() { return IID_IEnumOPCItemAttributes; }
    static Enum* Create(IUnknown* owner, opc::daEnumTracker* tracker, const Objects& objects) {
        std::vector<OPCITEMATTRIBUTES> items(objects.size());
        for (size_t i = 0; i < objects.size(); ++i) {
            std::memset(static_cast<void*>(&items[i]), 0, sizeof items[i]);
            items[i].hClient = objects[i]->label;
        }
        return opc::daEnumItemAttributesCreate(owner, tracker, items);
    }
    static HRESULT Next(Enum* e, ULONG count, std::vector<int>* labels, ULONG* fetched) {
        OPCITEMATTRIBUTES* items = nullptr;
        HRESULT hr = e->Next(count, &items, fetched);
        const ULONG got = fetched && SUCCEEDED(hr) ? *fetched : 0;
        for (ULONG i = 0; i < got; ++i)
            labels->push_back(static_cast<int>(items[i].hClient));
        if (got == 0) {
            EXPECT_EQ(items, nullptr);
        }
        FreeAttributes(items, got);
        return hr;
    }
};

template <class Traits>
class EnumContract : public ::testing::Test {
protected:
    EnumContract() {
        for (int i = 0; i < Traits::kCount; ++i)
            objects_.push_back(std::make_unique<Counted>(i));
    }
    ~EnumContract() override {
        for (const auto& object : objects_)
            EXPECT_EQ(object->references, 1u) << object->label;
    }

    std::vector<int> NextLabels(typename Traits::Enum* e, ULONG count, HRESULT expected) {
        std::vector<int> labels;
        ULONG fetched = 99;
        EXPECT_EQ(Traits::Next(e, count, &labels, &fetched), expected) << "count " << count;
        EXPECT_EQ(fetched, labels.size());
        return labels;
    }

    std::vector<int> Labels(int from) {
        std::vector<int> labels;
        for (int i = from; i < Traits::kCount; ++i)
            labels.push_back(i);
        return labels;
    }

    Objects objects_;
};

using EnumKinds = ::testing::Types<StringTraits, UnknownTraits, ConnPointTraits, AttributeTraits>;
TYPED_TEST_SUITE(EnumContract, EnumKinds);

TYPED_TEST(EnumContract, NextSkipResetAndClone) {
    const ULONG n = TypeParam::kCount;
    Counted owner(-1);
    Tracker tracker;
    const long objectsBefore = opc::daObjectCount;
    auto* e = TypeParam::Create(&owner, &tracker, this->objects_);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(owner.references, 2u);
    EXPECT_EQ(tracker.opened, 1);
    EXPECT_EQ(opc::daObjectCount, objectsBefore + 1);

    EXPECT_EQ(this->NextLabels(e, 0, S_OK), std::vector<int>{});
    EXPECT_EQ(this->NextLabels(e, 1, S_OK), std::vector<int>{0});
    EXPECT_EQ(this->NextLabels(e, n + 1, S_FALSE), this->Labels(1));  // fewer than asked
    EXPECT_EQ(this->NextLabels(e, 1, S_FALSE), std::vector<int>{});
    std::vector<int> ignored;
    EXPECT_EQ(TypeParam::Next(e, 2, &ignored, nullptr), E_INVALIDARG);

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(n), S_OK);
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(n + 5), S_FALSE);  // past the end: stays at the end
    EXPECT_EQ(this->NextLabels(e, 1, S_FALSE), std::vector<int>{});

    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    typename TypeParam::Enum* clone = nullptr;
    ASSERT_EQ(e->Clone(&clone), S_OK);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, e);
    EXPECT_EQ(owner.references, 3u);
    EXPECT_EQ(tracker.opened, 2);
    EXPECT_EQ(this->NextLabels(clone, n, S_FALSE), this->Labels(1));
    EXPECT_EQ(this->NextLabels(e, n, S_FALSE), this->Labels(1));  // positions are separate
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(this->NextLabels(clone, n, S_OK), this->Labels(0));
    EXPECT_EQ(e->Clone(nullptr), E_POINTER);

    EXPECT_EQ(e->Release(), 0u);
    EXPECT_EQ(tracker.closed, 1);
    EXPECT_EQ(owner.references, 2u);
    EXPECT_EQ(clone->Release(), 0u);
    EXPECT_EQ(tracker.closed, 2);
    EXPECT_EQ(tracker.StillOpen(), 0u);
    EXPECT_EQ(owner.references, 1u);
    EXPECT_EQ(opc::daObjectCount, objectsBefore);
}

TYPED_TEST(EnumContract, QueryInterfaceAnswersItsOwnInterfaceOnly) {
    auto* e = TypeParam::Create(nullptr, nullptr, this->objects_);
    ASSERT_NE(e, nullptr);
    void* answer = nullptr;
    ASSERT_EQ(e->QueryInterface(IID_IUnknown, &answer), S_OK);
    EXPECT_EQ(answer, static_cast<IUnknown*>(e));
    static_cast<IUnknown*>(answer)->Release();
    ASSERT_EQ(e->QueryInterface(TypeParam::Iid(), &answer), S_OK);
    EXPECT_EQ(answer, e);
    static_cast<IUnknown*>(answer)->Release();
    for (const IID* other : {&IID_IDataObject, &IID_IEnumFORMATETC, &IID_IConnectionPoint}) {
        answer = e;
        EXPECT_EQ(e->QueryInterface(*other, &answer), E_NOINTERFACE);
        EXPECT_EQ(answer, nullptr);
    }
    EXPECT_EQ(e->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(e->Release(), 0u);
}

TEST(EnumItemAttributes, HandsOutDeepCopiesThatTheCallerFrees) {
    std::u16string path = u"path", id = u"a/b";
    BYTE blob[3] = {1, 2, 3};
    OPCITEMATTRIBUTES full;
    std::memset(static_cast<void*>(&full), 0, sizeof full);
    full.szAccessPath = reinterpret_cast<LPWSTR>(path.data());
    full.szItemID = reinterpret_cast<LPWSTR>(id.data());
    full.bActive = TRUE;
    full.hClient = 11;
    full.hServer = 12;
    full.dwAccessRights = 3;
    full.dwBlobSize = sizeof blob;
    full.pBlob = blob;
    full.vtRequestedDataType = VT_R4;
    full.vtCanonicalDataType = VT_I4;
    full.dwEUType = OPC_ANALOG;
    full.vEUInfo.vt = VT_ARRAY | VT_R8;
    full.vEUInfo.parray = SafeArrayCreateVector(VT_R8, 0, 2);
    for (LONG i = 0; i < 2; ++i) {
        double limit = 100.0 * i;
        SafeArrayPutElement(full.vEUInfo.parray, &i, &limit);
    }
    OPCITEMATTRIBUTES bare;
    std::memset(static_cast<void*>(&bare), 0, sizeof bare);
    bare.szItemID = reinterpret_cast<LPWSTR>(id.data());
    bare.dwBlobSize = 5;  // without a blob there is nothing to size

    IEnumOPCItemAttributes* e = opc::daEnumItemAttributesCreate(nullptr, nullptr, {full, bare});
    ASSERT_NE(e, nullptr);
    // The snapshot does not depend on the caller's memory.
    VariantClear(&full.vEUInfo);
    path.assign(u"XXXX");
    id.assign(u"YYY");
    blob[0] = 9;

    OPCITEMATTRIBUTES* items = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(2, &items, &fetched), S_OK);
    ASSERT_EQ(fetched, 2u);
    const OPCITEMATTRIBUTES& a = items[0];
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(a.szAccessPath)), u"path");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(a.szItemID)), u"a/b");
    EXPECT_EQ(a.bActive, TRUE);
    EXPECT_EQ(a.hClient, 11u);
    EXPECT_EQ(a.hServer, 12u);
    EXPECT_EQ(a.dwAccessRights, 3u);
    ASSERT_EQ(a.dwBlobSize, 3u);
    EXPECT_EQ(std::vector<BYTE>(a.pBlob, a.pBlob + 3), (std::vector<BYTE>{1, 2, 3}));
    EXPECT_EQ(a.vtRequestedDataType, VT_R4);
    EXPECT_EQ(a.vtCanonicalDataType, VT_I4);
    EXPECT_EQ(a.dwEUType, OPC_ANALOG);
    ASSERT_EQ(a.vEUInfo.vt, VT_ARRAY | VT_R8);
    LONG high = 1;
    double limit = 0;
    ASSERT_EQ(SafeArrayGetElement(a.vEUInfo.parray, &high, &limit), S_OK);
    EXPECT_EQ(limit, 100.0);
    const OPCITEMATTRIBUTES& b = items[1];
    EXPECT_EQ(b.szAccessPath, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(b.szItemID)), u"a/b");
    EXPECT_EQ(b.pBlob, nullptr);
    EXPECT_EQ(b.dwBlobSize, 0u);
    EXPECT_EQ(b.vEUInfo.vt, VT_EMPTY);
    FreeAttributes(items, fetched);

    // Each Next hands out copies of its own.
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Next(1, &items, &fetched), S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(items[0].szItemID)), u"a/b");
    FreeAttributes(items, fetched);
    EXPECT_EQ(e->Release(), 0u);
}

TEST(EnumConnPoints, WithoutAPointIsEmpty) {
    IEnumConnectionPoints* e = opc::daEnumConnPointsCreate(nullptr, nullptr, nullptr);
    ASSERT_NE(e, nullptr);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(e->Next(1, &point, nullptr), S_FALSE);
    EXPECT_EQ(point, nullptr);
    EXPECT_EQ(e->Release(), 0u);
}

TEST(EnumString, ThreadsSharingOneEnumeratorGetEachStringOnce) {
    constexpr int kStrings = 400;
    std::vector<std::u16string> strings;
    for (int i = 0; i < kStrings; ++i)
        strings.push_back(std::u16string(1, char16_t(0x100 + i)));
    IEnumString* e = opc::daEnumStringCreate(nullptr, nullptr, strings);
    ASSERT_NE(e, nullptr);
    std::vector<int> seen[2];
    auto drain = [e](std::vector<int>* got) {
        LPOLESTR text = nullptr;
        while (e->Next(1, &text, nullptr) == S_OK) {
            got->push_back(text[0] - 0x100);
            CoTaskMemFree(text);
        }
    };
    std::thread other(drain, &seen[1]);
    drain(&seen[0]);
    other.join();
    std::multiset<int> all(seen[0].begin(), seen[0].end());
    all.insert(seen[1].begin(), seen[1].end());
    ASSERT_EQ(all.size(), size_t{kStrings});
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), size_t{kStrings});
    EXPECT_EQ(e->Release(), 0u);
}

}  // namespace
