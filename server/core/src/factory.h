#pragma once
// myClassFactory: the class object COM calls to create OPC server objects. One static object
// that is never deleted; Main attaches the running server to it and detaches it at the end.

#include <atomic>

#include "core/server.h"
#include "platform/com.h"

namespace core {

class myClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    void Attach(Server* server) { server_.store(server); }
    void Detach() { server_.store(nullptr); }
    Server* AttachedServer() const { return server_.load(); }

private:
    // Undoes one LockServer(TRUE); false when there is none to undo.
    static bool TakeLock(Server* server);

    std::atomic<Server*> server_{nullptr};
};

myClassFactory& TheClassFactory();

// The release callback of every client object (argument: the factory).
void a_server_finished(void* factory);

}  // namespace core
