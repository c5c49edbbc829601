// The enumerators handed to clients: one template over a shared, immutable snapshot, with a
// per-interface policy that copies an element out to the caller.

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "daenum.h"
#include "datext.h"
#include "service.h"

namespace opc {
namespace {

// Interface pointers of a snapshot: each held with one reference.
struct InterfaceList {
    std::vector<IUnknown*> items;
    InterfaceList() = default;
    InterfaceList(const InterfaceList&) = delete;
    InterfaceList& operator=(const InterfaceList&) = delete;
    ~InterfaceList() {
        for (IUnknown* item : items) {
            item->Release();
        }
    }
};

LPWSTR CopyOptionalString(const WCHAR* text) {
    return text ? daCoTaskCopy(text, std::char_traits<WCHAR>::length(text)) : nullptr;
}

void FreeAttributes(OPCITEMATTRIBUTES* item) {
    CoTaskMemFree(item->szAccessPath);
    CoTaskMemFree(item->szItemID);
    CoTaskMemFree(item->pBlob);
    VariantClear(&item->vEUInfo);
    item->szAccessPath = nullptr;
    item->szItemID = nullptr;
    item->pBlob = nullptr;
}

// The published ownership: strings and blob from task memory, EU info VariantCopy'd.
HRESULT CopyAttributes(const OPCITEMATTRIBUTES& source, OPCITEMATTRIBUTES* copy) {
    *copy = source;
    VariantInit(&copy->vEUInfo);
    copy->szAccessPath = CopyOptionalString(source.szAccessPath);
    copy->szItemID = CopyOptionalString(source.szItemID);
    copy->dwBlobSize = source.pBlob ? source.dwBlobSize : 0;
    copy->pBlob = nullptr;
    if (copy->dwBlobSize) {
        copy->pBlob = static_cast<BYTE*>(CoTaskMemAlloc(copy->dwBlobSize));
        if (copy->pBlob) std::memcpy(copy->pBlob, source.pBlob, copy->dwBlobSize);
    }
    const bool copied = (copy->szAccessPath || !source.szAccessPath) &&
                        (copy->szItemID || !source.szItemID) && (copy->pBlob || !copy->dwBlobSize);
    HRESULT hr = copied ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) hr = VariantCopy(&copy->vEUInfo, const_cast<VARIANT*>(&source.vEUInfo));
    if (FAILED(hr)) FreeAttributes(copy);
    return hr;
}

struct AttributeList {
    std::vector<OPCITEMATTRIBUTES> items;
    AttributeList() = default;
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;
    ~AttributeList() {
        for (OPCITEMATTRIBUTES& item : items) {
            FreeAttributes(&item);
        }
    }
};

// Policies: the snapshot, its length, how element i goes out to the caller, and Next's shape.
struct StringPolicy {
    using Interface = IEnumString;
    using Snapshot = std::vector<std::u16string>;
    using Out = LPOLESTR;
    using NextTarget = LPOLESTR*;
    static const IID& Iid() { return IID_IEnumString; }
    static size_t Size(const Snapshot& s) { return s.size(); }
    static HRESULT CopyOut(const Snapshot& s, size_t i, Out* out) {
        *out = daCoTaskCopy(s[i]);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    static void Free(Out* out) {
        CoTaskMemFree(*out);
        *out = nullptr;
    }
};

template <class EnumInterface, class Element, const IID& iid>
struct InterfacePolicy {
    using Interface = EnumInterface;
    using Snapshot = InterfaceList;
    using Out = Element*;
    using NextTarget = Element**;
    static const IID& Iid() { return iid; }
    static size_t Size(const Snapshot& s) { return s.items.size(); }
    static HRESULT CopyOut(const Snapshot& s, size_t i, Out* out) {
        *out = static_cast<Element*>(s.items[i]);
        (*out)->AddRef();
        return S_OK;
    }
    static void Free(Out* out) {
        (*out)->Release();
        *out = nullptr;
    }
};

using UnknownPolicy = InterfacePolicy<IEnumUnknown, IUnknown, IID_IEnumUnknown>;
using ConnPointPolicy =
    InterfacePolicy<IEnumConnectionPoints, IConnectionPoint, IID_IEnumConnectionPoints>;

// Next hands out one task-memory array of the elements fetched.
struct AttributePolicy {
    using Interface = IEnumOPCItemAttributes;
    using Snapshot = AttributeList;
    using Out = OPCITEMATTRIBUTES;
    using NextTarget = OPCITEMATTRIBUTES**;
    static const IID& Iid() { return IID_IEnumOPCItemAttributes; }
    static size_t Size(const Snapshot& s) { return s.items.size(); }
    static HRESULT CopyOut(const Snapshot& s, size_t i, Out* out) {
        return CopyAttributes(s.items[i], out);
    }
    static void Free(Out* out) { FreeAttributes(out); }
};

template <class Policy>
class daEnumerator final : public Policy::Interface {
public:
    using Interface = typename Policy::Interface;
    using Snapshot = typename Policy::Snapshot;
    using Out = typename Policy::Out;

    // The new enumerator with one reference, the tracker told; nullptr when memory runs out.
    static Interface* Create(IUnknown* owner, daEnumTracker* tracker,
                             std::shared_ptr<const Snapshot> snapshot, size_t position) {
        if (!snapshot) return nullptr;
        auto* made = new (std::nothrow) daEnumerator(owner, tracker, std::move(snapshot), position);
        if (!made) return nullptr;
        if (tracker) tracker->EnumOpened(made->Unknown());
        return made;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, Policy::Iid())) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = 0;
        if (tracker_) {
            std::lock_guard<std::recursive_mutex> lock(tracker_->EnumLock());
            left = --references_;
            if (left == 0) tracker_->EnumClosed(Unknown());
        } else {
            left = --references_;
        }
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, typename Policy::NextTarget out,
                                   ULONG* fetched) override;

    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t left = Policy::Size(*snapshot_) - position_;
        position_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        position_ = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(Interface** copy) override {
        if (!copy) return E_POINTER;
        size_t position = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            position = position_;
        }
        *copy = Create(owner_, tracker_, snapshot_, position);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    daEnumerator(IUnknown* owner, daEnumTracker* tracker, std::shared_ptr<const Snapshot> snapshot,
                 size_t position)
        : owner_(owner), tracker_(tracker), snapshot_(std::move(snapshot)), position_(position) {
        if (owner_) owner_->AddRef();
        ++daObjectCount;
    }

    ~daEnumerator() {
        snapshot_.reset();
        --daObjectCount;
        // Last, since the owner's reference keeps the tracker alive.
        if (owner_) owner_->Release();
    }

    IUnknown* Unknown() { return static_cast<Interface*>(this); }

    // Copies up to `count` elements, all or none, into the buffer `destination(taken)` gives
    // (nullptr: out of memory); asked only when there is something to copy.
    template <class Destination>
    HRESULT Fetch(ULONG count, Destination destination, ULONG* fetched) {
        *fetched = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t left = Policy::Size(*snapshot_) - position_;
        const ULONG taken = static_cast<ULONG>(count < left ? count : left);
        if (taken > 0) {
            Out* out = destination(taken);
            if (!out) return E_OUTOFMEMORY;
            for (ULONG i = 0; i < taken; ++i) {
                if (HRESULT hr = Policy::CopyOut(*snapshot_, position_ + i, &out[i]); FAILED(hr)) {
                    while (i > 0) {
                        Policy::Free(&out[--i]);
                    }
                    return hr;
                }
            }
        }
        position_ += taken;
        *fetched = taken;
        return taken == count ? S_OK : S_FALSE;
    }

    std::atomic<ULONG> references_{1};
    IUnknown* const owner_;
    daEnumTracker* const tracker_;
    std::shared_ptr<const Snapshot> snapshot_;
    std::mutex mutex_;
    size_t position_;
};

// The COM enumerator contract: the count fetched may be left out only when one is asked for.
template <class Policy>
HRESULT daEnumerator<Policy>::Next(ULONG count, typename Policy::NextTarget out, ULONG* fetched) {
    if (!out || (!fetched && count != 1)) return E_INVALIDARG;
    auto callersArray = [out](ULONG) { return out; };
    ULONG taken = 0;
    HRESULT hr = Fetch(count, callersArray, &taken);
    if (fetched) *fetched = taken;
    return hr;
}

// The published contract: both outputs required; the array is the caller's, null when empty.
template <>
HRESULT daEnumerator<AttributePolicy>::Next(ULONG count, OPCITEMATTRIBUTES** items,
                                            ULONG* fetched) {
    if (!items || !fetched) return E_INVALIDARG;
    *items = nullptr;
    OPCITEMATTRIBUTES* array = nullptr;
    auto allocate = [&array](ULONG taken) {
        array = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(taken * sizeof(OPCITEMATTRIBUTES)));
        return array;
    };
    HRESULT hr = Fetch(count, allocate, fetched);
    if (FAILED(hr)) {
        CoTaskMemFree(array);
        return hr;
    }
    *items = array;
    return hr;
}

std::shared_ptr<const InterfaceList> MakeInterfaceList(IUnknown* const* objects, size_t count) {
    std::shared_ptr<InterfaceList> list(new (std::nothrow) InterfaceList);
    if (!list) return nullptr;
    list->items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!objects[i]) continue;
        objects[i]->AddRef();
        list->items.push_back(objects[i]);
    }
    return list;
}

std::shared_ptr<const AttributeList> MakeAttributeList(
    const std::vector<OPCITEMATTRIBUTES>& items) {
    std::shared_ptr<AttributeList> list(new (std::nothrow) AttributeList);
    if (!list) return nullptr;
    list->items.reserve(items.size());
    for (const OPCITEMATTRIBUTES& item : items) {
        OPCITEMATTRIBUTES copy;
        if (FAILED(CopyAttributes(item, &copy))) return nullptr;
        list->items.push_back(copy);
    }
    return list;
}

// Snapshots are built with the standard containers; running out of memory there is a null
// result, not an exception leaving the layer.
template <class Build>
auto NoThrow(Build build) -> decltype(build()) {
    try {
        return build();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

IEnumString* daEnumStringCreate(IUnknown* owner, daEnumTracker* tracker,
                                std::vector<std::u16string> strings) {
    return NoThrow([&]() -> IEnumString* {
        auto snapshot = std::make_shared<const std::vector<std::u16string>>(std::move(strings));
        return daEnumerator<StringPolicy>::Create(owner, tracker, std::move(snapshot), 0);
    });
}

IEnumUnknown* daEnumUnknownCreate(IUnknown* owner, daEnumTracker* tracker,
                                  const std::vector<IUnknown*>& objects) {
    return NoThrow([&]() -> IEnumUnknown* {
        return daEnumerator<UnknownPolicy>::Create(
            owner, tracker, MakeInterfaceList(objects.data(), objects.size()), 0);
    });
}

IEnumOPCItemAttributes* daEnumItemAttributesCreate(IUnknown* owner, daEnumTracker* tracker,
                                                   const std::vector<OPCITEMATTRIBUTES>& items) {
    return NoThrow([&]() -> IEnumOPCItemAttributes* {
        return daEnumerator<AttributePolicy>::Create(owner, tracker, MakeAttributeList(items), 0);
    });
}

IEnumConnectionPoints* daEnumConnPointsCreate(IUnknown* owner, daEnumTracker* tracker,
                                              IConnectionPoint* point) {
    IUnknown* objects[1] = {point};
    return NoThrow([&]() -> IEnumConnectionPoints* {
        return daEnumerator<ConnPointPolicy>::Create(owner, tracker, MakeInterfaceList(objects, 1),
                                                     0);
    });
}

}  // namespace opc
