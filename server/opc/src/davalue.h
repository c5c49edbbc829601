#pragma once
// Values between a tag and an item: whether a requested type is acceptable, how an item's value
// is produced from the tag's, and whether a new value counts as a change for a group.

#include <cstdint>
#include <vector>

#include "service.h"

namespace opc {

// How an item's value is made from its tag's value.
enum daConversionMode : int {
    daCM_CHANGE_TYPE = 0,  // VariantChangeType to the requested type
    daCM_COPY = 1,         // same type, a string or an array: VariantCopy
    daCM_RAW = 2,          // same type, scalar: the VARIANT's bytes as they are
    daCM_DRIVER = 3,       // the driver's conversion callback
};

// Caller tag flag (a bit the registry keeps and no other flag uses): the tag is delivered only in
// its canonical type.
constexpr unsigned daTF_CANONICAL_ONLY = 0x4000;

// Whether the tag's canonical value (and both ends of an analog range) converts to `requested`
// (VT_EMPTY = canonical), as AddItems, ValidateItems and SetDatatypes check it: S_OK,
// OPC_E_BADTYPE for a tag that only takes its canonical type, else the failing change's HRESULT.
// Takes lkMgmt shared.
HRESULT daCheckRequestedType(daService* service, const daCallerRecord& caller, unsigned tagIndex,
                             VARTYPE requested);
daConversionMode daChooseConversionMode(const daTagEntry& tag, VARTYPE requested);

// The value an item delivers; `result` must be VariantInit'ed. A failure leaves it VT_EMPTY.
HRESULT daItemValue(const daCallerRecord& caller, const daTagEntry& tag, daConversionMode mode,
                    VARTYPE requested, const VARIANT& value, VARIANT* result);

// The last value a group sent for an item, kept to detect changes.
struct daLastSent {
    bool valid = false;
    bool isBytes = false;  // strings and arrays compare by their bytes
    double number = 0;
    std::vector<uint8_t> bytes;
};

// True when `value` counts as a change against `last`; then `last` takes it. With a non-zero
// deadband (percent) and a tag with a range, a change within deadband x one percent of the
// range is no change and `last` keeps its value. A value that is not a number, a string or an
// array counts as changed.
bool daValueChanged(daLastSent* last, const VARIANT& value, float deadbandPercent,
                    double onePercent);
// Takes `value` as sent without comparing (reports forced by quality or refresh).
void daRememberSent(daLastSent* last, const VARIANT& value);

}  // namespace opc
