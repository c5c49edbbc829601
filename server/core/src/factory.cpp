#include "factory.h"

#include "core/main.h"
#include "opcda.h"

namespace core {
namespace {

const opc::daVendorRecord kVendor{6, 1, 16, 6127, kBanner};

}  // namespace

myClassFactory& TheClassFactory() {
    static myClassFactory factory;
    return factory;
}

STDMETHODIMP myClassFactory::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    Server* server = server_.load();
    const kvlog::Handle log = server ? server->log : nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        kvlog::Debug(log, "myClassFactory::QueryInterface() Ok");
        return S_OK;
    }
    *object = nullptr;
    kvlog::Debug(log, "myClassFactory::QueryInterface() Failed");
    return E_NOINTERFACE;
}

// A detached factory (after shutdown) keeps answering without a count.
STDMETHODIMP_(ULONG) myClassFactory::AddRef() {
    Server* server = server_.load();
    if (server == nullptr) return 1;
    long count = 0;
    {
        std::lock_guard hold(server->factoryLock);
        count = ++server->factoryReferences;
    }
    kvlog::Debug(server->log, "myClassFactory::AddRef(%ld)", count);
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) myClassFactory::Release() {
    Server* server = server_.load();
    if (server == nullptr) return 1;
    long count = 0;
    {
        std::lock_guard hold(server->factoryLock);
        count = --server->factoryReferences;
    }
    kvlog::Debug(server->log, "myClassFactory::Release(%d)", static_cast<int>(count));
    return static_cast<ULONG>(count);
}

STDMETHODIMP myClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Server* server = server_.load();
    if (server == nullptr) return E_OUTOFMEMORY;
    AddRef();  // the new client's reference
    opc::daServer* client = nullptr;
    if (server->service == nullptr ||
        opc::daClientCreate(server->service, &client, nullptr, nullptr, 0, &kVendor,
                            a_server_finished, this) != 0) {
        kvlog::Debug(server->log, "myClassFactory::daCreateClient() failed");
        Release();
        return E_OUTOFMEMORY;
    }
    ++server->serverCount;
    IUnknown* unknown = opc::daClientUnknown(client);
    const HRESULT queried = unknown->QueryInterface(iid, object);
    if (FAILED(queried)) {
        kvlog::Debug(server->log, "myClassFactory::daClient QueryInterface() failed");
    } else {
        opc::daClientSetState(server->service, client, opc::daCS_OPERATE, OPC_STATUS_RUNNING,
                              nullptr);
        kvlog::Debug(server->log, "myClassFactory::server_count = %ld", server->serverCount.load());
    }
    // The caller holds the only reference now; on failure this runs the release callback.
    unknown->Release();
    return queried;
}

// An unlock without a lock would take a reference that a client object or COM holds: the count
// would end below zero and keep Main running after every client has gone.
STDMETHODIMP myClassFactory::LockServer(BOOL lock) {
    Server* server = server_.load();
    const kvlog::Handle log = server ? server->log : nullptr;
    if (lock) {
        if (server != nullptr) {
            std::lock_guard hold(server->factoryLock);
            ++server->serverLocks;
        }
        AddRef();
    } else if (TakeLock(server)) {
        Release();
    } else {
        kvlog::Warning(log, "myClassFactory::LockServer(0): no lock to release, count stays %ld",
                       server ? server->FactoryReferences() : 0L);
    }
    kvlog::Debug(log, "myClassFactory::LockServer(%d)", lock ? 1 : 0);
    return S_OK;
}

bool myClassFactory::TakeLock(Server* server) {
    if (server == nullptr) return true;
    std::lock_guard hold(server->factoryLock);
    if (server->serverLocks <= 0) return false;
    --server->serverLocks;
    return true;
}

void a_server_finished(void* factory) {
    auto* classFactory = static_cast<myClassFactory*>(factory);
    Server* server = classFactory ? classFactory->AttachedServer() : nullptr;
    long count = 0;
    if (server != nullptr) count = --server->serverCount;
    if (classFactory != nullptr) classFactory->Release();
    kvlog::Debug(server ? server->log : nullptr, "a_server_finished(%lu)",
                 static_cast<unsigned long>(count));
}

}  // namespace core
