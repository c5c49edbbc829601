#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/errors.h"

extern char** environ;

namespace platform {

ChildProcess::~ChildProcess() {
    if (handle_ > 0) {
        Kill();
        int ignored = 0;
        Wait(5000, &ignored);
    }
}

uint32_t ChildProcess::Start(const std::string& program,
                             const std::vector<std::string>& arguments) {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0) return error == ENOENT ? kErrorFileNotFound : kErrorAccessDenied;
    handle_ = pid;
    return kErrorSuccess;
}

uint32_t ChildProcess::Wait(uint32_t timeoutMs, int* exitCode) {
    if (handle_ <= 0) return kErrorInvalidHandle;
    uint64_t deadline = TickCount64() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(static_cast<pid_t>(handle_), &status, WNOHANG);
        if (done == static_cast<pid_t>(handle_)) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            handle_ = -1;
            return kErrorSuccess;
        }
        if (done < 0 && errno != EINTR) return kErrorInvalidHandle;
        if (TickCount64() >= deadline) return kErrorTimeout;
        SleepMs(5);
    }
}

void ChildProcess::Kill() {
    if (handle_ > 0) kill(static_cast<pid_t>(handle_), SIGKILL);
}

}  // namespace platform
