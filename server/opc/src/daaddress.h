#pragma once
// The address space as clients see it: item-ID lookup, browsing of the tag names as a tree, and
// item properties. Results are HRESULTs; arrays handed out are CoTaskMemAlloc'ed.

#include <string>
#include <vector>

#include "platform/com.h"

#include "opcda.h"
#include "service.h"

namespace opc {

// The tag an item ID names, as AddItems, ValidateItems and the properties look it up: the
// registry (under lkMgmt shared, compared as the service's flags say), else the driver's item-ID
// callback. OPC_E_INVALIDITEMID for an empty ID or a tag without type, OPC_E_UNKNOWNITEMID when
// unknown.
HRESULT daLookupItemId(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                       const WCHAR* accessPath, unsigned* tagIndex);
// The same lookup, also giving tags without type (the properties answer for them per ID).
HRESULT daLookupTag(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                    const WCHAR* accessPath, unsigned* tagIndex);

// The browse position of one client: empty at the root. The caller holds the client's lock.
using daBrowsePosition = std::u16string;

OPCNAMESPACETYPE daQueryOrganization(daService* service);
HRESULT daChangeBrowsePosition(daService* service, const char* logTag, daBrowsePosition* position,
                               OPCBROWSEDIRECTION direction, const WCHAR* name);
// The names of one browse at `position`; S_OK with names, S_FALSE with none, E_INVALIDARG for
// an unknown browse type, OPC_E_INVALIDFILTER for a bad filter. How an empty result is handed out
// (driver flags 0x1 and 0x2) is the caller's.
HRESULT daBrowseItemIds(daService* service, const daCallerRecord& caller,
                        const daBrowsePosition& position, OPCBROWSETYPE type, const WCHAR* filter,
                        VARTYPE dataType, DWORD accessRights, std::vector<std::u16string>* names);
HRESULT daGetItemId(daService* service, const daBrowsePosition& position, const WCHAR* name,
                    LPWSTR* itemId);
// The name filter: * any sequence, ? one character, # one digit, [list] and [!list] with
// ranges; letters without case when `noCase`.
// A null or empty filter takes every name.
bool daNameFilterMatch(const WCHAR* name, const WCHAR* filter, bool noCase);
// False for a list that is not closed, is empty or holds a reversed range.
bool daNameFilterValid(const WCHAR* filter);

HRESULT daQueryAvailableProperties(daService* service, const daCallerRecord& caller,
                                   const WCHAR* itemId, DWORD* count, DWORD** propertyIds,
                                   LPWSTR** descriptions, VARTYPE** dataTypes);
HRESULT daGetItemProperties(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                            DWORD count, const DWORD* propertyIds, VARIANT** values,
                            HRESULT** errors);
HRESULT daLookupItemIds(daService* service, const daCallerRecord& caller, const WCHAR* itemId,
                        DWORD count, const DWORD* propertyIds, LPWSTR** newItemIds,
                        HRESULT** errors);

}  // namespace opc
