#pragma once
// Starting and waiting for child processes (tests run several processes at once).

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program with the arguments; returns a Win32 error code.
    uint32_t Start(const std::string& program, const std::vector<std::string>& arguments);
    // kErrorSuccess and the exit code, or kErrorTimeout.
    uint32_t Wait(uint32_t timeoutMs, int* exitCode);
    void Kill();

private:
    intptr_t handle_ = -1;
};

}  // namespace platform
