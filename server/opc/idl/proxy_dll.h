// Compiled into every source of the proxy/stub DLL, ahead of the widl output.
#pragma once

#include <objbase.h>

// Our own class identifier for the proxy factory, so registering this DLL never takes over the
// class of another vendor's proxy DLL for the same interfaces.
#define PROXY_CLSID_IS                                     \
    {                                                      \
        0x88ea106b, 0xd07e, 0x4716, {                      \
            0xb0, 0xe0, 0xdd, 0x43, 0x3f, 0x83, 0x16, 0x3d \
        }                                                  \
    }

// Exported by rpcrt4 but not declared by MinGW's headers; the generated vtables use them.
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppv);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
