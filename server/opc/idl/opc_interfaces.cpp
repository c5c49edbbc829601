// Definitions of the OPC category identifiers, and compile-time checks that the generated
// structures keep the sizes of the published stream formats on both targets.

#include "platform/com.h"

#include "opccomn.h"
#include "opcda.h"

#ifdef _WIN32
#include <initguid.h>
#endif
#include "opcconst.h"

#include <cstddef>
#include <type_traits>

static_assert(sizeof(OPCGROUPHEADER) == 20);
static_assert(sizeof(OPCITEMHEADER1) == 20);
static_assert(offsetof(OPCITEMHEADER1, ftTimeStampItem) == 12);
static_assert(sizeof(OPCITEMHEADER2) == 12);
static_assert(sizeof(OPCGROUPHEADERWRITE) == 16);
static_assert(sizeof(OPCITEMHEADERWRITE) == 8);
static_assert(offsetof(OPCITEMSTATE, vDataValue) == 16);
static_assert(sizeof(OPCHANDLE) == 4 && sizeof(VARTYPE) == 2 && sizeof(FILETIME) == 8);
static_assert(sizeof(VARIANT) == 24);
static_assert(std::is_base_of_v<IUnknown, IOPCServer> && std::is_abstract_v<IOPCServer>);
