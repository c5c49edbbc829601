#pragma once
// The enumerators handed to clients. Each holds a snapshot taken at creation, keeps the object
// that made it alive (a reference on `owner`) and supports Next, Skip, Reset and Clone.

#include <mutex>
#include <string>
#include <vector>

// The generated header needs the COM types first.
#include "platform/com.h"

#include "opcda.h"

namespace opc {

// Told when an enumerator comes (creation, Clone) and goes (final release), so that a client
// can disconnect the ones still alive when it is told to and report them at its end. Called
// with no lock of the enumerator held.
class daEnumTracker {
public:
    virtual void EnumOpened(IUnknown* enumerator) = 0;
    virtual void EnumClosed(IUnknown* enumerator) = 0;
    // Held while an enumerator's count reaches zero and it is closed, so that whoever walks
    // the open enumerators under it finds only ones it may still AddRef.
    virtual std::recursive_mutex& EnumLock() = 0;

protected:
    ~daEnumTracker() = default;
};

// Each returns the enumerator with one reference, or nullptr when memory runs out. The
// strings and interface pointers are copied (AddRef'ed), attributes deep-copied. `tracker` may
// be null; it must outlive the enumerator (the owner's reference sees to that).
IEnumString* daEnumStringCreate(IUnknown* owner, daEnumTracker* tracker,
                                std::vector<std::u16string> strings);
IEnumUnknown* daEnumUnknownCreate(IUnknown* owner, daEnumTracker* tracker,
                                  const std::vector<IUnknown*>& objects);
IEnumOPCItemAttributes* daEnumItemAttributesCreate(IUnknown* owner, daEnumTracker* tracker,
                                                   const std::vector<OPCITEMATTRIBUTES>& items);
IEnumConnectionPoints* daEnumConnPointsCreate(IUnknown* owner, daEnumTracker* tracker,
                                              IConnectionPoint* point);

}  // namespace opc
