// IOPCBrowseServerAddressSpace and IOPCItemProperties of the server object: the address space
// answers, the server adds its run state, the browse position and how an empty browse is
// handed out.

#include "daserver.h"

namespace opc {
namespace {

// Driver flags choosing how a browse that found nothing is returned.
constexpr unsigned kEmptyBrowseOk = 0x1;
constexpr unsigned kEmptyBrowseNoEnumerator = 0x2;

}  // namespace

HRESULT daServer::QueryOrganization(OPCNAMESPACETYPE* type) {
    Call call(this, "IOPCBrowseServerAddressSpace", "QueryOrganization");
    if (FAILED(call.Result())) return call.Result();
    if (!type) return E_INVALIDARG;
    *type = daQueryOrganization(service_);
    return S_OK;
}

HRESULT daServer::ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) {
    Call call(this, "IOPCBrowseServerAddressSpace", "ChangeBrowsePosition");
    if (FAILED(call.Result())) return call.Result();
    std::lock_guard<std::mutex> lock(browseLock_);
    return daChangeBrowsePosition(service_, LogTag(), &browsePosition_, direction, name);
}

HRESULT daServer::BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType,
                                   DWORD accessRights, LPENUMSTRING* names) {
    Call call(this, "IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs");
    if (FAILED(call.Result())) return call.Result();
    if (!names) return E_INVALIDARG;
    *names = nullptr;
    daBrowsePosition position;
    {
        std::lock_guard<std::mutex> lock(browseLock_);
        position = browsePosition_;
    }
    std::vector<std::u16string> found;
    const HRESULT result = daBrowseItemIds(service_, CallerWithLocale(), position, type, filter,
                                           dataType, accessRights, &found);
    if (FAILED(result)) return result;
    const unsigned flags = service_->driver.flags;
    if (found.empty() && (flags & kEmptyBrowseNoEnumerator)) return S_FALSE;
    *names = daEnumStringCreate(Unknown(), this, found);
    if (!*names) return E_OUTOFMEMORY;
    if (found.empty()) return (flags & kEmptyBrowseOk) ? S_OK : S_FALSE;
    return S_OK;
}

HRESULT daServer::GetItemID(LPWSTR name, LPWSTR* itemId) {
    Call call(this, "IOPCBrowseServerAddressSpace", "GetItemID");
    if (FAILED(call.Result())) return call.Result();
    if (!name || !itemId) return E_INVALIDARG;
    *itemId = nullptr;
    daBrowsePosition position;
    {
        std::lock_guard<std::mutex> lock(browseLock_);
        position = browsePosition_;
    }
    return daGetItemId(service_, position, name, itemId);
}

HRESULT daServer::BrowseAccessPaths(LPCWSTR itemId, LPENUMSTRING* paths) {
    Call call(this, "IOPCBrowseServerAddressSpace", "BrowseAccessPaths");
    if (FAILED(call.Result())) return call.Result();
    if (!paths) return E_INVALIDARG;
    *paths = nullptr;
    const daAccessPathCallback browse = service_->driver.accessPath;
    if (!browse) return E_NOTIMPL;
    if (!itemId) return E_INVALIDARG;
    unsigned count = 0;
    WCHAR** given = nullptr;
    const daCallerRecord caller = CallerWithLocale();
    const HRESULT result = browse(&caller, itemId, &count, &given);
    if (FAILED(result)) return result;
    // The driver hands over CoTaskMemAlloc'ed strings in a CoTaskMemAlloc'ed array.
    std::vector<std::u16string> texts;
    for (unsigned i = 0; given && i < count; ++i) {
        texts.push_back(daWideToU16(given[i]));
        CoTaskMemFree(given[i]);
    }
    CoTaskMemFree(given);
    *paths = daEnumStringCreate(Unknown(), this, texts);
    if (!*paths) return E_OUTOFMEMORY;
    return texts.empty() ? S_FALSE : result;
}

HRESULT daServer::QueryAvailableProperties(LPWSTR itemId, DWORD* count, DWORD** propertyIds,
                                           LPWSTR** descriptions, VARTYPE** dataTypes) {
    Call call(this, "IOPCItemProperties", "QueryAvailableProperties");
    if (FAILED(call.Result())) return call.Result();
    return daQueryAvailableProperties(service_, CallerWithLocale(), itemId, count, propertyIds,
                                      descriptions, dataTypes);
}

HRESULT daServer::GetItemProperties(LPWSTR itemId, DWORD count, DWORD* propertyIds,
                                    VARIANT** values, HRESULT** errors) {
    Call call(this, "IOPCItemProperties", "GetItemProperties");
    if (FAILED(call.Result())) return call.Result();
    return daGetItemProperties(service_, CallerWithLocale(), itemId, count, propertyIds, values,
                               errors);
}

HRESULT daServer::LookupItemIDs(LPWSTR itemId, DWORD count, DWORD* propertyIds, LPWSTR** newItemIds,
                                HRESULT** errors) {
    Call call(this, "IOPCItemProperties", "LookupItemIDs");
    if (FAILED(call.Result())) return call.Result();
    return daLookupItemIds(service_, CallerWithLocale(), itemId, count, propertyIds, newItemIds,
                           errors);
}

}  // namespace opc
