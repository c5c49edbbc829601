// Main: registration from the command line, or the whole life of the server.

#include "core/main.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "channel_threads.h"
#include "factory.h"
#include "opc/daregister.h"
#include "platform/clock.h"
#include "platform/system.h"

namespace core {

// {6B3F2A1C-4D8E-4F5A-9C71-2E0D8B4A6C35}
const CLSID kServerClassId = {
    0x6b3f2a1c, 0x4d8e, 0x4f5a, {0x9c, 0x71, 0x2e, 0x0d, 0x8b, 0x4a, 0x6c, 0x35}};

namespace {

constexpr size_t kMaxModulePath = 2048;
constexpr size_t kModulePathReserve = 50;

std::mutex workersLock;
std::array<ChannelWorker, 256> workers{};

ChannelWorker WorkerOf(uint8_t type) {
    std::lock_guard hold(workersLock);
    return workers[type];
}

void BeepSuccess() {
    platform::Beep(1000, 100);
}

void BeepFailure() {
    platform::Beep(300, 300);
    platform::SleepMs(50);
    platform::Beep(100, 500);
}

void Register(kvlog::Handle log, const CLSID& classId, const std::string& modulePath) {
    const std::string command = "\"" + modulePath + "\"";
    const bool ok =
        opc::daServerRegister(classId, kServerProgId, kServerProgId, command.c_str(), nullptr) == 0;
    const char* verdict = ok ? "Ok" : "Failed";
    std::printf("Registration <%s> <%s> %s\n", kServerProgId, modulePath.c_str(), verdict);
    std::fflush(stdout);
    kvlog::Write(ok ? kvlog::kInfo : kvlog::kError, log, nullptr, "Registration <%s> <%s> %s",
                 kServerProgId, modulePath.c_str(), verdict);
    ok ? BeepSuccess() : BeepFailure();
}

void Unregister(kvlog::Handle log, const CLSID& classId, const std::string& modulePath) {
    const bool ok = opc::daUnRegisterServer(classId, kServerProgId) == 0;
    const char* verdict = ok ? "Ok" : "Failed";
    std::printf("Unregistration <%s> <%s> %s\n", kServerProgId, modulePath.c_str(), verdict);
    std::fflush(stdout);
    kvlog::Write(ok ? kvlog::kInfo : kvlog::kError, log, nullptr, "UnReg <%s> <%s> %s",
                 kServerProgId, modulePath.c_str(), verdict);
    ok ? BeepSuccess() : BeepFailure();
}

// Marks the channel's thread field before the thread runs, so a thread that ends at once
// cannot have its cleared field overwritten by the start.
uintptr_t StartChannelThread(Server* server, size_t channelIndex, uint8_t channelId,
                             ChannelWorker worker) {
    static std::atomic<uintptr_t> nextThread{1};
    const uintptr_t thread = nextThread++;
    server->tables.UpdateChannel(channelIndex, [&](ChannelRecord& c) { c.thread = thread; });
    try {
        std::thread(worker, server, channelId).detach();
    } catch (const std::system_error&) {
        server->tables.UpdateChannel(channelIndex, [](ChannelRecord& c) { c.thread = 0; });
        return 0;
    }
    return thread;
}

void StartChannelThreads(Server* server) {
    std::vector<std::string> endpoints;
    for (size_t i = 0; i < server->tables.ChannelCount(); ++i) {
        ChannelRecord channel;
        if (server->tables.GetChannel(i, &channel) != kOk) continue;
        const ChannelWorker worker = WorkerOf(channel.m_ucType);
        uintptr_t thread = channel.thread;
        if (channel.m_ucType == 'g') {
            const std::string endpoint =
                channel.m_strAddress + ":" + std::to_string(channel.m_wPort);
            if (std::find(endpoints.begin(), endpoints.end(), endpoint) == endpoints.end() &&
                worker != nullptr) {
                thread = StartChannelThread(server, i, channel.m_ucID, worker);
                kvlog::Info(server->log, "Main: Starting receiving thread (%s) from remote clients",
                            endpoint.c_str());
                endpoints.push_back(endpoint);
            }
        } else if (channel.m_ucType != 'h') {
            thread = worker ? StartChannelThread(server, i, channel.m_ucID, worker) : 0;
            if (thread == 0) {
                server->tables.UpdateChannel(i, [](ChannelRecord& c) { c.thread = 0; });
            }
        }
        kvlog::Trace(server->log, "Main: Started thread for device %s, id %u",
                     channel.m_strName.c_str(), unsigned{channel.m_ucID});
        if (thread != 0 && thread != channel.thread) server->workerChannels.push_back(i);
        if (thread == 0) {
            kvlog::Error(server->log, "Main: Failed to create polling thread for device %s!",
                         channel.m_strName.c_str());
        } else {
            kvlog::Info(server->log, "Main: creating polling thread for device %s",
                        channel.m_strName.c_str());
        }
    }
}

// COM names this switch when it starts the server for a client.
bool StartedByCom(const std::string& commandLine) {
    std::string lower = commandLine;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("embedding") != std::string::npos;
}

// On a busy machine the client COM started the server for can reach the class object after
// the registration wait; giving back COM's reference before it did would end the server under
// that client. Besides COM's own reference, any hold on the factory (its stub, an object,
// LockServer) means the client has arrived.
void AwaitActivatingClient(Server* server) {
    const uint64_t start = platform::TickCount64();
    while (server->FactoryReferences() <= 1 && server->serverCount.load() == 0) {
        if (platform::TickCount64() - start >= server->pauses.activationLimit) {
            kvlog::Warning(server->log, "Main: started by COM, but no client came within %u ms",
                           server->pauses.activationLimit);
            return;
        }
        platform::SleepMs(server->pauses.mainLoop);
    }
}

// Generous against the longest wait a worker makes before it looks at its run condition again.
uint64_t WorkerEndLimit(const Server& server) {
    uint64_t longestTimeout = 0;
    for (size_t i = 0; i < server.tables.ChannelCount(); ++i) {
        ChannelRecord channel;
        if (server.tables.GetChannel(i, &channel) != kOk) continue;
        longestTimeout = std::max<uint64_t>(longestTimeout, channel.m_wTimeout);
    }
    return server.pauses.workerEnd + longestTimeout;
}

void WarnOfRunningThreads(const Server& server, uint64_t limit) {
    for (size_t i = 0; i < server.tables.ChannelCount(); ++i) {
        ChannelRecord channel;
        if (server.tables.GetChannel(i, &channel) != kOk || channel.thread == 0) continue;
        kvlog::Warning(server.log,
                       "Destroy: thread of device %s (id %u) did not end within %u ms, not "
                       "waiting for it",
                       channel.m_strName.c_str(), unsigned{channel.m_ucID},
                       static_cast<unsigned>(limit));
    }
}

bool ServerHeld(Server* server) {
    return server->lockServer.load() != 0 || server->FactoryReferences() != 0 ||
           server->serverCount.load() != 0;
}

// Everything between COM initialisation and its end; returns when the server is to stop.
void Run(Server* server, const MainOptions& options, bool startedByCom) {
    if (Init(server) != 0) return;
    myClassFactory& factory = TheClassFactory();
    factory.Attach(server);
    DWORD cookie = 0;
    if (FAILED(
            CoRegisterClassObject(options.classId, &factory,
                                  CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie))) {
        kvlog::Error(server->log, "CoRegisterClassObject() failed. Exiting...");
        Destroy(server);
        factory.Detach();
        return;
    }
    platform::SleepMs(server->pauses.afterClassRegistration);
    if (startedByCom) AwaitActivatingClient(server);
    factory.Release();  // COM's own reference from the registration
    StartChannelThreads(server);
    kvlog::Info(server->log, "Main: ready to start processing routine");
    if (options.started) options.started(*server);
    while (ServerHeld(server)) {
        StartEndedChannelThreads(server);
        Process(server, server->settings.g_cache_update_delay);
        platform::SleepMs(server->pauses.mainLoop);
    }
    platform::SleepMs(server->pauses.beforeShutdown);
    if (FAILED(CoRevokeClassObject(cookie))) {
        kvlog::Warning(server->log, "CoRevokeClassObject() failed...");
    }
    Destroy(server);
    factory.Detach();
}

std::string DefaultLogPath(const std::string& modulePath) {
    const size_t slash = modulePath.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "" : modulePath.substr(0, slash + 1);
    return folder + kLogFileName;
}

}  // namespace

void RegisterChannelWorker(uint8_t typeLetter, ChannelWorker worker) {
    std::lock_guard hold(workersLock);
    workers[typeLetter] = worker;
}

void StartEndedChannelThreads(Server* server) {
    if (!server->ClientsPresent()) return;
    std::vector<size_t>& channels = server->workerChannels;
    for (auto at = channels.begin(); at != channels.end();) {
        ChannelRecord channel;
        const ChannelWorker worker =
            server->tables.GetChannel(*at, &channel) == kOk ? WorkerOf(channel.m_ucType) : nullptr;
        if (worker != nullptr && channel.thread != 0) {
            ++at;
            continue;
        }
        if (worker != nullptr && StartChannelThread(server, *at, channel.m_ucID, worker) != 0) {
            kvlog::Info(server->log, "Main: restarting polling thread for device %s",
                        channel.m_strName.c_str());
            ++at;
            continue;
        }
        // Not tried again: a failing start would repeat every cycle.
        kvlog::Error(server->log, "Main: Failed to create polling thread for device %s!",
                     channel.m_strName.c_str());
        at = channels.erase(at);
    }
}

// Until its worker runs again, nothing the channel's tags hold is current: they show the
// link's loss, so that a client that comes back never reads an old value as good.
void ChannelThreadEnded(Server* server, uint8_t channelId) {
    size_t index = 0;
    ChannelRecord channel;
    if (!server->tables.FindChannel(channelId, &index) ||
        server->tables.GetChannel(index, &channel) != kOk) {
        return;
    }
    const int32_t threshold = channel.m_ucFailThreshold;
    for (size_t i = 0; i < server->tables.TagCount(); ++i) {
        server->tables.UpdateTag(i, [&](TagRecord& tag) {
            if (tag.m_ucDevice != channelId || tag.m_ucFunction == 0) return;
            tag.state = kTagNoFreshValue;
            tag.faultCount = std::max(tag.faultCount, threshold);
        });
    }
    for (size_t block = 0; block < channel.fieldDevices.size(); ++block) {
        server->tables.UpdateStatistics(index, block, [](StatisticsBlock& b) { b.connected = 0; });
    }
    // A command the worker did not take would go out hours late through the next one.
    server->tables.UpdateChannel(index, [](ChannelRecord& c) {
        c.commandState = kCommandIdle;
        c.thread = 0;
    });
}

void IdleChannelWorker(Server* server, uint8_t channelId) {
    while (server->ClientsPresent())
        platform::SleepMs(server->pauses.mainLoop);
    ChannelThreadEnded(server, channelId);
}

void Destroy(Server* server) {
    const int destroyed = opc::daServiceDestroy(server->service);
    kvlog::Trace(server->log, "%!e daDelete(%p) = ", destroyed,
                 static_cast<void*>(server->service));
    server->service = nullptr;
    while (server->processRunning.load() != 0) {
        platform::SleepMs(10);
        kvlog::Debug(server->log, "Destroy: process %u, ref %u, s_ct %u",
                     server->processRunning.load(),
                     static_cast<unsigned>(server->FactoryReferences()),
                     static_cast<unsigned>(server->serverCount.load()));
    }
    kvlog::Debug(server->log, "Destroy: waiting to finish writedata threads...");
    const size_t channels = server->tables.ChannelCount();
    if (channels == 0) return;
    const uint64_t limit = WorkerEndLimit(*server);
    const uint64_t start = platform::TickCount64();
    for (;;) {
        std::string info = "Destroy: threads info: ";
        size_t ended = 0;
        for (size_t i = 0; i < channels; ++i) {
            ChannelRecord channel;
            server->tables.GetChannel(i, &channel);
            info += "thread " + std::to_string(i) + " - " + std::to_string(channel.thread) + ", ";
            if (channel.thread == 0) ++ended;
        }
        platform::SleepMs(server->pauses.destroyPoll);
        kvlog::Debug(server->log, "Destroy: process %i, ref %i, s_ct %i",
                     static_cast<int>(server->processRunning.load()),
                     static_cast<int>(server->FactoryReferences()),
                     static_cast<int>(server->serverCount.load()));
        kvlog::Debug(server->log, "%s", info.c_str());
        if (ended == channels) return;
        if (platform::TickCount64() - start >= limit) {
            WarnOfRunningThreads(*server, limit);
            return;
        }
    }
}

int Main(const std::string& commandLine, const MainOptions& options) {
    const std::string modulePath = platform::ModulePath();
    if (modulePath.empty() || modulePath.size() + kModulePathReserve > kMaxModulePath) return 0;
    const std::string logPath =
        options.logPath.empty() ? DefaultLogPath(modulePath) : options.logPath;
    const kvlog::Handle log =
        kvlog::Open(options.logBaseName.c_str(), logPath.c_str(), nullptr, 0, kvlog::kDebug);
    kvlog::Message(log, "Start: %s", kBanner);
    {
        Server server(log);
        server.settingsKey = options.settingsKey;
        server.pauses = options.pauses;
        if (!platform::UseCodePage1251()) {
            kvlog::Error(log, "setlocale() - Can't set 1251 code page");
        } else if (commandLine.find("/r") != std::string::npos) {
            Register(log, options.classId, modulePath);
        } else if (commandLine.find("/u") != std::string::npos) {
            Unregister(log, options.classId, modulePath);
        } else {
            kvlog::Warning(log, "Ignore unknown option <%s>", commandLine.c_str());
            if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
                kvlog::Error(log, "CoInitializeEx() failed. Exiting...");
            } else {
                Run(&server, options, StartedByCom(commandLine));
                CoUninitialize();
            }
        }
    }
    kvlog::Info(log, "Finish");
    kvlog::Close(log);
    return 0;
}

}  // namespace core
