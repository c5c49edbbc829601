// The service's operations on its clients: creation, run state and scheduler load.

#include <algorithm>
#include <string>

#include "daserver.h"
#include "dalog.h"
#include "platform/clock.h"
#include "platform/codepage.h"

namespace opc {
namespace {

constexpr unsigned kAcceptedClientFlags =
    0xF | daCF_FREE_THREADED_MARSHALER | daCF_MULTITHREADED | daCF_NOT_MULTITHREADED;

int CreateClient(daService* service, IUnknown* outer, unsigned clientFlags,
                 const daVendorRecord* vendor, daReleaseCallback release, void* releaseArgument,
                 daServer** client) {
    if (clientFlags & daCF_NOT_MULTITHREADED) clientFlags &= ~daCF_MULTITHREADED;
    return daServer::Create(service, outer, clientFlags, vendor, release, releaseArgument, client);
}

// The aggregated object hands out its inner IUnknown; the outer one controls its lifetime.
int CreateAggregatedClient(daService* service, daServer** client, IUnknown* outer, IUnknown** inner,
                           unsigned clientFlags, const daVendorRecord* vendor,
                           daReleaseCallback release, void* releaseArgument) {
    const int error =
        CreateClient(service, outer, clientFlags, vendor, release, releaseArgument, client);
    if (error == 0) *inner = (*client)->Unknown();
    return error;
}

}  // namespace

int daClientCreate(daService* service, daServer** client, IUnknown* outer, IUnknown** inner,
                   unsigned clientFlags, const daVendorRecord* vendor, daReleaseCallback release,
                   void* releaseArgument) {
    if (client) *client = nullptr;
    if (inner) *inner = nullptr;
    if (!client || (clientFlags & ~kAcceptedClientFlags) || (outer && !inner)) {
        kvlog::Error(daLog(), "daClientCreate(%p, %x) invalid arguments",
                     static_cast<void*>(service), clientFlags);
        return daE_INVAL;
    }
    if (!daServiceIsLive(service, true)) return daE_BADF;
    if (outer) {
        return CreateAggregatedClient(service, client, outer, inner, clientFlags, vendor, release,
                                      releaseArgument);
    }
    return CreateClient(service, nullptr, clientFlags, vendor, release, releaseArgument, client);
}

IUnknown* daClientUnknown(daServer* client) {
    return client ? client->Unknown() : nullptr;
}

int daClientSetState(daService* service, daServer* client, unsigned operation, unsigned state,
                     const WCHAR* reason) {
    if (operation >= 32) return daE_INVAL;
    if (!daServiceIsLive(service, true)) return daE_BADF;
    std::lock_guard<std::mutex> lock(service->lock);
    if (service->shutdownState != 0) return daE_BADF;
    bool matched = false;
    for (daClientLink* link = service->clients; link; link = link->next) {
        daServer* server = daServer::FromLink(link);
        if (client && server != client) continue;
        server->SetState(operation, state, reason);
        matched = true;
    }
    return matched ? 0 : daE_NOENT;
}

int daClientSetStateA(daService* service, daServer* client, unsigned operation, unsigned state,
                      const char* reason) {
    if (!reason) return daClientSetState(service, client, operation, state, nullptr);
    const std::u16string wide = platform::Cp1251ToUtf16(reason);
    const std::basic_string<WCHAR> text(wide.begin(), wide.end());
    return daClientSetState(service, client, operation, state, text.c_str());
}

int daClientBandwidth(daService* service, daServer* client) {
    if (!daServiceIsLive(service, true)) return -1;
    std::lock_guard<std::mutex> lock(service->lock);
    if (service->shutdownState != 0) return -1;
    const uint32_t now = platform::TickCount();
    int highest = 0;
    for (daClientLink* link = service->clients; link; link = link->next) {
        daServer* server = daServer::FromLink(link);
        if (client && server != client) continue;
        highest = std::max(highest, server->Bandwidth(now));
    }
    return highest;
}

}  // namespace opc
